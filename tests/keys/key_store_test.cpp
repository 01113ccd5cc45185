// Key services of the platform layer over a real store database in a temporary home.
#include "platform/key_store.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/last_error.h"
#include "tests/keys/key_oracle.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::platform {
namespace {

using test::bytesOf;
using test::CertBuilder;
using test::Name;
using test::TestCert;

Bytes sha256Of(const Bytes& data) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}

class KeyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = CertBuilder(Name::cn("Raiz de Teste")).ca().key(test::testKey(1)).selfSigned();
        holder = CertBuilder(Name::cn("Titular")).key(test::testKey(2)).signedBy(root);
        baseline = keyHandlesInUse();
    }

    // Imports holder's PKCS#12 and adds the keyed certificate to "MY"; returns its context there.
    CertContextPtr importIntoMy(std::uint32_t flags, const std::string& pass = "senha") {
        CertStorePtr temporary =
            importPkcs12(bytesOf(test::pkcs12(holder, pass, {root}, "apelido")), pass, flags);
        EXPECT_TRUE(temporary) << lastError();
        if (!temporary)
            return {};
        CertStorePtr my = openSystemStore(kPersonalStore);
        CertContextPtr context;
        while ((context = temporary->next(context))) {
            // The authority may be there from an earlier import of the same test.
            EXPECT_TRUE(my->addContext(*context) || lastError() == error::kExists);
        }
        return my->findBySha1(sha1Of(holder.derBytes()));
    }

    test::ScopedDataHome home;
    TestCert root;
    TestCert holder;
    std::size_t baseline = 0;
};

TEST_F(KeyStoreTest, ImportedKeyStaysLinkedInPersonalStoreAndSignsDigestsThatOpensslVerifies) {
    CertContextPtr context = importIntoMy(kImportExportable);
    ASSERT_TRUE(context);
    KeyStorageHandle key = 0;
    std::uint32_t spec = 0;
    bool mustFree = false;
    ASSERT_TRUE(
        acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, &spec, &mustFree));
    EXPECT_NE(key, 0u);
    EXPECT_EQ(spec, key_spec::kKeyStorage);
    EXPECT_TRUE(mustFree);

    const Bytes data = bytesOf("dados a assinar");
    const Bytes digest = sha256Of(data);
    std::size_t size = 0;
    ASSERT_EQ(keyStorageSignHash(key, L"SHA256", digest.data(), digest.size(), nullptr, 0, &size,
                                 kPadPkcs1),
              0u);
    EXPECT_EQ(size, 128u);
    Bytes signature(size);
    ASSERT_EQ(keyStorageSignHash(key, L"SHA256", digest.data(), digest.size(), signature.data(),
                                 signature.size(), &size, kPadPkcs1),
              0u);
    EXPECT_TRUE(test::opensslVerifies(holder.pem(), data, signature));

    // Without a hash name the block is signed as given: a prepared DigestInfo gives the same
    // signature (PKCS#1 v1.5 is deterministic).
    const Bytes info = test::digestInfo("sha256", digest);
    Bytes raw(size);
    ASSERT_EQ(keyStorageSignHash(key, nullptr, info.data(), info.size(), raw.data(), raw.size(),
                                 &size, kPadPkcs1),
              0u);
    EXPECT_EQ(raw, signature);

    EXPECT_EQ(freeKeyStorageKey(key), 0u);
    EXPECT_EQ(keyHandlesInUse(), baseline);
}

TEST_F(KeyStoreTest, FriendlyNameOfTheFileTravelsWithTheCertificate) {
    CertContextPtr context = importIntoMy(kImportExportable);
    ASSERT_TRUE(context);
    EXPECT_EQ(friendlyName(*context), std::u16string(u"apelido"));
}

TEST_F(KeyStoreTest, DecryptsWhatOpensslEncryptedForTheCertificate) {
    CertContextPtr context = importIntoMy(0);
    ASSERT_TRUE(context);
    KeyStorageHandle key = 0;
    ASSERT_TRUE(
        acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    const Bytes secret = bytesOf("segredo de 23 caracteres");
    const Bytes encrypted = test::opensslEncrypt(holder.pem(), secret);
    std::size_t size = 0;
    ASSERT_EQ(
        keyStorageDecrypt(key, encrypted.data(), encrypted.size(), nullptr, 0, &size, kPadPkcs1),
        0u);
    Bytes plain(size);
    ASSERT_EQ(keyStorageDecrypt(key, encrypted.data(), encrypted.size(), plain.data(), plain.size(),
                                &size, kPadPkcs1),
              0u);
    plain.resize(size);
    EXPECT_EQ(plain, secret);

    Bytes damaged = encrypted;
    damaged[5] ^= 0x40;
    EXPECT_EQ(keyStorageDecrypt(key, damaged.data(), damaged.size(), plain.data(), plain.size(),
                                &size, kPadPkcs1),
              error::kBadData);
    EXPECT_EQ(lastError(), error::kBadData);
    freeKeyStorageKey(key);
}

TEST_F(KeyStoreTest, LegacyProviderHashesSignsAndReturnsTheSignatureLeastSignificantByteFirst) {
    CertContextPtr context = importIntoMy(kImportLegacyProvider);
    ASSERT_TRUE(context);
    LegacyProviderHandle provider = 0;
    std::uint32_t spec = 0;
    ASSERT_TRUE(acquirePrivateKey(*context, 0, nullptr, &provider, &spec, nullptr));
    EXPECT_EQ(spec, key_spec::kKeyExchange);

    const Bytes data = bytesOf("dados legados");
    struct Case {
        std::uint32_t algorithm;
        const char* hash;
    };
    for (const Case& c :
         {Case{legacy_hash::kSha1, "sha1"}, Case{legacy_hash::kSha256, "sha256"},
          Case{legacy_hash::kSha384, "sha384"}, Case{legacy_hash::kSha512, "sha512"}}) {
        SCOPED_TRACE(c.hash);
        LegacyHashHandle hash = 0;
        ASSERT_TRUE(legacyCreateHash(provider, c.algorithm, 0, &hash));
        ASSERT_TRUE(legacyHashData(hash, data.data(), 6, 0));
        ASSERT_TRUE(legacyHashData(hash, data.data() + 6, data.size() - 6, 0));
        std::size_t length = 0;
        ASSERT_TRUE(legacySignHash(hash, spec, 0, nullptr, &length));
        Bytes small(length - 1);
        std::size_t smallLength = small.size();
        EXPECT_FALSE(legacySignHash(hash, spec, 0, small.data(), &smallLength));
        EXPECT_EQ(lastError(), error::kMoreData);
        EXPECT_EQ(smallLength, length);
        Bytes signature(length);
        ASSERT_TRUE(legacySignHash(hash, spec, 0, signature.data(), &length));
        EXPECT_FALSE(test::opensslVerifies(holder.pem(), data, signature, c.hash));
        std::reverse(signature.begin(), signature.end());
        EXPECT_TRUE(test::opensslVerifies(holder.pem(), data, signature, c.hash));
        EXPECT_TRUE(legacyDestroyHash(hash));
    }

    LegacyHashHandle hash = 0;
    EXPECT_FALSE(legacyCreateHash(provider, 0x8003 /* MD5 */, 0, &hash));
    EXPECT_EQ(lastError(), error::kBadAlgorithm);
    ASSERT_TRUE(legacyCreateHash(provider, legacy_hash::kSha256, 0, &hash));
    std::size_t length = 0;
    EXPECT_FALSE(legacySignHash(hash, key_spec::kSignature, 0, nullptr, &length));
    EXPECT_EQ(lastError(), error::kNoKey);
    EXPECT_TRUE(legacyDestroyHash(hash));
    EXPECT_TRUE(legacyReleaseContext(provider, 0));
    EXPECT_EQ(keyHandlesInUse(), baseline);
}

TEST_F(KeyStoreTest, AcquisitionGivesOnlyTheProviderAskedFor) {
    struct Case {
        const char* name;
        std::uint32_t importFlags;
        std::uint32_t acquireFlags;
        bool succeeds;
    };
    const Case cases[] = {
        {"key storage asked of a key-storage key", 0, kAcquireOnlyKeyStorage, true},
        {"legacy asked of a key-storage key", 0, 0, false},
        {"key storage asked of a legacy key", kImportLegacyProvider, kAcquireOnlyKeyStorage, false},
        {"legacy asked of a legacy key", kImportLegacyProvider, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertContextPtr context = importIntoMy(c.importFlags);
        ASSERT_TRUE(context);
        KeyStorageHandle key = 0;
        LegacyProviderHandle provider = 0;
        setLastError(0);
        const bool acquired =
            acquirePrivateKey(*context, c.acquireFlags, &key, &provider, nullptr, nullptr);
        EXPECT_EQ(acquired, c.succeeds);
        if (!acquired) {
            EXPECT_EQ(lastError(), error::kNotSupported);
        }
        if (key != 0)
            freeKeyStorageKey(key);
        if (provider != 0)
            legacyReleaseContext(provider, 0);
        // The next case imports the same certificate again; start from an empty "MY".
        openSystemStore(kPersonalStore)->remove(*context);
    }
    EXPECT_EQ(keyHandlesInUse(), baseline);
}

TEST_F(KeyStoreTest, CertificateWithoutKeyOrWithDeletedKeyHasNoKey) {
    CertStorePtr my = openSystemStore(kPersonalStore);
    CertContextPtr plain;
    ASSERT_TRUE(my->addEncoded(root.derBytes(), &plain));
    KeyStorageHandle key = 0;
    EXPECT_FALSE(
        acquirePrivateKey(*plain, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    EXPECT_EQ(lastError(), error::kNoKey);

    CertContextPtr keyed = importIntoMy(0);
    ASSERT_TRUE(keyed);
    ASSERT_TRUE(deleteKeyOf(*keyed));
    EXPECT_FALSE(
        acquirePrivateKey(*keyed, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    EXPECT_EQ(lastError(), error::kNoKey);
}

TEST_F(KeyStoreTest, KeyLinkedToAnotherCertificateIsNotHandedOut) {
    CertContextPtr keyed = importIntoMy(0);
    ASSERT_TRUE(keyed);
    Bytes link;
    ASSERT_TRUE(getCertificateProperty(*keyed, CertProperty::KeyLink, &link));
    // A certificate of another key that somehow carries this link must not get the key.
    TestCert other = CertBuilder(Name::cn("Outro")).key(test::testKey(3)).signedBy(root);
    CertContextPtr added;
    ASSERT_TRUE(openSystemStore(kPersonalStore)->addEncoded(other.derBytes(), &added));
    ASSERT_TRUE(setCertificateProperty(*added, CertProperty::KeyLink, &link));
    KeyStorageHandle key = 0;
    EXPECT_FALSE(
        acquirePrivateKey(*added, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    EXPECT_EQ(lastError(), error::kNoKey);
}

TEST_F(KeyStoreTest, BadImportsFailWithTheirOwnCodeAndStoreNothing) {
    const Bytes good = bytesOf(test::pkcs12(holder, "senha"));
    TestCert ecHolder = CertBuilder(Name::cn("EC")).key(test::Key::ec()).signedBy(root);
    struct Case {
        const char* name;
        Bytes bytes;
        std::string pass;
        std::uint32_t flags;
        ErrorCode code;
    };
    const Case cases[] = {
        {"wrong pass phrase", good, "errada", 0, error::kInvalidPassword},
        {"not PKCS#12", bytesOf("isto nao e um arquivo"), "senha", 0, error::kBadEncoding},
        {"cut short", Bytes(good.begin(), good.begin() + 100), "senha", 0, error::kBadEncoding},
        {"empty", Bytes(), "senha", 0, error::kBadEncoding},
        {"key that is not RSA", bytesOf(test::pkcs12(ecHolder, "senha")), "senha", 0,
         error::kBadKey},
        {"unknown flags", good, "senha", 0x80, error::kInvalidParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(0);
        EXPECT_FALSE(importPkcs12(c.bytes, c.pass, c.flags));
        EXPECT_EQ(lastError(), c.code);
    }
    // None of them left a key behind.
    ASSERT_TRUE(openSystemStore(kPersonalStore));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(home.storePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM keys", -1, &count, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
}

TEST_F(KeyStoreTest, OnlyKeysImportedExportableLeaveAsPkcs8OfTheSameKey) {
    for (const bool exportable : {true, false}) {
        SCOPED_TRACE(exportable ? "exportable" : "not exportable");
        CertContextPtr context = importIntoMy(exportable ? kImportExportable : 0);
        ASSERT_TRUE(context);
        KeyStorageHandle key = 0;
        ASSERT_TRUE(
            acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
        Bytes pkcs8;
        const std::uint32_t status = keyStorageExportKey(key, &pkcs8);
        if (exportable) {
            ASSERT_EQ(status, 0u);
            const unsigned char* p = pkcs8.data();
            EVP_PKEY* exported = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size()));
            ASSERT_NE(exported, nullptr);
            EXPECT_EQ(EVP_PKEY_eq(exported, holder.key.get()), 1);
            EVP_PKEY_free(exported);
        } else {
            EXPECT_EQ(status, error::kNotSupported);
        }
        freeKeyStorageKey(key);
        openSystemStore(kPersonalStore)->remove(*context);
    }
}

TEST_F(KeyStoreTest, HandlesAreRefusedOnceFreedOrWhenOfAnotherKind) {
    CertContextPtr context = importIntoMy(0);
    ASSERT_TRUE(context);
    KeyStorageHandle key = 0;
    ASSERT_TRUE(
        acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    const Bytes digest(32, 0x11);
    std::size_t size = 0;
    Bytes out(128);
    struct Case {
        const char* name;
        const wchar_t* hash;
        std::size_t digestLength;
        std::size_t capacity;
        std::uint32_t flags;
        ErrorCode code;
    };
    const Case cases[] = {
        {"unknown hash name", L"MD5", 32, 128, kPadPkcs1, error::kBadAlgorithm},
        {"hash name in lower case", L"sha256", 32, 128, kPadPkcs1, error::kBadAlgorithm},
        {"digest of the wrong length", L"SHA256", 20, 128, kPadPkcs1, error::kInvalidParameter},
        {"buffer too small", L"SHA256", 32, 127, kPadPkcs1, error::kInsufficientBuffer},
        {"padding not PKCS#1", L"SHA256", 32, 128, 4, error::kInvalidParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(keyStorageSignHash(key, c.hash, digest.data(), c.digestLength, out.data(),
                                     c.capacity, &size, c.flags),
                  c.code);
        EXPECT_EQ(lastError(), c.code);
    }
    // A raw block longer than the key allows.
    const Bytes longBlock(120, 0x01);
    EXPECT_EQ(keyStorageSignHash(key, nullptr, longBlock.data(), longBlock.size(), out.data(),
                                 out.size(), &size, kPadPkcs1),
              error::kInvalidParameter);

    // The key handle is not a provider handle, and once freed it is nothing.
    LegacyHashHandle hash = 0;
    EXPECT_FALSE(legacyCreateHash(key, legacy_hash::kSha256, 0, &hash));
    EXPECT_EQ(lastError(), error::kInvalidHandle);
    ASSERT_EQ(freeKeyStorageKey(key), 0u);
    EXPECT_EQ(keyStorageSignHash(key, L"SHA256", digest.data(), 32, out.data(), out.size(), &size,
                                 kPadPkcs1),
              error::kInvalidHandle);
    EXPECT_EQ(freeKeyStorageKey(key), error::kInvalidHandle);
    EXPECT_EQ(keyHandlesInUse(), baseline);
}

TEST_F(KeyStoreTest, KeysRestAsPkcs8InTheUsersPrivateDatabase) {
    ASSERT_TRUE(importIntoMy(kImportExportable));
    struct stat info {};
    ASSERT_EQ(::stat(home.storePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(home.storePath().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(home.storePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* select = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT private_key FROM keys", -1, &select, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(select), SQLITE_ROW);
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(select, 0));
    const std::string der(reinterpret_cast<const char*>(blob),
                          static_cast<std::size_t>(sqlite3_column_bytes(select, 0)));
    sqlite3_finalize(select);
    sqlite3_close(db);
    const std::string text = test::opensslCommand("pkey -inform DER -outform PEM", der);
    EXPECT_EQ(text, holder.key.privatePem());
}

// Rows of a table of the store database, read by a connection of its own.
std::int64_t rowsOf(const test::ScopedDataHome& home, const std::string& table) {
    sqlite3* db = nullptr;
    std::int64_t count = -1;
    if (sqlite3_open_v2(home.storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* select = nullptr;
        const std::string sql = "SELECT count(*) FROM " + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr) == SQLITE_OK &&
            sqlite3_step(select) == SQLITE_ROW) {
            count = sqlite3_column_int64(select, 0);
        }
        sqlite3_finalize(select);
    }
    sqlite3_close(db);
    return count;
}

// A secret part of the key (its first prime), big-endian, as it appears inside the PKCS#8.
std::string secretPrimeOf(const test::Key& key) {
    BIGNUM* prime = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key.get(), "rsa-factor1", &prime), 1);
    std::string bytes(static_cast<std::size_t>(BN_num_bytes(prime)), '\0');
    BN_bn2bin(prime, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(prime);
    return bytes;
}

// Which of the database's files hold the bytes.
std::vector<std::string> filesHolding(const test::ScopedDataHome& home, const std::string& bytes) {
    std::vector<std::string> holding;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::filesystem::path path = home.storePath().string() + suffix;
        if (std::filesystem::exists(path) &&
            test::readFile(path).find(bytes) != std::string::npos) {
            holding.push_back(path.filename().string());
        }
    }
    return holding;
}

TEST_F(KeyStoreTest, TheSameKeyImportedAgainKeepsOneRowThatGoesWithTheCertificate) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(importIntoMy(round == 1 ? kImportExportable : 0));
    }
    EXPECT_EQ(rowsOf(home, "keys"), 1);
    CertContextPtr context = openSystemStore(kPersonalStore)->findBySha1(sha1Of(holder.derBytes()));
    ASSERT_TRUE(context);
    // The last import decides how the key is held (here: not exportable).
    KeyStorageHandle key = 0;
    ASSERT_TRUE(acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    Bytes exported;
    EXPECT_EQ(keyStorageExportKey(key, &exported), error::kNotSupported);
    EXPECT_EQ(freeKeyStorageKey(key), error::kSuccess);

    ASSERT_TRUE(openSystemStore(kPersonalStore)->remove(*context));
    EXPECT_EQ(rowsOf(home, "keys"), 0);
    // The authority certificate that came with the file had no key: it stays, and so would
    // keys of other certificates.
    EXPECT_TRUE(openSystemStore(kPersonalStore)->findBySha1(sha1Of(root.derBytes())));
}

TEST_F(KeyStoreTest, AKeyStaysWhileAnotherCertificateStillLinksToIt) {
    // The same key certified twice (a renewal): two certificates, one key.
    const TestCert renewed =
        CertBuilder(Name::cn("Titular")).key(test::testKey(2)).serial(4242).signedBy(root);
    ASSERT_TRUE(importIntoMy(kImportExportable));
    {
        CertStorePtr temporary = importPkcs12(bytesOf(test::pkcs12(renewed, "senha")), "senha", 0);
        ASSERT_TRUE(temporary);
        CertContextPtr context = temporary->next(nullptr);
        ASSERT_TRUE(context);
        ASSERT_TRUE(openSystemStore(kPersonalStore)->addContext(*context));
    }
    EXPECT_EQ(rowsOf(home, "keys"), 1);
    CertStorePtr my = openSystemStore(kPersonalStore);
    CertContextPtr first = my->findBySha1(sha1Of(holder.derBytes()));
    CertContextPtr second = my->findBySha1(sha1Of(renewed.derBytes()));
    ASSERT_TRUE(first && second);

    ASSERT_TRUE(my->remove(*first));
    EXPECT_EQ(rowsOf(home, "keys"), 1);
    KeyStorageHandle key = 0;
    ASSERT_TRUE(acquirePrivateKey(*second, kAcquireOnlyKeyStorage, &key, nullptr, nullptr, nullptr));
    EXPECT_EQ(freeKeyStorageKey(key), error::kSuccess);

    ASSERT_TRUE(my->remove(*second));
    EXPECT_EQ(rowsOf(home, "keys"), 0);
}

TEST_F(KeyStoreTest, DeletedKeysLeaveNoBytesInTheDatabaseFiles) {
    const std::string secret = secretPrimeOf(holder.key);
    ASSERT_GE(secret.size(), 32u);
    struct Case {
        const char* name;
        std::function<bool(CertStore&, const CertContext&)> deleteKey;
    };
    const Case cases[] = {
        {"certificate removed", [](CertStore& my, const CertContext& c) { return my.remove(c); }},
        {"key deleted", [](CertStore&, const CertContext& c) { return deleteKeyOf(c); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertContextPtr context = importIntoMy(kImportExportable);
        ASSERT_TRUE(context);
        // The search finds the key where it is: the check below can fail.
        EXPECT_FALSE(filesHolding(home, secret).empty());
        CertStorePtr my = openSystemStore(kPersonalStore);
        ASSERT_TRUE(c.deleteKey(*my, *context)) << std::hex << lastError();
        EXPECT_EQ(rowsOf(home, "keys"), 0);
        EXPECT_EQ(filesHolding(home, secret), std::vector<std::string>{});
        my->remove(*context);
    }
}

}  // namespace
}  // namespace quor::platform
