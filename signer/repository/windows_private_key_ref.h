// WindowsPrivateKeyRef: what a PrivateKeyHandle issued by the system repository points to.
//
// The key of a stored certificate is held either by the platform's key-storage provider
// (ncryptKey set) or by its legacy provider (cryptProvider set, ncryptKey 0). The name is the
// one the library's callers know this handle type by, whatever the platform underneath.
//
// A handle serves one key operation: the operation releases the provider handle it used and
// sets the member back to 0, so a second use fails with a clear error instead of reaching a
// released key. Whatever no operation released (a handle obtained and never used, or one whose
// operation failed before reaching the key) is released when the object is destroyed.
#pragma once

#include <cstdint>

#include "platform/key_store.h"

namespace quor::signer {

struct WindowsPrivateKeyRef {
    platform::KeyStorageHandle ncryptKey = 0;          // key-storage provider key; 0 for legacy
    platform::LegacyProviderHandle cryptProvider = 0;  // legacy provider; 0 for key storage
    std::uint32_t keySpec = 0;    // platform::key_spec value reported with the key
    bool callerFreesKey = false;  // true when ncryptKey must be freed by its user

    WindowsPrivateKeyRef() = default;
    WindowsPrivateKeyRef(const WindowsPrivateKeyRef&) = delete;
    WindowsPrivateKeyRef& operator=(const WindowsPrivateKeyRef&) = delete;
    ~WindowsPrivateKeyRef() {
        if (ncryptKey != 0 && callerFreesKey)
            platform::freeKeyStorageKey(ncryptKey);
        if (cryptProvider != 0)
            platform::legacyReleaseContext(cryptProvider, 0);
    }
};

}  // namespace quor::signer
