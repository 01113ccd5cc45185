#include "platform/sqlite_database.h"

#include "platform/cert_info.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace quor::platform {

namespace {

// "QUOR": marks the file as this layer's store database.
constexpr std::int64_t kApplicationId = 0x51554F52;
// 2: the issuer index (subject_hash, key_id) the chain engine looks issuers up by.
constexpr std::int64_t kSchemaVersion = 2;

constexpr const char* kSchema = R"sql(
CREATE TABLE certificates (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,  -- insertion order; never reused
    store       TEXT    NOT NULL,
    sha1        BLOB    NOT NULL,
    identity    BLOB    NOT NULL,                   -- what the add-newer rule matches on
    not_before  INTEGER NOT NULL,                   -- UTC seconds
    der         BLOB    NOT NULL,
    subject_hash INTEGER,                           -- hash of the canonical subject name
    key_id      BLOB                                -- subject key identifier, when present
);
CREATE UNIQUE INDEX certificates_by_sha1 ON certificates (store, sha1);
CREATE INDEX certificates_by_identity ON certificates (store, identity);
CREATE INDEX certificates_by_subject ON certificates (subject_hash);
CREATE TABLE certificate_properties (
    certificate_id INTEGER NOT NULL REFERENCES certificates (id) ON DELETE CASCADE,
    property_id    INTEGER NOT NULL,
    value          BLOB    NOT NULL,
    PRIMARY KEY (certificate_id, property_id)
) WITHOUT ROWID;
-- Private keys of the key services; a certificate's KeyLink property refers to a row here.
CREATE TABLE keys (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    container   TEXT    NOT NULL UNIQUE,
    algorithm   TEXT    NOT NULL,
    private_key BLOB    NOT NULL,                   -- PKCS#8 DER
    exportable  INTEGER NOT NULL DEFAULT 0
);
)sql";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}


ErrorCode errnoCode(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return error::kAccessDenied;
        case ENOSPC:
            return error::kDiskFull;
        case ENOMEM:
            return error::kNotEnoughMemory;
        default:
            return error::kStoreUnavailable;
    }
}

// Creates the folder and any missing parents; the ones made here are private to the user.
ErrorCode makeFolders(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? error::kSuccess : error::kStoreUnavailable;
    }
    if (errno != ENOENT)
        return errnoCode(errno);
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (const ErrorCode parent = makeFolders(path.substr(0, slash)))
            return parent;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return errnoCode(errno);
    return error::kSuccess;
}

// The store folder and its files hold private keys. Ours are brought back to owner-only modes
// whatever they were left at (an older version, a copy, a umask); another user's are refused
// and left exactly as they are, since writing keys into them would hand the keys over.
// Owner bits stay as they are: a file the user made unreadable stays an access error.
ErrorCode secureOwnPath(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? error::kSuccess : errnoCode(errno);
    if (info.st_uid != ::geteuid())
        return error::kStoreNotOwned;
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), info.st_mode & 0700) != 0)
        return errnoCode(errno);
    return error::kSuccess;
}

// Creates the database file with mode 0600 before SQLite sees it, so the stores are never
// readable by others, not even for a moment.
ErrorCode prepareFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            return error::kDatabaseError;
        if (::access(path.c_str(), R_OK | W_OK) != 0)
            return errnoCode(errno);
        return error::kSuccess;
    }
    if (errno != ENOENT)
        return errnoCode(errno);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST ? error::kSuccess : errnoCode(errno);
    const bool modeSet = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return modeSet ? error::kSuccess : error::kStoreUnavailable;
}

// Some statements (a journal mode change, the first write to a new file) can meet a lock that
// the busy handler does not wait for; retry them for the same short time.
int execWaiting(sqlite3* db, const char* sql) {
    const auto deadline = std::chrono::steady_clock::now() + detail::kBusyTimeout;
    for (;;) {
        const int result = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if ((result & 0xFF) != SQLITE_BUSY && (result & 0xFF) != SQLITE_LOCKED)
            return result;
        if (std::chrono::steady_clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Reads the first row of a query whose columns are integers into values, in column order.
int integerRow(sqlite3* db, const char* sql, std::initializer_list<std::int64_t*> values) {
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    detail::StatementPtr statement(raw);
    if (result != SQLITE_OK)
        return result;
    result = sqlite3_step(statement.get());
    if (result != SQLITE_ROW)
        return result == SQLITE_DONE ? SQLITE_ERROR : result;
    int column = 0;
    for (std::int64_t* value : values)
        *value = sqlite3_column_int64(statement.get(), column++);
    return SQLITE_OK;
}

// Adds the issuer index to a database made before it existed, filling it from the stored
// certificates. Runs inside the caller's write transaction.
int addIssuerIndex(sqlite3* db) {
    int result = sqlite3_exec(db,
                              "ALTER TABLE certificates ADD COLUMN subject_hash INTEGER;"
                              "ALTER TABLE certificates ADD COLUMN key_id BLOB;"
                              "CREATE INDEX certificates_by_subject ON certificates (subject_hash);",
                              nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        return result;
    sqlite3_stmt* raw = nullptr;
    result = sqlite3_prepare_v2(db, "SELECT id, der FROM certificates", -1, &raw, nullptr);
    detail::StatementPtr rows(raw);
    if (result != SQLITE_OK)
        return result;
    raw = nullptr;
    result = sqlite3_prepare_v2(db, "UPDATE certificates SET subject_hash = ?1, key_id = ?2 "
                                    "WHERE id = ?3",
                                -1, &raw, nullptr);
    detail::StatementPtr update(raw);
    if (result != SQLITE_OK)
        return result;
    while ((result = sqlite3_step(rows.get())) == SQLITE_ROW) {
        const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(rows.get(), 1));
        const Bytes der(data, data + sqlite3_column_bytes(rows.get(), 1));
        const auto info = detail::readCertInfo(der);
        // A row the index cannot describe keeps NULLs: it stays a candidate for every lookup.
        if (!info)
            continue;
        sqlite3_reset(update.get());
        if (info->subjectHash)
            sqlite3_bind_int64(update.get(), 1, *info->subjectHash);
        else
            sqlite3_bind_null(update.get(), 1);
        if (info->subjectKeyId.empty())
            sqlite3_bind_null(update.get(), 2);
        else
            sqlite3_bind_blob(update.get(), 2, info->subjectKeyId.data(),
                              static_cast<int>(info->subjectKeyId.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(update.get(), 3, sqlite3_column_int64(rows.get(), 0));
        const int updated = sqlite3_step(update.get());
        if (updated != SQLITE_DONE)
            return updated;
    }
    return result == SQLITE_DONE ? SQLITE_OK : result;
}

// Brings a database of an older schema version up to this one, once, under the write lock.
int upgradeSchema(sqlite3* db) {
    std::int64_t version = 0;
    int result = integerRow(db, "PRAGMA user_version", {&version});
    if (result != SQLITE_OK || version >= kSchemaVersion)
        return result;
    result = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        return result;
    // Another process may have upgraded it while this one waited for the lock.
    result = integerRow(db, "PRAGMA user_version", {&version});
    if (result == SQLITE_OK && version < 2)
        result = addIssuerIndex(db);
    if (result == SQLITE_OK && version < kSchemaVersion) {
        const std::string pragma = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
        result = sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    }
    if (result == SQLITE_OK)
        result = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return result;
}

// Brings a freshly opened connection into service: checks that the file is a store database
// (or empty), switches to WAL, creates the schema on first use.
ErrorCode initialise(sqlite3* db) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(detail::kBusyTimeout.count()));

    std::int64_t applicationId = 0;
    std::int64_t objects = 0;
    // The first read: a file that is not a database fails here, before anything is written.
    // Both values come from one statement, so from one snapshot: read apart, another process
    // creating the schema in between would make our own new database look like a stranger's.
    int result = integerRow(
        db,
        "SELECT application_id, (SELECT count(*) FROM sqlite_master) FROM pragma_application_id",
        {&applicationId, &objects});
    if (result != SQLITE_OK)
        return detail::errorCodeOf(result);
    // Another program's database is not ours to change.
    if (objects > 0 && applicationId != kApplicationId)
        return error::kDatabaseError;

    // In WAL mode a commit is a write into the log: once it returns, the change survives the
    // process being killed, since the log is already in the system's file cache. synchronous
    // NORMAL leaves out the flush to the disk at every commit and flushes at each checkpoint
    // instead; a power cut may then lose the last commits but never leaves the database
    // inconsistent (the log's checksums end it at the last whole transaction), and the next
    // install or sync puts back what is missing. FULL would cost one flush per certificate.
    result = execWaiting(db, "PRAGMA journal_mode=WAL");
    if (result == SQLITE_OK)
        result = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (result == SQLITE_OK)
        result = sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    // Deleted rows (private keys above all) are overwritten, not left in free space.
    if (result == SQLITE_OK)
        result = sqlite3_exec(db, "PRAGMA secure_delete=ON", nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        return detail::errorCodeOf(result);

    if (objects == 0) {
        result = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (result != SQLITE_OK)
            return detail::errorCodeOf(result);
        // Another process may have created the schema while this one waited for the lock.
        result = integerRow(db, "SELECT count(*) FROM sqlite_master", {&objects});
        if (result == SQLITE_OK && objects == 0) {
            result = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
            if (result == SQLITE_OK) {
                const std::string pragmas =
                    "PRAGMA application_id=" + std::to_string(kApplicationId) +
                    "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
                result = sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr);
            }
        }
        if (result == SQLITE_OK)
            result = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (result != SQLITE_OK) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return detail::errorCodeOf(result);
        }
    } else {
        result = upgradeSchema(db);
        if (result != SQLITE_OK)
            return detail::errorCodeOf(result);
    }
    return error::kSuccess;
}

struct CacheKey {
    std::string path;
    pid_t pid;
    bool operator<(const CacheKey& other) const {
        return std::tie(path, pid) < std::tie(other.path, other.pid);
    }
};

}  // namespace

std::string storeDatabasePath() {
    std::string dataHome = environment("XDG_DATA_HOME");
    // The XDG base directory rules ignore a relative path.
    if (!isAbsolute(dataHome)) {
        const std::string home = detail::homeFolder();
        if (home.empty()) {
            setLastError(error::kStoreUnavailable);
            return {};
        }
        dataHome = home + "/.local/share";
    }
    while (dataHome.size() > 1 && dataHome.back() == '/')
        dataHome.pop_back();
    return dataHome + "/quor/certstore.db";
}

namespace detail {

std::string homeFolder() {
    std::string home = environment("HOME");
    if (isAbsolute(home))
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && isAbsolute(found->pw_dir)) {
        return found->pw_dir;
    }
    return {};
}


ErrorCode errorCodeOf(int sqliteResult) noexcept {
    switch (sqliteResult & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return error::kSuccess;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return error::kDatabaseBusy;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_ERROR:
        case SQLITE_MISMATCH:
            return error::kDatabaseError;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            return error::kAccessDenied;
        case SQLITE_NOMEM:
            return error::kNotEnoughMemory;
        case SQLITE_FULL:
            return error::kDiskFull;
        case SQLITE_IOERR:
            return error::kIoError;
        case SQLITE_CONSTRAINT:
            return error::kExists;
        case SQLITE_TOOBIG:
            return error::kInvalidParameter;
        default:
            return error::kDatabaseError;
    }
}

void truncateWriteAheadLog(Database& db) noexcept {
    std::lock_guard lock(db.mutex());
    if (sqlite3_get_autocommit(db.handle()) == 0)
        return;  // inside a transaction: its owner truncates after the commit
    sqlite3_wal_checkpoint_v2(db.handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

sqlite3_stmt* Database::statement(const char* sql, int* result) {
    auto it = statements_.find(sql);
    if (it != statements_.end())
        return it->second.get();
    sqlite3_stmt* raw = nullptr;
    *result = sqlite3_prepare_v3(handle_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    StatementPtr statement(raw);
    if (*result != SQLITE_OK)
        return nullptr;
    return statements_.emplace(sql, std::move(statement)).first->second.get();
}

std::shared_ptr<Database> Database::openUserDatabase() {
    const std::string path = storeDatabasePath();
    if (path.empty())
        return nullptr;

    static std::mutex cacheMutex;
    static std::map<CacheKey, std::weak_ptr<Database>> cache;
    std::lock_guard lock(cacheMutex);
    // A connection must not cross fork(): a child opens its own.
    const CacheKey key{path, ::getpid()};
    if (auto shared = cache[key].lock())
        return shared;

    const std::string folder = path.substr(0, path.find_last_of('/'));
    ErrorCode code = makeFolders(folder);
    // The folder first: nothing is created in a folder that is not the user's.
    if (code == error::kSuccess)
        code = secureOwnPath(folder);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (code == error::kSuccess)
            code = secureOwnPath(path + suffix);
    }
    if (code == error::kSuccess)
        code = prepareFile(path);
    if (code != error::kSuccess) {
        setLastError(code);
        return nullptr;
    }

    sqlite3* raw = nullptr;
    const int result =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    std::shared_ptr<sqlite3> handle(raw, [](sqlite3* db) noexcept { sqlite3_close_v2(db); });
    if (result != SQLITE_OK) {
        setLastError(errorCodeOf(result));
        return nullptr;
    }
    code = initialise(handle.get());
    if (code != error::kSuccess) {
        setLastError(code);
        return nullptr;
    }
    auto database = std::make_shared<Database>(std::move(handle));
    for (auto it = cache.begin(); it != cache.end();) {
        it = it->second.expired() ? cache.erase(it) : std::next(it);
    }
    cache[key] = database;
    return database;
}

}  // namespace detail
}  // namespace quor::platform
