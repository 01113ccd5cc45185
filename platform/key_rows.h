// Internal: what the certificate stores need of the key storage when certificates go.
#pragma once

#include "platform/cert_store.h"
#include "platform/sqlite_database.h"

namespace quor::platform::detail {

// deleteKeyIfUnlinked: inside a write transaction of db (its mutex held), deletes the key that
// a removed certificate's KeyLink bytes name, unless another certificate still links to it or a
// certificate request still waits for it. *deleted tells whether the key went. False with the
// last error set when the database fails.
bool deleteKeyIfUnlinked(Database& db, const Bytes& link, bool* deleted);

// scrubDeletedKeys: after keys were deleted and the deletion committed, truncates the
// write-ahead log so that the keys' old pages stay in no file; inside a StoreTransaction the
// truncation waits for its commit.
void scrubDeletedKeys(Database& db) noexcept;

}  // namespace quor::platform::detail
