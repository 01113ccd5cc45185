// Internal: the current user's store database (one SQLite file shared by all stores) and the
// small RAII helpers used to talk to it.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/cert_store.h"

namespace quor::platform::detail {

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// How long a call waits for another program's write to finish before it reports kDatabaseBusy.
inline constexpr std::chrono::milliseconds kBusyTimeout{3000};

// The user's home folder: HOME when it is absolute, else the user's entry; empty when neither.
std::string homeFolder();

// The layer's error code for an SQLite result code.
ErrorCode errorCodeOf(int sqliteResult) noexcept;

class Database {
  public:
    // openUserDatabase: the database at storeDatabasePath(), created on first use (folder 0700,
    // file 0600). Connections are shared within a process while any store or context holds one.
    // Null with the last error set when it cannot be opened; an existing file that is not a
    // store database is never written to.
    static std::shared_ptr<Database> openUserDatabase();

    explicit Database(std::shared_ptr<sqlite3> handle) : handle_(std::move(handle)) {}

    sqlite3* handle() const noexcept { return handle_.get(); }
    // Held for the length of each store operation: one connection, one transaction at a time.
    // Recursive, because a StoreTransaction holds it across the operations it groups.
    std::recursive_mutex& mutex() noexcept { return mutex_; }

    // statement: the prepared statement for sql (a string literal; cached by its address).
    // Null with *result set when it cannot be prepared.
    sqlite3_stmt* statement(const char* sql, int* result);

  private:
    std::shared_ptr<sqlite3> handle_;
    std::recursive_mutex mutex_;
    std::unordered_map<const char*, StatementPtr> statements_;
};

// One use of a cached statement: binds, steps, and resets it on the way out.
class Query {
  public:
    Query(Database& db, const char* sql) : statement_(db.statement(sql, &result_)) {}
    ~Query() {
        if (statement_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const noexcept { return statement_ != nullptr && bindResult_ == SQLITE_OK; }
    int prepareResult() const noexcept { return statement_ ? bindResult_ : result_; }

    Query& bind(int index, std::int64_t value) {
        keep(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Query& bind(int index, std::string_view text) {
        keep(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT));
        return *this;
    }
    Query& bind(int index, const unsigned char* data, std::size_t size) {
        // A zero-length blob must still bind as a blob, not as NULL.
        static const unsigned char empty = 0;
        keep(sqlite3_bind_blob(statement_, index, size ? data : &empty, static_cast<int>(size),
                               SQLITE_TRANSIENT));
        return *this;
    }
    Query& bind(int index, const Bytes& bytes) { return bind(index, bytes.data(), bytes.size()); }

    // step: SQLITE_ROW, SQLITE_DONE or an error result.
    int step() {
        if (!ok())
            return prepareResult();
        return sqlite3_step(statement_);
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    Bytes blob(int column) const {
        const auto* data =
            static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
        const int size = sqlite3_column_bytes(statement_, column);
        return data ? Bytes(data, data + size) : Bytes();
    }

  private:
    void keep(int result) {
        if (!statement_)
            return;
        if (bindResult_ == SQLITE_OK)
            bindResult_ = result;
    }

    int result_ = SQLITE_OK;
    int bindResult_ = SQLITE_OK;
    sqlite3_stmt* statement_;
};

// A write transaction: BEGIN IMMEDIATE takes the write lock at once (waiting up to kBusyTimeout),
// so two writers never deadlock on a lock upgrade. Rolled back unless committed. Inside a
// transaction already open on the connection (a StoreTransaction of the thread holding the
// mutex) it is a savepoint: its changes join the outer transaction, and a failure undoes only
// its own part.
class WriteTransaction {
  public:
    explicit WriteTransaction(Database& db) : db_(db) {}
    ~WriteTransaction() {
        if (!open_)
            return;
        if (nested_) {
            sqlite3_exec(db_.handle(), "ROLLBACK TO quor_change; RELEASE quor_change", nullptr,
                         nullptr, nullptr);
        } else {
            sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    int begin() {
        nested_ = sqlite3_get_autocommit(db_.handle()) == 0;
        const int result = sqlite3_exec(db_.handle(),
                                        nested_ ? "SAVEPOINT quor_change" : "BEGIN IMMEDIATE",
                                        nullptr, nullptr, nullptr);
        open_ = result == SQLITE_OK;
        return result;
    }
    int commit() {
        const int result = sqlite3_exec(db_.handle(), nested_ ? "RELEASE quor_change" : "COMMIT",
                                        nullptr, nullptr, nullptr);
        if (result == SQLITE_OK)
            open_ = false;
        return result;
    }
    // Whether this change is part of a larger transaction (and so not yet durable on commit).
    bool nested() const noexcept { return nested_; }

  private:
    Database& db_;
    bool open_ = false;
    bool nested_ = false;
};

// After keys were deleted: their bytes are overwritten in the database (secure_delete), but the
// write-ahead log still holds the pages as they were before; copying the log back and
// truncating it leaves them nowhere in the files. Best effort: a reader of another process can
// keep the log busy, and the next deletion tries again.
void truncateWriteAheadLog(Database& db) noexcept;

}  // namespace quor::platform::detail
