// Test helpers over the real certificate store of a test's temporary XDG_DATA_HOME: looking at
// stores directly through the platform layer (independently of the repository under test), and
// a root-add handler for the length of a test.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cert_store.h"
#include "tests/support/pki_builder.h"

namespace quor::test {

inline const std::vector<std::string>& allStoreNames() {
    static const std::vector<std::string> names{"MY", "AddressBook", "CA", "ROOT"};
    return names;
}

// The names of the stores that hold exactly these DER bytes (by SHA-1), in search order.
inline std::vector<std::string> storesHolding(const std::vector<unsigned char>& der) {
    std::vector<std::string> holding;
    for (const std::string& name : allStoreNames()) {
        platform::CertStorePtr store = platform::openSystemStore(name);
        if (!store)
            throw std::runtime_error("cannot open store " + name);
        if (store->findBySha1(platform::sha1Of(der)))
            holding.push_back(name);
    }
    platform::setLastError(platform::error::kSuccess);
    return holding;
}

inline std::vector<std::string> storesHolding(const TestCert& cert) {
    return storesHolding(cert.derBytes());
}

// Number of certificates in one store.
inline int storeSize(std::string_view name) {
    platform::CertStorePtr store = platform::openSystemStore(name);
    if (!store)
        throw std::runtime_error("cannot open store");
    int count = 0;
    for (platform::CertContextPtr c = store->next(nullptr); c; c = store->next(c))
        ++count;
    platform::setLastError(platform::error::kSuccess);
    return count;
}

// Puts DER bytes into a named store directly, bypassing the repository's choice of store.
inline void putInStore(std::string_view name, const std::vector<unsigned char>& der) {
    platform::CertStorePtr store = platform::openSystemStore(name);
    if (!store || !store->addEncoded(der)) {
        throw std::runtime_error("cannot put certificate into " + std::string(name));
    }
}

inline void putInStore(std::string_view name, const TestCert& cert) {
    putInStore(name, cert.derBytes());
}

// Registers a root-add handler for the helper's lifetime and counts its calls.
class RootAddAnswer {
  public:
    explicit RootAddAnswer(bool accept) : calls_(std::make_shared<int>(0)) {
        auto calls = calls_;
        previous_ = platform::setRootAddHandler([calls, accept](const platform::RootAddRequest&) {
            ++*calls;
            return accept;
        });
    }
    ~RootAddAnswer() { platform::setRootAddHandler(previous_); }
    RootAddAnswer(const RootAddAnswer&) = delete;
    RootAddAnswer& operator=(const RootAddAnswer&) = delete;

    int calls() const { return *calls_; }

  private:
    std::shared_ptr<int> calls_;
    platform::RootAddHandler previous_;
};

// Holds a write lock on the store database for the object's lifetime, as another program
// in the middle of a change would.
class StoreDatabaseLock {
  public:
    explicit StoreDatabaseLock(const std::filesystem::path& database) {
        sqlite3* raw = nullptr;
        if (sqlite3_open(database.c_str(), &raw) != SQLITE_OK) {
            sqlite3_close(raw);
            throw std::runtime_error("cannot open the store database");
        }
        db_.reset(raw);
        if (sqlite3_exec(db_.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot lock the store database");
        }
    }

  private:
    struct Close {
        void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
    };
    std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace quor::test
