#include "platform/cert_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "tests/platform/store_test_support.h"

namespace quor::platform::testing {
namespace {

using test::CertBuilder;
using test::Name;

std::string hexColon(const unsigned char* data, std::size_t size) {
    std::string text;
    char buffer[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02X", data[i]);
        if (i)
            text += ':';
        text += buffer;
    }
    return text;
}

class CertStoreTest : public StoreTest {};

TEST_F(CertStoreTest, AddedCertificatesAreFoundWalkedInInsertionOrderAndRemoved) {
    const auto certs = distinctCertificates(4);
    CertStorePtr ca = open("CA");
    ASSERT_TRUE(ca);
    // Inserted out of "natural" order: the walk must follow insertion, not serial or hash.
    const std::vector<int> order = {2, 0, 3, 1};
    for (int i : order)
        ASSERT_TRUE(ca->addEncoded(certs[i])) << std::hex << lastError();

    std::vector<Bytes> expected;
    for (int i : order)
        expected.push_back(certs[i]);
    EXPECT_EQ(walk(*ca), expected);

    for (const Bytes& der : certs) {
        CertContextPtr found = ca->findBySha1(sha1Of(der));
        ASSERT_TRUE(found);
        EXPECT_EQ(found->der(), der);
        EXPECT_EQ(found->storeName(), "CA");
    }

    CertContextPtr third = ca->findBySha1(sha1Of(certs[3]));
    ASSERT_TRUE(ca->remove(*third));
    setLastError(0);
    EXPECT_FALSE(ca->findBySha1(sha1Of(certs[3])));
    EXPECT_EQ(lastError(), error::kNotFound);
    EXPECT_EQ(walk(*ca), (std::vector<Bytes>{certs[2], certs[0], certs[1]}));
    // The context outlives its certificate's removal, and a second removal reports not-found.
    EXPECT_EQ(third->der(), certs[3]);
    EXPECT_FALSE(ca->remove(*third));
    EXPECT_EQ(lastError(), error::kNotFound);
}

TEST_F(CertStoreTest, StoresAreSeparateAndPersistAcrossConnections) {
    const auto certs = distinctCertificates(2);
    {
        CertStorePtr ca = open("CA");
        CertStorePtr book = open("AddressBook");
        ASSERT_TRUE(ca->addEncoded(certs[0]));
        ASSERT_TRUE(book->addEncoded(certs[1]));
        // The same certificate may be in two stores.
        ASSERT_TRUE(book->addEncoded(certs[0]));
    }
    // Every handle is gone: the next open is a new connection to the same file.
    CertStorePtr ca = open("CA");
    CertStorePtr book = open("AddressBook");
    CertStorePtr my = open("MY");
    EXPECT_EQ(walk(*ca), std::vector<Bytes>{certs[0]});
    EXPECT_EQ(walk(*book), (std::vector<Bytes>{certs[1], certs[0]}));
    EXPECT_TRUE(walk(*my).empty());
    EXPECT_FALSE(my->findBySha1(sha1Of(certs[0])));
    EXPECT_EQ(lastError(), error::kNotFound);
}

TEST_F(CertStoreTest, WalkGoesOnWhenTheVisitedCertificateIsRemoved) {
    const auto certs = distinctCertificates(3);
    CertStorePtr ca = open("CA");
    for (const auto& der : certs)
        ASSERT_TRUE(ca->addEncoded(der));
    CertContextPtr first = ca->next(nullptr);
    ASSERT_TRUE(first);
    ASSERT_TRUE(ca->remove(*first));
    CertContextPtr second = ca->next(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->der(), certs[1]);
}

TEST_F(CertStoreTest, UnknownStoreNamesAreErrors) {
    for (const char* name : {"", "my", "Root", "TRUST", "CA ", "Disallowed"}) {
        setLastError(0);
        EXPECT_FALSE(openSystemStore(name)) << name;
        EXPECT_EQ(lastError(), error::kInvalidParameter) << name;
    }
}

TEST_F(CertStoreTest, BytesThatAreNotOneCertificateAreRejectedAndNothingIsStored) {
    Bytes valid = distinctCertificates(1)[0];
    Bytes trailing = valid;
    trailing.push_back(0);
    Bytes truncated(valid.begin(), valid.end() - 1);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", {}},
        {"garbage", {0x01, 0x02, 0x03}},
        {"trailing byte", trailing},
        {"truncated", truncated},
        {"PEM text", Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N'}},
    };
    for (auto makeStore : {std::function<CertStorePtr()>([&] { return open("CA"); }),
                           std::function<CertStorePtr()>([] { return openMemoryStore(); })}) {
        CertStorePtr store = makeStore();
        for (const auto& [what, bytes] : cases) {
            setLastError(0);
            EXPECT_FALSE(store->addEncoded(bytes)) << what;
            EXPECT_EQ(lastError(), error::kBadEncoding) << what;
        }
        EXPECT_TRUE(walk(*store).empty());
    }
}

// The add-newer rule: the same certificate (issuer, serial, subject and key) issued again is
// only stored when its NotBefore is later, and then replaces the older one in place.
TEST_F(CertStoreTest, AddNewerRuleOnSystemAndMemoryStores) {
    enum Outcome { Replaced, Exists, Appended };
    struct Case {
        const char* what;
        const char* storedNotBefore;
        const char* addedNotBefore;
        const char* addedSubject;
        Outcome outcome;
    };
    const Case cases[] = {
        {"older stored certificate is replaced", "20200101000000Z", "20210101000000Z", "Mesmo",
         Replaced},
        {"same NotBefore is a duplicate", "20200101000000Z", "20200101000000Z", "Mesmo", Exists},
        {"later stored certificate wins", "20210101000000Z", "20200101000000Z", "Mesmo", Exists},
        {"same issuer and serial, other subject: another certificate", "20200101000000Z",
         "20210101000000Z", "Outro", Appended},
    };
    for (bool memory : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (memory ? " (memory)" : " (system)"));
            CertStorePtr store = memory ? openMemoryStore() : open("AddressBook");
            const auto others = distinctCertificates(2, std::string("Other ") + c.what);
            auto make = [&](const char* notBefore, const char* cn) {
                return CertBuilder(Name::cn(cn))
                    .serial(77)
                    .issuerName(Name::cn(std::string("Issuer ") + c.what))
                    .notBefore(notBefore)
                    .notAfter("20400101000000Z")
                    .selfSigned()
                    .derBytes();
            };
            const Bytes stored = make(c.storedNotBefore, "Mesmo");
            const Bytes added = make(c.addedNotBefore, c.addedSubject);
            ASSERT_TRUE(store->addEncoded(others[0]));
            CertContextPtr storedContext;
            ASSERT_TRUE(store->addEncoded(stored, &storedContext));
            ASSERT_TRUE(setFriendlyName(*storedContext, u"kept"));
            ASSERT_TRUE(store->addEncoded(others[1]));

            setLastError(0);
            CertContextPtr addedContext;
            const bool result = store->addEncoded(added, &addedContext);
            const ErrorCode code = lastError();
            EXPECT_EQ(result, c.outcome != Exists);
            std::vector<Bytes> expected = {others[0], c.outcome == Replaced ? added : stored,
                                           others[1]};
            if (c.outcome == Appended)
                expected.push_back(added);
            EXPECT_EQ(walk(*store), expected);
            if (c.outcome == Exists) {
                EXPECT_EQ(code, error::kExists);
                EXPECT_FALSE(addedContext);
                // (With the same NotBefore the two are the very same bytes.)
                if (added != stored) {
                    EXPECT_FALSE(store->findBySha1(sha1Of(added)));
                }
            } else {
                ASSERT_TRUE(addedContext);
                EXPECT_EQ(addedContext->der(), added);
                EXPECT_EQ(friendlyName(*addedContext), c.outcome == Replaced
                                                           ? std::optional<std::u16string>(u"kept")
                                                           : std::nullopt);
                EXPECT_EQ(static_cast<bool>(store->findBySha1(sha1Of(stored))),
                          c.outcome == Appended);
            }
            // Clean up so the next case starts empty.
            for (CertContextPtr c2 = store->next(nullptr); c2; c2 = store->next(nullptr)) {
                ASSERT_TRUE(store->remove(*c2));
            }
        }
    }
}

TEST_F(CertStoreTest, PropertiesAreStoredPerCertificateAndGoWithIt) {
    const auto certs = distinctCertificates(2);
    CertStorePtr my = open("MY");
    CertContextPtr a, b;
    ASSERT_TRUE(my->addEncoded(certs[0], &a));
    ASSERT_TRUE(my->addEncoded(certs[1], &b));

    Bytes value;
    setLastError(0);
    EXPECT_FALSE(getCertificateProperty(*a, CertProperty::FriendlyName, &value));
    EXPECT_EQ(lastError(), error::kNotFound);
    EXPECT_FALSE(friendlyName(*a));

    const std::u16string name = u"Certificação Fulano 😀";
    ASSERT_TRUE(setFriendlyName(*a, name));
    const Bytes link = {1, 2, 3, 0, 4};
    ASSERT_TRUE(setCertificateProperty(*a, CertProperty::KeyLink, &link));
    // Another context of the same certificate, found later, sees the same properties.
    CertContextPtr again = open("MY")->findBySha1(sha1Of(certs[0]));
    ASSERT_TRUE(again);
    EXPECT_EQ(friendlyName(*again), name);
    ASSERT_TRUE(getCertificateProperty(*again, CertProperty::KeyLink, &value));
    EXPECT_EQ(value, link);
    // The stored form is UTF-16LE with a terminating zero.
    ASSERT_TRUE(getCertificateProperty(*again, CertProperty::FriendlyName, &value));
    ASSERT_EQ(value.size(), (name.size() + 1) * 2);
    EXPECT_EQ(value[0], 'C');
    EXPECT_EQ(value[value.size() - 1], 0);
    EXPECT_FALSE(friendlyName(*b)) << "properties belong to one certificate";

    ASSERT_TRUE(setFriendlyName(*a, u"novo"));
    EXPECT_EQ(friendlyName(*again), std::u16string(u"novo"));
    ASSERT_TRUE(setCertificateProperty(*a, CertProperty::FriendlyName, nullptr));
    EXPECT_FALSE(friendlyName(*a));
    EXPECT_TRUE(setCertificateProperty(*a, CertProperty::FriendlyName, nullptr))
        << "removing an absent property succeeds";

    // Removing the certificate removes its properties; a stale context cannot set any.
    ASSERT_TRUE(my->remove(*a));
    setLastError(0);
    EXPECT_FALSE(setFriendlyName(*a, u"x"));
    EXPECT_EQ(lastError(), error::kNotFound);
    CertContextPtr readded;
    ASSERT_TRUE(my->addEncoded(certs[0], &readded));
    EXPECT_FALSE(getCertificateProperty(*readded, CertProperty::KeyLink, &value));
}

TEST_F(CertStoreTest, AddingAContextFromATemporaryStoreCarriesItsProperties) {
    const auto certs = distinctCertificates(1);
    CertStorePtr temporary = openMemoryStore();
    CertContextPtr imported;
    ASSERT_TRUE(temporary->addEncoded(certs[0], &imported));
    const Bytes link = {9, 9, 9};
    ASSERT_TRUE(setCertificateProperty(*imported, CertProperty::KeyLink, &link));
    ASSERT_TRUE(setFriendlyName(*imported, u"importado"));

    CertStorePtr my = open("MY");
    CertContextPtr inMy;
    ASSERT_TRUE(my->addContext(*imported, &inMy));
    temporary.reset();
    imported.reset();
    CertContextPtr found = open("MY")->findBySha1(sha1Of(certs[0]));
    ASSERT_TRUE(found);
    Bytes value;
    ASSERT_TRUE(getCertificateProperty(*found, CertProperty::KeyLink, &value));
    EXPECT_EQ(value, link);
    EXPECT_EQ(friendlyName(*found), std::u16string(u"importado"));
    // Adding the same context again follows the add-newer rule.
    setLastError(0);
    EXPECT_FALSE(my->addContext(*found));
    EXPECT_EQ(lastError(), error::kExists);
}

TEST_F(CertStoreTest, RootAddsAskTheHandlerOnlyForCertificatesTheyWouldStore) {
    const test::TestCert root = CertBuilder(Name{{"O", "Quorsa"}, {"CN", "Raiz de Teste"}})
                                    .ca()
                                    .notBefore("20200102030405Z")
                                    .notAfter("20300102030405Z")
                                    .selfSigned();
    const Bytes der = root.derBytes();
    CertStorePtr rootStore = open("ROOT");

    struct Case {
        const char* what;
        std::function<void()> arrange;
        bool added;
        ErrorCode code;
        std::size_t requests;
    };
    const Case cases[] = {
        {"user refuses", [&] { acceptRoots = false; }, false, error::kCancelled, 1},
        {"no handler", [&] { setRootAddHandler(nullptr); }, false, error::kCancelled, 0},
        {"handler throws",
         [&] { setRootAddHandler([](const RootAddRequest&) -> bool { throw 1; }); }, false,
         error::kCancelled, 0},
        {"user accepts", [&] { acceptRoots = true; }, true, error::kSuccess, 1},
        {"already stored: nothing to ask", [&] {}, false, error::kExists, 0},
    };
    RootAddHandler counting = setRootAddHandler(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setRootAddHandler(counting);
        rootRequests.clear();
        c.arrange();
        setLastError(0);
        EXPECT_EQ(rootStore->addEncoded(der), c.added);
        EXPECT_EQ(lastError(), c.code);
        EXPECT_EQ(rootRequests.size(), c.requests);
        EXPECT_EQ(walk(*rootStore).size(), c.added || c.code == error::kExists ? 1u : 0u);
    }

    // Other stores never ask.
    setRootAddHandler(counting);
    rootRequests.clear();
    ASSERT_TRUE(open("CA")->addEncoded(der));
    EXPECT_TRUE(rootRequests.empty());
}

TEST_F(CertStoreTest, RootAddRequestShowsNamesValidityAndThumbprints) {
    const test::TestCert root = CertBuilder(Name{{"O", "Quorsa"}, {"CN", "Raiz de Teste Ação"}})
                                    .issuerName(Name{{"O", "Quorsa"}, {"OU", "Emissora"}})
                                    .ca()
                                    .notBefore("20200102030405Z")
                                    .notAfter("20300102030405Z")
                                    .selfSigned();
    ASSERT_TRUE(open("ROOT")->addEncoded(root.derBytes()));
    ASSERT_EQ(rootRequests.size(), 1u);
    const RootAddRequest& request = rootRequests[0];
    EXPECT_EQ(request.der, root.derBytes());
    EXPECT_EQ(request.subjectDisplayName, "Raiz de Teste Ação");
    EXPECT_EQ(request.issuerDisplayName, "Emissora") << "no CN: the last entry";
    EXPECT_EQ(request.notBefore, 1577934245);  // 2020-01-02 03:04:05 UTC
    EXPECT_EQ(request.notAfter, 1893553445);   // 2030-01-02 03:04:05 UTC
    const std::string pem = root.pem();
    EXPECT_THAT(test::opensslCommand("x509 -noout -fingerprint -sha1", pem),
                ::testing::HasSubstr(hexColon(request.sha1.data(), request.sha1.size())));
    EXPECT_THAT(test::opensslCommand("x509 -noout -fingerprint -sha256", pem),
                ::testing::HasSubstr(hexColon(request.sha256.data(), request.sha256.size())));
}

TEST_F(CertStoreTest, ObserverSeesCommittedChangesOfSystemStoresOnly) {
    std::vector<std::tuple<StoreChangeKind, std::string, Bytes>> changes;
    StoreChangeObserver previous = setStoreChangeObserver([&](const StoreChange& change) {
        changes.emplace_back(change.kind, change.storeName, change.der);
    });
    auto make = [](const char* notBefore) {
        return CertBuilder(Name::cn("Observed"))
            .serial(5)
            .notBefore(notBefore)
            .notAfter("20400101000000Z")
            .selfSigned()
            .derBytes();
    };
    const Bytes older = make("20200101000000Z");
    const Bytes newer = make("20220101000000Z");
    CertStorePtr ca = open("CA");
    ASSERT_TRUE(ca->addEncoded(older));
    EXPECT_FALSE(ca->addEncoded(older));
    CertContextPtr replaced;
    ASSERT_TRUE(ca->addEncoded(newer, &replaced));
    ASSERT_TRUE(ca->remove(*replaced));
    EXPECT_FALSE(ca->remove(*replaced));
    acceptRoots = false;
    EXPECT_FALSE(open("ROOT")->addEncoded(older));
    ASSERT_TRUE(openMemoryStore()->addEncoded(older));
    setStoreChangeObserver(std::move(previous));

    using K = StoreChangeKind;
    const decltype(changes) expected = {
        {K::Added, "CA", older}, {K::Replaced, "CA", newer}, {K::Removed, "CA", newer}};
    EXPECT_EQ(changes, expected);
}

// Real roots whose keys OpenSSL cannot fully decode are stored like any other certificate.
TEST_F(CertStoreTest, IcpBrasilRootsWithUndecodableKeysAreStoredFoundWalkedAndRemoved) {
    CertStorePtr root = open("ROOT");
    std::vector<Bytes> added;
    for (const char* file : {"icp-brasil/ICP-Brasilv4.crt", "icp-brasil/ICP-Brasilv6.crt",
                             "icp-brasil/ICP-Brasilv7.crt", "icp-brasil/ICP-Brasilv10.crt"}) {
        SCOPED_TRACE(file);
        const Bytes der = fixtureDer(file);
        ASSERT_TRUE(root->addEncoded(der)) << std::hex << lastError();
        added.push_back(der);
        CertContextPtr found = root->findBySha1(sha1Of(der));
        ASSERT_TRUE(found);
        EXPECT_EQ(found->der(), der);
    }
    EXPECT_EQ(rootRequests.back().subjectDisplayName,
              "Autoridade Certificadora Raiz Brasileira v10");
    EXPECT_EQ(walk(*root), added);
    for (const Bytes& der : added) {
        CertContextPtr found = root->findBySha1(sha1Of(der));
        ASSERT_TRUE(found);
        EXPECT_TRUE(root->remove(*found));
    }
    EXPECT_TRUE(walk(*root).empty());
}

TEST_F(CertStoreTest, DatabaseFolderAndFileArePrivateToTheUser) {
    ASSERT_TRUE(open("CA")->addEncoded(distinctCertificates(1)[0]));
    struct stat info {};
    ASSERT_EQ(::stat(home.storePath().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string path = home.storePath().string() + suffix;
        if (::stat(path.c_str(), &info) != 0) {
            EXPECT_NE(*suffix, '\0') << "the database file must exist";
            continue;
        }
        EXPECT_EQ(info.st_mode & 07777, 0600u) << path;
    }
}

TEST_F(CertStoreTest, DatabasePathFollowsXdgDataHomeElseHome) {
    struct Case {
        const char* xdg;  // nullptr: unset
        std::string expected;
    };
    const std::string h = home.home().string();
    const Case cases[] = {
        {"/srv/dados", "/srv/dados/quor/certstore.db"},
        {"/srv/dados/", "/srv/dados/quor/certstore.db"},
        {"", h + "/.local/share/quor/certstore.db"},
        {"relativo/dados", h + "/.local/share/quor/certstore.db"},
        {nullptr, h + "/.local/share/quor/certstore.db"},
    };
    for (const Case& c : cases) {
        if (c.xdg) {
            ::setenv("XDG_DATA_HOME", c.xdg, 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        EXPECT_EQ(storeDatabasePath(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
    ::setenv("XDG_DATA_HOME", home.dataHome().c_str(), 1);
}

TEST_F(CertStoreTest, NoHomeAtAllStillFindsTheUsersFolderFromTheSystem) {
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    const std::string path = storeDatabasePath();
    ::setenv("HOME", home.home().c_str(), 1);
    ::setenv("XDG_DATA_HOME", home.dataHome().c_str(), 1);
    EXPECT_THAT(path, ::testing::EndsWith("/.local/share/quor/certstore.db"));
    EXPECT_EQ(path.front(), '/');
}

// A file at the store's place that is not a store database is reported and never changed.
TEST_F(CertStoreTest, FileThatIsNotAStoreDatabaseIsAnErrorAndStaysUntouched) {
    const std::string foreignSchema =
        "CREATE TABLE contacts (name TEXT); "
        "INSERT INTO contacts VALUES ('Fulano');";
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path&)> make;
    };
    const Case cases[] = {
        {"text garbage",
         [](const auto& path) {
             test::writeFile(path, std::string(4096, 'x') + "not a database at all");
         }},
        {"SQLite header followed by garbage",
         [](const auto& path) {
             test::writeFile(path, std::string("SQLite format 3") + std::string(1, '\0') +
                                       std::string(8000, '\x7f'));
         }},
        {"another program's database",
         [&](const auto& path) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
             ASSERT_EQ(sqlite3_exec(db, foreignSchema.c_str(), nullptr, nullptr, nullptr),
                       SQLITE_OK);
             sqlite3_close(db);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(home.storePath().parent_path());
        std::filesystem::create_directories(home.storePath().parent_path());
        c.make(home.storePath());
        const std::string before = test::readFile(home.storePath());
        for (const char* name : {"CA", "ROOT", "MY"}) {
            setLastError(0);
            EXPECT_FALSE(openSystemStore(name));
            EXPECT_EQ(lastError(), error::kDatabaseError);
        }
        EXPECT_EQ(test::readFile(home.storePath()), before);
        EXPECT_FALSE(std::filesystem::exists(home.storePath().string() + "-wal"));
        EXPECT_NE(messageText(error::kDatabaseError).find(L"not a certificate store"),
                  std::wstring::npos);
    }
}

TEST_F(CertStoreTest, FolderInTheWayOfTheDatabaseIsAnError) {
    std::filesystem::create_directories(home.storePath());
    setLastError(0);
    EXPECT_FALSE(openSystemStore("CA"));
    EXPECT_NE(lastError(), error::kSuccess);
    // A file where the data folder should be.
    std::filesystem::remove_all(home.dataHome());
    test::writeFile(home.dataHome(), "file");
    setLastError(0);
    EXPECT_FALSE(openSystemStore("CA"));
    EXPECT_EQ(lastError(), error::kStoreUnavailable);
}

// Another program holding the write lock: reads go on (WAL), a change waits the short busy
// time and then fails clearly; once the lock is gone the same change succeeds.
TEST_F(CertStoreTest, DatabaseLockedByAnotherProgramFailsAfterTheShortWait) {
    const auto certs = distinctCertificates(2);
    CertStorePtr ca = open("CA");
    ASSERT_TRUE(ca->addEncoded(certs[0]));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(home.storePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    EXPECT_TRUE(ca->findBySha1(sha1Of(certs[0])));
    const auto start = std::chrono::steady_clock::now();
    setLastError(0);
    EXPECT_FALSE(ca->addEncoded(certs[1]));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(lastError(), error::kDatabaseBusy);
    EXPECT_GE(waited, std::chrono::milliseconds(2500));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_NE(messageText(error::kDatabaseBusy).find(L"locked"), std::wstring::npos);

    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_TRUE(ca->addEncoded(certs[1])) << std::hex << lastError();
    EXPECT_EQ(walk(*ca), certs);
}

}  // namespace
}  // namespace quor::platform::testing
