// Key storage in the user's store database, and the two key providers over OpenSSL.
#include "platform/key_store.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/decoded_certificate.h"
#include "platform/key_rows.h"
#include "platform/openssl_ptr.h"
#include "platform/sqlite_database.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

using openssl::FreeWith;
using X509Ptr = openssl::X509Ptr;
using X509StackPtr = openssl::X509StackPtr;
using Pkcs12Ptr = openssl::Pkcs12Ptr;
using PkcsPkeyCtxPtr = openssl::EvpPkeyCtxPtr;
using MdCtxPtr = openssl::EvpMdCtxPtr;
using Pkcs8Ptr = openssl::Pkcs8PrivKeyInfoPtr;
using SharedKey = std::shared_ptr<EVP_PKEY>;

SharedKey shareKey(EVP_PKEY* key) {
    if (key == nullptr)
        return {};
    return SharedKey(key, [](EVP_PKEY* k) noexcept { EVP_PKEY_free(k); });
}

std::uint32_t failWith(ErrorCode code) noexcept {
    setLastError(code);
    return code;
}
bool fail(ErrorCode code) noexcept {
    setLastError(code);
    return false;
}

// ---------------------------------------------------------------------------------------------
// The key table in the store database.

constexpr int kProviderKeyStorage = 1;
constexpr int kProviderLegacy = 2;

// The key itself lives in the store database's `keys` table. Beside it, made here on first use:
// which provider holds it and its key-spec value (`key_providers`); the SHA-256 of its public key
// (the DER SubjectPublicKeyInfo), which finds the row again when the same key is imported once
// more or when the certificate of a waiting request arrives (`key_public_keys`); and the keys of
// certificate requests still waiting for their certificate (`pending_requests`).
constexpr const char* kKeySchema =
    "CREATE TABLE IF NOT EXISTS key_providers ("
    " container TEXT PRIMARY KEY REFERENCES keys (container) ON DELETE CASCADE,"
    " provider INTEGER NOT NULL,"
    " key_spec INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS key_public_keys ("
    " container TEXT PRIMARY KEY REFERENCES keys (container) ON DELETE CASCADE,"
    " public_key BLOB NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS key_public_keys_by_key ON key_public_keys (public_key);"
    "CREATE TABLE IF NOT EXISTS pending_requests ("
    " container TEXT PRIMARY KEY REFERENCES keys (container) ON DELETE CASCADE,"
    " alias TEXT NOT NULL,"
    " created INTEGER NOT NULL) WITHOUT ROWID";

bool failSqlite(int result) noexcept {
    const ErrorCode code = detail::errorCodeOf(result);
    return fail(code == error::kSuccess ? error::kDatabaseError : code);
}

struct KeyRow {
    int provider = 0;
    std::uint32_t keySpec = 0;
    bool exportable = false;
    std::string pkcs8;
};

SharedKey decodeKey(const std::string& pkcs8);

// The SHA-256 of a public key's DER SubjectPublicKeyInfo; empty when it cannot be encoded.
Bytes publicKeyHash(const unsigned char* spki, int length) {
    if (spki == nullptr || length <= 0)
        return {};
    Bytes hash(SHA256_DIGEST_LENGTH);
    SHA256(spki, static_cast<std::size_t>(length), hash.data());
    return hash;
}

Bytes publicKeyHashOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    Bytes hash = publicKeyHash(der, length);
    OPENSSL_free(der);
    ERR_clear_error();
    return hash;
}

Bytes publicKeyHashOfCertificate(const Bytes& certificateDer) {
    X509Ptr certificate = decodeCertificate(certificateDer.data(), certificateDer.size());
    if (!certificate) {
        ERR_clear_error();
        return {};
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
    Bytes hash = publicKeyHash(der, length);
    OPENSSL_free(der);
    ERR_clear_error();
    return hash;
}

// Creates the key tables that are missing and gives every key its public-key row (keys stored
// before those rows existed). Runs inside a write transaction.
int ensureKeySchema(detail::Database& db) {
    int result = sqlite3_exec(db.handle(), kKeySchema, nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        return result;
    std::vector<std::pair<std::string, Bytes>> missing;
    {
        detail::Query select(db,
                             "SELECT container, private_key FROM keys k WHERE NOT EXISTS"
                             " (SELECT 1 FROM key_public_keys p WHERE p.container = k.container)");
        while ((result = select.step()) == SQLITE_ROW) {
            const Bytes container = select.blob(0);
            const Bytes pkcs8 = select.blob(1);
            SharedKey key = decodeKey(std::string(pkcs8.begin(), pkcs8.end()));
            Bytes hash = key ? publicKeyHashOf(key.get()) : Bytes();
            if (!hash.empty())
                missing.emplace_back(std::string(container.begin(), container.end()), hash);
        }
        if (result != SQLITE_DONE)
            return result;
    }
    for (const auto& [container, hash] : missing) {
        detail::Query insert(db,
                             "INSERT INTO key_public_keys (container, public_key) VALUES (?1, ?2)");
        insert.bind(1, container).bind(2, hash);
        result = insert.step();
        if (result != SQLITE_DONE)
            return result;
    }
    return SQLITE_OK;
}

// How a key reaches the storage: imported with its certificate, or kept for a certificate
// request whose certificate has not come yet.
struct KeyArrival {
    bool pending = false;
    std::string alias;  // UTF-8, pending keys only
};

// Stores a key, or finds the row that already holds the same key (a second import of it, or
// the certificate of a waiting request being imported) and gives that row the provider,
// key-spec value and exportability of this import: one key, one row. An imported key is no
// longer waiting for its certificate. *container names the row, *created says whether it is new.
bool storeKey(const KeyRow& row, const Bytes& publicKey, const KeyArrival& arrival,
              std::string* container, bool* created) {
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return false;
    std::lock_guard guard(db->mutex());
    detail::WriteTransaction transaction(*db);
    int result = transaction.begin();
    if (result != SQLITE_OK)
        return failSqlite(result);
    result = ensureKeySchema(*db);
    if (result != SQLITE_OK)
        return failSqlite(result);
    std::string found;
    {
        detail::Query select(*db, "SELECT container FROM key_public_keys WHERE public_key = ?1");
        select.bind(1, publicKey);
        result = select.step();
        if (result == SQLITE_ROW) {
            const Bytes name = select.blob(0);
            found.assign(name.begin(), name.end());
        } else if (result != SQLITE_DONE) {
            return failSqlite(result);
        }
    }
    *created = found.empty();
    if (*created) {
        {
            detail::Query insert(*db,
                                 "INSERT INTO keys (container, algorithm, private_key, exportable)"
                                 " VALUES (?1, 'RSA', ?2, ?3)");
            insert.bind(1, *container)
                .bind(2, reinterpret_cast<const unsigned char*>(row.pkcs8.data()), row.pkcs8.size())
                .bind(3, std::int64_t{row.exportable ? 1 : 0});
            result = insert.step();
            if (result != SQLITE_DONE)
                return failSqlite(result);
        }
        {
            detail::Query insert(
                *db, "INSERT INTO key_public_keys (container, public_key) VALUES (?1, ?2)");
            insert.bind(1, *container).bind(2, publicKey);
            result = insert.step();
            if (result != SQLITE_DONE)
                return failSqlite(result);
        }
    } else {
        *container = found;
        detail::Query update(*db, "UPDATE keys SET exportable = ?2 WHERE container = ?1");
        update.bind(1, *container).bind(2, std::int64_t{row.exportable ? 1 : 0});
        result = update.step();
        if (result != SQLITE_DONE)
            return failSqlite(result);
    }
    {
        detail::Query provider(*db,
                               "INSERT INTO key_providers (container, provider, key_spec)"
                               " VALUES (?1, ?2, ?3) ON CONFLICT (container) DO UPDATE SET"
                               " provider = excluded.provider, key_spec = excluded.key_spec");
        provider.bind(1, *container)
            .bind(2, std::int64_t{row.provider})
            .bind(3, std::int64_t{row.keySpec});
        result = provider.step();
        if (result != SQLITE_DONE)
            return failSqlite(result);
    }
    if (arrival.pending) {
        detail::Query insert(*db,
                             "INSERT INTO pending_requests (container, alias, created)"
                             " VALUES (?1, ?2, ?3) ON CONFLICT (container) DO NOTHING");
        insert.bind(1, *container)
            .bind(2, arrival.alias)
            .bind(3, static_cast<std::int64_t>(std::time(nullptr)));
        result = insert.step();
    } else {
        detail::Query remove(*db, "DELETE FROM pending_requests WHERE container = ?1");
        remove.bind(1, *container);
        result = remove.step();
    }
    if (result != SQLITE_DONE)
        return failSqlite(result);
    result = transaction.commit();
    if (result != SQLITE_OK)
        return failSqlite(result);
    return true;
}

// Reads a key row; false with kNoKey when there is none.
bool loadKey(const std::string& container, KeyRow* row) {
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return false;
    std::lock_guard guard(db->mutex());
    detail::Query select(*db,
                         "SELECT k.private_key, k.exportable, p.provider, p.key_spec"
                         " FROM keys k JOIN key_providers p ON p.container = k.container"
                         " WHERE k.container = ?1");
    // No provider table yet: no key was ever imported into this database.
    if (!select.ok())
        return fail(error::kNoKey);
    select.bind(1, container);
    const int result = select.step();
    if (result == SQLITE_DONE)
        return fail(error::kNoKey);
    if (result != SQLITE_ROW)
        return failSqlite(result);
    const Bytes key = select.blob(0);
    row->pkcs8.assign(key.begin(), key.end());
    row->exportable = select.integer(1) != 0;
    row->provider = static_cast<int>(select.integer(2));
    row->keySpec = static_cast<std::uint32_t>(select.integer(3));
    return true;
}

bool removeKey(const std::string& container) {
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return false;
    std::lock_guard guard(db->mutex());
    {
        detail::Query remove(*db, "DELETE FROM keys WHERE container = ?1");
        remove.bind(1, container);
        const int result = remove.step();
        if (result != SQLITE_DONE)
            return failSqlite(result);
        if (sqlite3_changes(db->handle()) == 0)
            return fail(error::kNoKey);
    }
    detail::scrubDeletedKeys(*db);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Parsed keys. Decoding a PKCS#8 key and preparing its arithmetic (Montgomery forms, blinding)
// takes longer than a signature; a handful of recently used keys stay decoded, looked up by
// their exact encoding so a changed row can never be answered by a stale key.

bool keyMatchesCertificate(EVP_PKEY* key, const Bytes& certificateDer);

struct DecodedKey {
    std::string pkcs8;
    SharedKey key;
    std::vector<Sha1Hash> matchingCertificates;  // certificates (by SHA-1) found to match
};

std::mutex& decodedKeysMutex() {
    static std::mutex mutex;
    return mutex;
}
std::deque<DecodedKey>& decodedKeys() {
    static std::deque<DecodedKey> recent;
    return recent;
}

SharedKey decodeKey(const std::string& pkcs8) {
    constexpr std::size_t kRecentKeys = 8;
    {
        std::lock_guard<std::mutex> guard(decodedKeysMutex());
        for (const DecodedKey& entry : decodedKeys()) {
            if (entry.pkcs8 == pkcs8)
                return entry.key;
        }
    }
    const auto* p = reinterpret_cast<const unsigned char*>(pkcs8.data());
    Pkcs8Ptr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())));
    if (!info)
        return {};
    SharedKey key = shareKey(EVP_PKCS82PKEY(info.get()));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        return {};
    std::lock_guard<std::mutex> guard(decodedKeysMutex());
    decodedKeys().push_front(DecodedKey{pkcs8, key, {}});
    if (decodedKeys().size() > kRecentKeys)
        decodedKeys().pop_back();
    return key;
}

// keyMatchesCertificate for a decoded key, remembering the answer: decoding the certificate and
// its public key costs a good part of a signature, and the same certificate (same SHA-1, same
// bytes) always gives the same answer for the same key.
bool decodedKeyMatches(const SharedKey& key, const CertContext& context) {
    {
        std::lock_guard<std::mutex> guard(decodedKeysMutex());
        for (const DecodedKey& entry : decodedKeys()) {
            if (entry.key != key)
                continue;
            for (const Sha1Hash& sha1 : entry.matchingCertificates) {
                if (sha1 == context.sha1())
                    return true;
            }
        }
    }
    if (!keyMatchesCertificate(key.get(), context.der()))
        return false;
    std::lock_guard<std::mutex> guard(decodedKeysMutex());
    for (DecodedKey& entry : decodedKeys()) {
        if (entry.key == key && entry.matchingCertificates.size() < 16)
            entry.matchingCertificates.push_back(context.sha1());
    }
    return true;
}

std::string encodeKey(EVP_PKEY* key) {
    Pkcs8Ptr info(EVP_PKEY2PKCS8(key));
    if (!info)
        return {};
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der);
    if (length <= 0)
        return {};
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Handles.

struct KeyObject {
    SharedKey key;
    std::uint32_t keySpec = 0;
    bool exportable = false;
};

struct HashObject {
    std::shared_ptr<KeyObject> key;  // the provider's key
    const EVP_MD* md = nullptr;
    MdCtxPtr context;
    bool finished = false;
    std::vector<unsigned char> value;  // the hash value, once finished
};

enum class HandleKind { KeyStorage, LegacyProvider, LegacyHash };

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<KeyObject> key;
    std::shared_ptr<HashObject> hash;
};

class HandleTable {
  public:
    static HandleTable& instance() {
        static HandleTable table;
        return table;
    }

    std::uintptr_t add(HandleEntry entry) {
        std::lock_guard<std::mutex> guard(mutex_);
        // Handles step by 4 from an odd-looking base so that small integers and stale values
        // from elsewhere are unlikely to name a live handle.
        next_ += 4;
        entries_.emplace(next_, std::move(entry));
        return next_;
    }

    // The entry of a live handle of that kind, or nothing.
    std::optional<HandleEntry> find(std::uintptr_t handle, HandleKind kind) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = entries_.find(handle);
        if (found == entries_.end() || found->second.kind != kind)
            return std::nullopt;
        return found->second;
    }

    bool remove(std::uintptr_t handle, HandleKind kind) {
        HandleEntry removed{kind, {}, {}};
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = entries_.find(handle);
        if (found == entries_.end() || found->second.kind != kind)
            return false;
        removed = std::move(found->second);  // freed outside the map operation
        entries_.erase(found);
        return true;
    }

    std::size_t size() {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_.size();
    }

  private:
    std::mutex mutex_;
    std::uintptr_t next_ = 0x5100;
    std::unordered_map<std::uintptr_t, HandleEntry> entries_;
};

const EVP_MD* digestOfName(const wchar_t* name) {
    if (name == nullptr)
        return nullptr;
    const std::wstring_view text(name);
    if (text == L"SHA1")
        return EVP_sha1();
    if (text == L"SHA256")
        return EVP_sha256();
    if (text == L"SHA384")
        return EVP_sha384();
    if (text == L"SHA512")
        return EVP_sha512();
    return nullptr;
}

const EVP_MD* digestOfAlgorithm(std::uint32_t algorithm) {
    switch (algorithm) {
        case legacy_hash::kSha1:
            return EVP_sha1();
        case legacy_hash::kSha256:
            return EVP_sha256();
        case legacy_hash::kSha384:
            return EVP_sha384();
        case legacy_hash::kSha512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

// PKCS#1 v1.5 signature of a prepared digest (with the DigestInfo of md) or of a raw block (md
// null). Returns the signature or sets the error.
std::uint32_t rsaSign(EVP_PKEY* key, const EVP_MD* md, const unsigned char* input,
                      std::size_t inputLength, std::vector<unsigned char>* signature) {
    PkcsPkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        (md != nullptr && EVP_PKEY_CTX_set_signature_md(context.get(), md) <= 0)) {
        ERR_clear_error();
        return failWith(error::kBadKey);
    }
    std::size_t length = 0;
    if (EVP_PKEY_sign(context.get(), nullptr, &length, input, inputLength) <= 0) {
        ERR_clear_error();
        return failWith(error::kBadKey);
    }
    signature->resize(length);
    if (EVP_PKEY_sign(context.get(), signature->data(), &length, input, inputLength) <= 0) {
        ERR_clear_error();
        // The only input-dependent failure left: a raw block too long for the key.
        return failWith(md == nullptr ? error::kInvalidParameter : error::kBadKey);
    }
    signature->resize(length);
    return error::kSuccess;
}

std::string newContainerName() {
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1)
        return {};
    static const char* hex = "0123456789abcdef";
    std::string name = "quor-key-";
    for (unsigned char byte : random) {
        name += hex[byte >> 4];
        name += hex[byte & 0x0F];
    }
    return name;
}

// The friendly name of a PKCS#12 bag is UTF-8; the certificate property is UTF-16. A byte that
// does not start a valid sequence stands for itself (Latin-1), so no name is lost.
std::u16string utf16FromUtf8(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        char32_t code = extra == 3 ? lead & 0x07 : extra == 2 ? lead & 0x0F : lead & 0x1F;
        bool valid = extra > 0 && lead < 0xF8 && i + extra < text.size();
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            code = lead;
            extra = 0;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

Bytes derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        return {};
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// Whether the key is the private half of the certificate's public key.
bool keyMatchesCertificate(EVP_PKEY* key, const Bytes& certificateDer) {
    X509Ptr certificate = decodeCertificate(certificateDer.data(), certificateDer.size());
    if (!certificate)
        return false;
    const bool same = EVP_PKEY_eq(X509_get0_pubkey(certificate.get()), key) == 1;
    ERR_clear_error();
    return same;
}

}  // namespace

namespace detail {

bool deleteKeyIfUnlinked(Database& db, const Bytes& link, bool* deleted) {
    *deleted = false;
    if (link.empty())
        return true;
    int result = ensureKeySchema(db);
    if (result != SQLITE_OK)
        return failSqlite(result);
    const std::string container(link.begin(), link.end());
    Query remove(db,
                 "DELETE FROM keys WHERE container = ?1"
                 " AND NOT EXISTS (SELECT 1 FROM certificate_properties"
                 "  WHERE property_id = ?2 AND value = ?3)"
                 " AND NOT EXISTS (SELECT 1 FROM pending_requests WHERE container = ?1)");
    remove.bind(1, container)
        .bind(2, static_cast<std::int64_t>(CertProperty::KeyLink))
        .bind(3, link);
    result = remove.step();
    if (result != SQLITE_DONE)
        return failSqlite(result);
    *deleted = sqlite3_changes(db.handle()) > 0;
    return true;
}

void scrubDeletedKeys(Database& db) noexcept {
    if (HeldChanges* held = heldChanges()) {
        held->truncateLog = true;
        return;
    }
    truncateWriteAheadLog(db);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Import and acquisition.

CertStorePtr importPkcs12(const Bytes& pkcs12Der, const std::string& passPhrase,
                          std::uint32_t flags) {
    if ((flags & ~(kImportExportable | kImportLegacyProvider)) != 0) {
        setLastError(error::kInvalidParameter);
        return {};
    }
    const unsigned char* p = pkcs12Der.data();
    Pkcs12Ptr pkcs12(d2i_PKCS12(nullptr, &p, static_cast<long>(pkcs12Der.size())));
    if (!pkcs12) {
        ERR_clear_error();
        setLastError(error::kBadEncoding);
        return {};
    }
    // Tell a wrong pass phrase from damaged contents: the MAC answers the first question.
    if (PKCS12_mac_present(pkcs12.get()) &&
        PKCS12_verify_mac(pkcs12.get(), passPhrase.c_str(), -1) != 1 &&
        !(passPhrase.empty() && PKCS12_verify_mac(pkcs12.get(), nullptr, 0) == 1)) {
        ERR_clear_error();
        setLastError(error::kInvalidPassword);
        return {};
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawOthers = nullptr;
    const int parsed =
        PKCS12_parse(pkcs12.get(), passPhrase.c_str(), &rawKey, &rawCertificate, &rawOthers);
    SharedKey key = shareKey(rawKey);
    X509Ptr certificate(rawCertificate);
    X509StackPtr others(rawOthers);
    if (parsed != 1) {
        ERR_clear_error();
        setLastError(error::kBadEncoding);
        return {};
    }
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        setLastError(error::kBadKey);
        return {};
    }

    CertStorePtr store = openMemoryStore();
    if (!store)
        return {};
    // Authority certificates first, the key's certificate last: a caller that keeps the last
    // certificate of the walk gets the one with the key.
    for (int i = 0; others && i < sk_X509_num(others.get()); ++i) {
        const Bytes der = derOf(sk_X509_value(others.get(), i));
        if (der.empty()) {
            setLastError(error::kBadEncoding);
            return {};
        }
        if (!store->addEncoded(der) && lastError() != error::kExists)
            return {};
        setLastError(error::kSuccess);
    }
    if (!certificate)
        return store;

    const Bytes der = derOf(certificate.get());
    CertContextPtr added;
    if (der.empty() || !store->addEncoded(der, &added) || !added) {
        if (lastError() == error::kSuccess)
            setLastError(error::kBadEncoding);
        return {};
    }
    int aliasLength = 0;
    const unsigned char* alias = X509_alias_get0(certificate.get(), &aliasLength);
    if (alias != nullptr && aliasLength > 0) {
        const std::u16string name = utf16FromUtf8(std::string(
            reinterpret_cast<const char*>(alias), static_cast<std::size_t>(aliasLength)));
        if (!setFriendlyName(*added, name))
            return {};
    }
    if (!key)
        return store;
    if (!keyMatchesCertificate(key.get(), der)) {
        setLastError(error::kBadKey);
        return {};
    }

    // The store database must exist (and be a store database) before the key joins it.
    if (!openSystemStore(kPersonalStore))
        return {};
    KeyRow row;
    row.provider = (flags & kImportLegacyProvider) != 0 ? kProviderLegacy : kProviderKeyStorage;
    row.keySpec = row.provider == kProviderLegacy ? key_spec::kKeyExchange : key_spec::kKeyStorage;
    row.exportable = (flags & kImportExportable) != 0;
    row.pkcs8 = encodeKey(key.get());
    std::string container = newContainerName();
    const Bytes publicKey = publicKeyHashOf(key.get());
    if (row.pkcs8.empty() || container.empty() || publicKey.empty()) {
        setLastError(error::kNotEnoughMemory);
        return {};
    }
    bool created = false;
    if (!storeKey(row, publicKey, KeyArrival{}, &container, &created))
        return {};
    const Bytes link(container.begin(), container.end());
    if (!setCertificateProperty(*added, CertProperty::KeyLink, &link)) {
        const ErrorCode code = lastError();
        if (created)
            removeKey(container);
        setLastError(code);
        return {};
    }
    return store;
}

bool acquirePrivateKey(const CertContext& context, std::uint32_t flags,
                       KeyStorageHandle* keyStorage, LegacyProviderHandle* legacyProvider,
                       std::uint32_t* keySpec, bool* callerMustFree) {
    const bool onlyKeyStorage = (flags & kAcquireOnlyKeyStorage) != 0;
    if ((flags & ~kAcquireOnlyKeyStorage) != 0)
        return fail(error::kInvalidParameter);
    if (onlyKeyStorage ? keyStorage == nullptr : legacyProvider == nullptr) {
        return fail(error::kInvalidParameter);
    }
    Bytes link;
    if (!getCertificateProperty(context, CertProperty::KeyLink, &link)) {
        return fail(lastError() == error::kNotFound ? error::kNoKey : lastError());
    }
    KeyRow row;
    if (!loadKey(std::string(link.begin(), link.end()), &row))
        return false;
    if ((row.provider == kProviderKeyStorage) != onlyKeyStorage) {
        return fail(error::kNotSupported);
    }
    SharedKey key = decodeKey(row.pkcs8);
    if (!key)
        return fail(error::kBadKey);
    // A certificate replaced in its store keeps its properties; never hand out a key that does
    // not belong to the certificate now stored.
    if (!decodedKeyMatches(key, context))
        return fail(error::kNoKey);

    auto object = std::make_shared<KeyObject>();
    object->key = std::move(key);
    object->keySpec = row.keySpec;
    object->exportable = row.exportable;
    if (onlyKeyStorage) {
        *keyStorage = HandleTable::instance().add({HandleKind::KeyStorage, object, {}});
        if (callerMustFree != nullptr)
            *callerMustFree = true;
    } else {
        *legacyProvider = HandleTable::instance().add({HandleKind::LegacyProvider, object, {}});
        if (callerMustFree != nullptr)
            *callerMustFree = false;
    }
    if (keySpec != nullptr)
        *keySpec = row.keySpec;
    return true;
}

bool storePendingKey(const Bytes& pkcs8Der, const std::string& alias) {
    const std::string pkcs8(pkcs8Der.begin(), pkcs8Der.end());
    SharedKey key = decodeKey(pkcs8);
    if (!key)
        return fail(error::kBadKey);
    const Bytes publicKey = publicKeyHashOf(key.get());
    std::string container = newContainerName();
    if (publicKey.empty() || container.empty())
        return fail(error::kNotEnoughMemory);
    // The store database must exist (and be a store database) before the key joins it.
    if (!openSystemStore(kPersonalStore))
        return false;
    KeyRow row;
    row.provider = kProviderKeyStorage;
    row.keySpec = key_spec::kKeyStorage;
    row.pkcs8 = pkcs8;
    KeyArrival arrival;
    arrival.pending = true;
    arrival.alias = alias;
    bool created = false;
    return storeKey(row, publicKey, arrival, &container, &created);
}

bool findPendingKey(const Bytes& certificateDer, Bytes* pkcs8Der, std::string* alias) {
    if (pkcs8Der == nullptr)
        return fail(error::kInvalidParameter);
    const Bytes publicKey = publicKeyHashOfCertificate(certificateDer);
    if (publicKey.empty())
        return fail(error::kBadEncoding);
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return false;
    std::lock_guard guard(db->mutex());
    detail::Query select(*db,
                         "SELECT k.private_key, r.alias FROM key_public_keys p"
                         " JOIN pending_requests r ON r.container = p.container"
                         " JOIN keys k ON k.container = p.container"
                         " WHERE p.public_key = ?1 ORDER BY r.created LIMIT 1");
    // No such tables yet: no request was ever kept in this database.
    if (!select.ok())
        return fail(error::kNotFound);
    select.bind(1, publicKey);
    const int result = select.step();
    if (result == SQLITE_DONE)
        return fail(error::kNotFound);
    if (result != SQLITE_ROW)
        return failSqlite(result);
    *pkcs8Der = select.blob(0);
    if (alias != nullptr) {
        const Bytes text = select.blob(1);
        alias->assign(text.begin(), text.end());
    }
    return true;
}

std::optional<std::size_t> pendingKeyCount() {
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return std::nullopt;
    std::lock_guard guard(db->mutex());
    detail::Query select(*db, "SELECT count(*) FROM pending_requests");
    if (!select.ok())
        return std::size_t{0};
    const int result = select.step();
    if (result != SQLITE_ROW) {
        failSqlite(result);
        return std::nullopt;
    }
    return static_cast<std::size_t>(select.integer(0));
}

bool deleteKeyOf(const CertContext& context) {
    Bytes link;
    if (!getCertificateProperty(context, CertProperty::KeyLink, &link)) {
        return fail(lastError() == error::kNotFound ? error::kNoKey : lastError());
    }
    return removeKey(std::string(link.begin(), link.end()));
}

// ---------------------------------------------------------------------------------------------
// Key-storage provider.

std::uint32_t keyStorageSignHash(KeyStorageHandle key, const wchar_t* hashAlgorithm,
                                 const unsigned char* digest, std::size_t digestLength,
                                 unsigned char* signature, std::size_t capacity,
                                 std::size_t* written, std::uint32_t flags) {
    auto entry = HandleTable::instance().find(key, HandleKind::KeyStorage);
    if (!entry)
        return failWith(error::kInvalidHandle);
    if (flags != kPadPkcs1 || written == nullptr || (digest == nullptr && digestLength != 0)) {
        return failWith(error::kInvalidParameter);
    }
    const EVP_MD* md = nullptr;
    if (hashAlgorithm != nullptr && *hashAlgorithm != L'\0') {
        md = digestOfName(hashAlgorithm);
        if (md == nullptr)
            return failWith(error::kBadAlgorithm);
        if (static_cast<std::size_t>(EVP_MD_get_size(md)) != digestLength) {
            return failWith(error::kInvalidParameter);
        }
    }
    const auto size = static_cast<std::size_t>(EVP_PKEY_get_size(entry->key->key.get()));
    if (signature == nullptr) {
        *written = size;
        return error::kSuccess;
    }
    if (capacity < size)
        return failWith(error::kInsufficientBuffer);
    std::vector<unsigned char> result;
    const std::uint32_t status = rsaSign(entry->key->key.get(), md, digest, digestLength, &result);
    if (status != error::kSuccess)
        return status;
    std::memcpy(signature, result.data(), result.size());
    *written = result.size();
    return error::kSuccess;
}

std::uint32_t keyStorageDecrypt(KeyStorageHandle key, const unsigned char* data,
                                std::size_t dataLength, unsigned char* plain, std::size_t capacity,
                                std::size_t* written, std::uint32_t flags) {
    auto entry = HandleTable::instance().find(key, HandleKind::KeyStorage);
    if (!entry)
        return failWith(error::kInvalidHandle);
    if (flags != kPadPkcs1 || written == nullptr || (data == nullptr && dataLength != 0)) {
        return failWith(error::kInvalidParameter);
    }
    EVP_PKEY* pkey = entry->key->key.get();
    const auto size = static_cast<std::size_t>(EVP_PKEY_get_size(pkey));
    if (plain == nullptr) {
        *written = size;
        return error::kSuccess;
    }
    if (dataLength != size)
        return failWith(error::kBadData);
    PkcsPkeyCtxPtr context(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) {
        ERR_clear_error();
        return failWith(error::kBadKey);
    }
    std::vector<unsigned char> result(size);
    std::size_t length = result.size();
    if (EVP_PKEY_decrypt(context.get(), result.data(), &length, data, dataLength) <= 0) {
        ERR_clear_error();
        OPENSSL_cleanse(result.data(), result.size());
        return failWith(error::kBadData);
    }
    if (capacity < length) {
        OPENSSL_cleanse(result.data(), result.size());
        *written = length;
        return failWith(error::kInsufficientBuffer);
    }
    std::memcpy(plain, result.data(), length);
    OPENSSL_cleanse(result.data(), result.size());
    *written = length;
    return error::kSuccess;
}

std::uint32_t keyStorageExportKey(KeyStorageHandle key, Bytes* pkcs8Der) {
    auto entry = HandleTable::instance().find(key, HandleKind::KeyStorage);
    if (!entry)
        return failWith(error::kInvalidHandle);
    if (pkcs8Der == nullptr)
        return failWith(error::kInvalidParameter);
    if (!entry->key->exportable)
        return failWith(error::kNotSupported);
    const std::string der = encodeKey(entry->key->key.get());
    if (der.empty())
        return failWith(error::kNotEnoughMemory);
    pkcs8Der->assign(der.begin(), der.end());
    return error::kSuccess;
}

std::uint32_t freeKeyStorageKey(KeyStorageHandle key) {
    if (!HandleTable::instance().remove(key, HandleKind::KeyStorage)) {
        return failWith(error::kInvalidHandle);
    }
    return error::kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Legacy provider.

bool legacyCreateHash(LegacyProviderHandle provider, std::uint32_t algorithm, std::uint32_t flags,
                      LegacyHashHandle* hash) {
    auto entry = HandleTable::instance().find(provider, HandleKind::LegacyProvider);
    if (!entry)
        return fail(error::kInvalidHandle);
    if (flags != 0 || hash == nullptr)
        return fail(error::kInvalidParameter);
    const EVP_MD* md = digestOfAlgorithm(algorithm);
    if (md == nullptr)
        return fail(error::kBadAlgorithm);
    auto object = std::make_shared<HashObject>();
    object->key = entry->key;
    object->md = md;
    object->context.reset(EVP_MD_CTX_new());
    if (!object->context || EVP_DigestInit_ex(object->context.get(), md, nullptr) != 1) {
        ERR_clear_error();
        return fail(error::kNotEnoughMemory);
    }
    *hash = HandleTable::instance().add({HandleKind::LegacyHash, {}, std::move(object)});
    return true;
}

bool legacyHashData(LegacyHashHandle hash, const unsigned char* data, std::size_t length,
                    std::uint32_t flags) {
    auto entry = HandleTable::instance().find(hash, HandleKind::LegacyHash);
    if (!entry)
        return fail(error::kInvalidHandle);
    if (flags != 0 || (data == nullptr && length != 0))
        return fail(error::kInvalidParameter);
    if (entry->hash->finished)
        return fail(error::kInvalidParameter);
    if (EVP_DigestUpdate(entry->hash->context.get(), data, length) != 1) {
        ERR_clear_error();
        return fail(error::kBadData);
    }
    return true;
}

bool legacySignHash(LegacyHashHandle hash, std::uint32_t keySpec, std::uint32_t flags,
                    unsigned char* signature, std::size_t* length) {
    auto entry = HandleTable::instance().find(hash, HandleKind::LegacyHash);
    if (!entry)
        return fail(error::kInvalidHandle);
    if (flags != 0 || length == nullptr)
        return fail(error::kInvalidParameter);
    HashObject& object = *entry->hash;
    if (keySpec != object.key->keySpec)
        return fail(error::kNoKey);
    const auto size = static_cast<std::size_t>(EVP_PKEY_get_size(object.key->key.get()));
    if (signature == nullptr) {
        *length = size;
        return true;
    }
    if (*length < size) {
        *length = size;
        return fail(error::kMoreData);
    }
    // The hash value is final once signed; a later signature signs the same value again.
    if (!object.finished) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int valueLength = 0;
        if (EVP_DigestFinal_ex(object.context.get(), value, &valueLength) != 1) {
            ERR_clear_error();
            return fail(error::kBadData);
        }
        object.finished = true;
        object.value.assign(value, value + valueLength);
    }
    std::vector<unsigned char> result;
    if (rsaSign(object.key->key.get(), object.md, object.value.data(), object.value.size(),
                &result) != error::kSuccess) {
        return false;
    }
    // The legacy provider's byte order: least significant byte first.
    std::reverse(result.begin(), result.end());
    std::memcpy(signature, result.data(), result.size());
    *length = result.size();
    return true;
}

bool legacyDestroyHash(LegacyHashHandle hash) {
    if (!HandleTable::instance().remove(hash, HandleKind::LegacyHash)) {
        return fail(error::kInvalidHandle);
    }
    return true;
}

bool legacyReleaseContext(LegacyProviderHandle provider, std::uint32_t flags) {
    if (flags != 0)
        return fail(error::kInvalidParameter);
    if (!HandleTable::instance().remove(provider, HandleKind::LegacyProvider)) {
        return fail(error::kInvalidHandle);
    }
    return true;
}

std::size_t keyHandlesInUse() {
    return HandleTable::instance().size();
}

}  // namespace quor::platform
