// The system repository over the real store database in a temporary XDG_DATA_HOME: where added
// certificates go, the add-newer rule, lookups by fingerprint and the cache slots, enumeration by
// kind, the platform chain and its statuses, and failures of the store database.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_impl.h"
#include "tests/repository/store_helpers.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::signer {
namespace {

using test::CertBuilder;
using test::Name;
using test::TestCert;

std::vector<std::string> fingerprintsOf(const CertificateChain& chain) {
    std::vector<std::string> result;
    for (const Certificate& c : chain.certificates)
        result.push_back(c.getFingerprint());
    return result;
}

std::vector<std::string> fingerprintsOf(const std::vector<const TestCert*>& certs) {
    std::vector<std::string> result;
    for (const TestCert* c : certs)
        result.push_back(c->sha1Text());
    return result;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

Certificate fixtureCertificate(const std::string& file) {
    return Certificate(test::readFile(test::fixture("icp-brasil/" + file)));
}

class SystemRepositoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root =
            CertBuilder(Name::cn("Raiz Teste")).ca().serial(100).key(test::testKey(1)).selfSigned();
        intermediate = CertBuilder(Name::cn("AC Intermediaria"))
                           .ca()
                           .serial(200)
                           .key(test::testKey(2))
                           .signedBy(root);
        issuing = CertBuilder(Name::cn("AC Final"))
                      .ca(0)
                      .serial(300)
                      .key(test::testKey(3))
                      .signedBy(intermediate);
        leaf = CertBuilder(Name::cn("Fulano de Tal"))
                   .serial(400)
                   .key(test::testKey(4))
                   .signedBy(issuing);
    }

    test::ScopedDataHome home;
    test::RootAddAnswer rootAnswer{true};
    TestCert root, intermediate, issuing, leaf;
};

TEST_F(SystemRepositoryTest, AddCertificateRoutesEachRoleToItsStore) {
    const TestCert oldStyleRoot = CertBuilder(Name::cn("Raiz Antiga")).selfSigned();
    const TestCert notCaSelfSigned = CertBuilder(Name::cn("Servidor")).notCa().selfSigned();
    struct Case {
        const char* what;
        const TestCert* cert;
        const char* store;
    };
    const std::vector<Case> cases{
        {"root", &root, "ROOT"},
        {"intermediate authority", &intermediate, "CA"},
        {"last-level authority", &issuing, "CA"},
        {"end entity", &leaf, "AddressBook"},
        {"self-issued without basicConstraints", &oldStyleRoot, "ROOT"},
        {"self-signed marked not a CA", &notCaSelfSigned, "AddressBook"},
    };
    SystemRepository repository;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Certificate certificate(c.cert->x509());
        EXPECT_EQ(SystemRepository::storeNameFor(certificate), c.store);
        EXPECT_TRUE(repository.addCertificate(certificate));
        EXPECT_EQ(test::storesHolding(*c.cert), std::vector<std::string>{c.store});
    }
}

TEST_F(SystemRepositoryTest, AddingAgainReturnsFalseAndAsksNothing) {
    SystemRepository repository;
    EXPECT_TRUE(repository.addCertificate(Certificate(root.x509())));
    EXPECT_FALSE(repository.addCertificate(Certificate(root.x509())));
    EXPECT_TRUE(repository.addCertificate(Certificate(leaf.x509())));
    EXPECT_FALSE(repository.addCertificate(Certificate(leaf.x509())));
    EXPECT_EQ(rootAnswer.calls(), 1);
    EXPECT_EQ(test::storeSize("ROOT"), 1);
    EXPECT_EQ(test::storeSize("AddressBook"), 1);
}

TEST_F(SystemRepositoryTest, AddNewerKeepsTheLatestIssueOfACertificate) {
    // Same issuer and serial number: one certificate re-issued with another validity start.
    auto issue = [&](const char* notBefore) {
        return CertBuilder(Name::cn("Fulano de Tal"))
            .serial(42)
            .notBefore(notBefore)
            .notAfter("20401231000000Z")
            .signedBy(issuing);
    };
    const TestCert middle = issue("20240101000000Z");
    const TestCert older = issue("20230101000000Z");
    const TestCert newer = issue("20250101000000Z");

    SystemRepository repository;
    EXPECT_TRUE(repository.addCertificate(Certificate(middle.x509())));
    EXPECT_FALSE(repository.addCertificate(Certificate(older.x509())));
    EXPECT_EQ(test::storesHolding(middle), std::vector<std::string>{"AddressBook"});
    EXPECT_TRUE(repository.addCertificate(Certificate(newer.x509())));
    EXPECT_EQ(test::storesHolding(newer), std::vector<std::string>{"AddressBook"});
    EXPECT_TRUE(test::storesHolding(middle).empty());
    EXPECT_EQ(test::storeSize("AddressBook"), 1);
}

TEST_F(SystemRepositoryTest, RefusedRootConfirmationIsAnAdditionError) {
    for (bool registered : {true, false}) {
        SCOPED_TRACE(registered ? "handler refuses" : "no handler");
        std::optional<test::RootAddAnswer> refuse;
        platform::RootAddHandler saved;
        if (registered) {
            refuse.emplace(false);
        } else {
            saved = platform::setRootAddHandler({});
        }
        SystemRepository repository;
        try {
            repository.addCertificate(Certificate(root.x509()));
            ADD_FAILURE() << "a refused root must not count as added or present";
        } catch (const CertificateAdditionException& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Error at adding certificate: The operation was canceled by the user. "
                      "(CertAddEncodedCertificateToStore)");
        }
        if (!registered)
            platform::setRootAddHandler(saved);
        EXPECT_TRUE(test::storesHolding(root).empty());
    }
}

TEST_F(SystemRepositoryTest, FindCertificateSearchesEveryStoreAndAcceptsAnyCase) {
    test::putInStore("ROOT", root);
    test::putInStore("MY", leaf);
    SystemRepository repository;
    struct Case {
        const char* what;
        std::string text;
        const TestCert* expected;
    };
    const std::vector<Case> cases{
        {"only in ROOT, last store searched", root.sha1Text(), &root},
        {"in MY, first store searched", leaf.sha1Text(), &leaf},
        {"upper case", upper(root.sha1Text()), &root},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(repository.findCertificate(c.text).getFingerprint(), c.expected->sha1Text());
        EXPECT_EQ(repository.impl().foundSlot().fingerprint, c.text);
    }

    const std::string absent = intermediate.sha1Text();
    try {
        repository.findCertificate(absent);
        FAIL() << "the intermediate is in no store";
    } catch (const CertificateNotFoundException& error) {
        EXPECT_EQ(std::string(error.what()), "Certificate not found: Fingerprint: " + absent);
    }
    // A miss leaves the last certificate found in the cache.
    EXPECT_EQ(repository.impl().foundSlot().fingerprint, upper(root.sha1Text()));
}

TEST_F(SystemRepositoryTest, CopiesAndClonesShareTheCache) {
    test::putInStore("CA", intermediate);
    SystemRepository repository;
    repository.findCertificate(intermediate.sha1Text());
    const std::unique_ptr<Repository> clone(repository.clone());
    auto* systemClone = dynamic_cast<SystemRepository*>(clone.get());
    ASSERT_NE(systemClone, nullptr);
    EXPECT_EQ(&systemClone->impl(), &repository.impl());
    EXPECT_EQ(systemClone->impl().foundSlot().fingerprint, intermediate.sha1Text());
}

TEST_F(SystemRepositoryTest, AVisitorFindsTheVisitedCertificateThroughTheVisitSlot) {
    test::putInStore("CA", intermediate);
    test::putInStore("CA", issuing);
    SystemRepository repository;
    std::vector<std::string> found;
    repository.visitCertificates(AnyCa, [&](const Certificate& visited) {
        // A search of its own inside the visit leaves the visited certificate in the slot.
        repository.forEachCertificate(RootCa, [](const Certificate&) {});
        EXPECT_EQ(repository.impl().visitSlot().fingerprint, visited.getFingerprint());
        found.push_back(repository.findCertificate(visited.getFingerprint()).getFingerprint());
        return Repository::Continue;
    });
    EXPECT_EQ(found, fingerprintsOf({&intermediate, &issuing}));
    // Served from the visit slot: nothing replaced the found slot.
    EXPECT_TRUE(repository.impl().foundSlot().fingerprint.empty());
    EXPECT_TRUE(repository.impl().visitSlot().fingerprint.empty());

    EXPECT_THROW(repository.visitCertificates(AnyCa,
                                              [](const Certificate&) -> Repository::Then {
                                                  throw std::runtime_error("stop here");
                                              }),
                 std::runtime_error);
    EXPECT_TRUE(repository.impl().visitSlot().fingerprint.empty());
    EXPECT_FALSE(repository.impl().visitSlot().context);
}

TEST_F(SystemRepositoryTest, VisitCertificatesOpensTheStoresOfTheKindsAndFilters) {
    const TestCert oldStyleRoot = CertBuilder(Name::cn("Raiz Antiga")).selfSigned();
    const TestCert mine = CertBuilder(Name::cn("Eu Mesmo")).signedBy(issuing);
    test::putInStore("MY", mine);
    test::putInStore("AddressBook", leaf);
    test::putInStore("CA", intermediate);
    test::putInStore("CA", issuing);
    test::putInStore("CA", root);  // a root kept in both "CA" and "ROOT" is visited once
    test::putInStore("ROOT", root);
    test::putInStore("ROOT", oldStyleRoot);
    // An end entity misfiled in "CA" is seen only by kinds that accept end entities.
    const TestCert misfiled = CertBuilder(Name::cn("Perdido")).serial(3).signedBy(issuing);
    test::putInStore("CA", misfiled);

    struct Case {
        const char* what;
        int kinds;
        std::vector<const TestCert*> expected;
    };
    const std::vector<Case> cases{
        {"Personal", Personal, {&mine}},
        {"OtherPeople", OtherPeople, {&leaf}},
        {"IssuingCa", IssuingCa, {&issuing}},
        {"IntermediateCa", IntermediateCa, {&intermediate}},
        {"RootCa", RootCa, {&root, &oldStyleRoot}},
        {"AnyCa", AnyCa, {&intermediate, &issuing, &root, &oldStyleRoot}},
        {"0x80 opens CA but accepts nothing", 0x80, {}},
        {"unnamed end-entity bit opens no store", 0x04, {}},
        {"Personal with 0x80", Personal | 0x80, {&mine, &misfiled}},
        {"AnyKind",
         AnyKind,
         {&mine, &leaf, &intermediate, &issuing, &root, &misfiled, &oldStyleRoot}},
    };
    SystemRepository repository;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> visited;
        repository.forEachCertificate(
            c.kinds, [&](const Certificate& cert) { visited.push_back(cert.getFingerprint()); });
        EXPECT_EQ(visited, fingerprintsOf(c.expected));
    }

    int seen = 0;
    repository.visitCertificates(AnyKind, [&](const Certificate&) {
        ++seen;
        return Repository::Stop;
    });
    EXPECT_EQ(seen, 1);
}

TEST_F(SystemRepositoryTest, BuildChainMapsThePlatformStatus) {
    const TestCert expiredLeaf =
        CertBuilder(Name::cn("Vencido")).serial(11).expired().signedBy(issuing);
    const TestCert orphan = CertBuilder(Name::cn("Orfao"))
                                .serial(12)
                                .signedWith(test::testKey(9), Name::cn("AC Desconhecida"));
    const TestCert expiredOrphan = CertBuilder(Name::cn("Orfao Vencido"))
                                       .serial(13)
                                       .expired()
                                       .signedWith(test::testKey(9), Name::cn("AC Desconhecida"));
    const TestCert untrustedRoot =
        CertBuilder(Name::cn("Raiz Nao Confiavel")).ca().key(test::testKey(10)).selfSigned();
    const TestCert underUntrusted =
        CertBuilder(Name::cn("Sob Raiz Nao Confiavel")).serial(14).signedBy(untrustedRoot);

    SystemRepository repository;
    for (const TestCert* cert :
         std::vector<const TestCert*>{&root, &intermediate, &issuing, &leaf, &expiredLeaf, &orphan,
                                      &expiredOrphan, &underUntrusted}) {
        repository.addCertificate(Certificate(cert->x509()));
    }
    test::putInStore("CA", untrustedRoot);

    struct Case {
        const char* what;
        const TestCert* cert;
        ChainStatus status;
        std::vector<const TestCert*> elements;
    };
    const std::vector<Case> cases{
        {"sound chain", &leaf, ChainStatus::Valid, {&leaf, &issuing, &intermediate, &root}},
        {"a root alone", &root, ChainStatus::Valid, {&root}},
        {"expired end entity",
         &expiredLeaf,
         ChainStatus::Expired,
         {&expiredLeaf, &issuing, &intermediate, &root}},
        {"issuer missing", &orphan, ChainStatus::IncompleteChain, {&orphan}},
        {"expired and issuer missing", &expiredOrphan, ChainStatus::Unverified, {&expiredOrphan}},
        {"root not trusted",
         &underUntrusted,
         ChainStatus::Unverified,
         {&underUntrusted, &untrustedRoot}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CertificateChain chain = repository.buildChain(Certificate(c.cert->x509()));
        EXPECT_EQ(chain.status, c.status);
        EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf(c.elements));
    }

    const TestCert stranger = CertBuilder(Name::cn("Estranho")).serial(15).signedBy(issuing);
    EXPECT_THROW(repository.buildChain(Certificate(stranger.x509())), CertificateNotFoundException);
}

TEST_F(SystemRepositoryTest, RealIcpBrasilChainsInstallAndVerify) {
    struct Case {
        std::vector<std::string> files;  // lowest first
        std::vector<std::string> stores;
    };
    const std::vector<Case> cases{
        {{"AC-PRODESP-RFB-v1.crt", "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt",
          "ICP-Brasilv5.crt"},
         {"CA", "CA", "ROOT"}},
        {{"AC-SERPRO-SSLv1-v10.crt", "ICP-Brasilv10.crt"}, {"CA", "ROOT"}},
    };
    SystemRepository repository;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files.front());
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            const Certificate certificate = fixtureCertificate(c.files[i]);
            expected.push_back(certificate.getFingerprint());
            EXPECT_TRUE(repository.addCertificate(certificate));
            EXPECT_EQ(test::storesHolding(certificate.getEncoded()),
                      std::vector<std::string>{c.stores[i]});
        }
        const Certificate lowest = repository.findCertificate(expected.front());
        const CertificateChain chain = repository.buildChain(lowest);
        EXPECT_EQ(chain.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(chain), expected);
        // The shared walk over the same stores reaches the same root.
        const CertificateChain shared = repository.Repository::buildChain(lowest);
        EXPECT_EQ(shared.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(shared), expected);
    }
}

TEST_F(SystemRepositoryTest, RootsWithKeysOpenSslCannotFullyDecodeAreManagedLikeAnyOther) {
    SystemRepository repository;
    for (const char* file : {"ICP-Brasilv4.crt", "ICP-Brasilv6.crt", "ICP-Brasilv7.crt"}) {
        SCOPED_TRACE(file);
        const Certificate certificate = fixtureCertificate(file);
        const std::string fingerprint = certificate.getFingerprint();
        ASSERT_EQ(fingerprint.size(), 59u);
        EXPECT_TRUE(repository.addCertificate(certificate));
        EXPECT_EQ(test::storesHolding(certificate.getEncoded()), std::vector<std::string>{"ROOT"});
        EXPECT_EQ(repository.findCertificate(fingerprint).getFingerprint(), fingerprint);

        bool listed = false;
        repository.visitStore("ROOT", [&](const Certificate& c) {
            listed = listed || c.getFingerprint() == fingerprint;
            return Repository::Continue;
        });
        EXPECT_TRUE(listed);
        // A root the user holds in "ROOT" is trusted as an anchor whatever its key: the chain is
        // the root alone, sound.
        const CertificateChain chain = repository.buildChain(certificate);
        EXPECT_EQ(chain.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(chain), std::vector<std::string>{fingerprint});

        EXPECT_EQ(repository.removeCertificate(fingerprint), std::vector<std::string>{"ROOT"});
        EXPECT_THROW(repository.findCertificate(fingerprint), CertificateNotFoundException);
    }
}

TEST_F(SystemRepositoryTest, RemoveCertificateClearsEveryStoreAndTheCache) {
    test::putInStore("CA", root);
    test::putInStore("ROOT", root);
    test::putInStore("CA", intermediate);
    SystemRepository repository;
    EXPECT_EQ(repository.findCertificate(root.sha1Text()).getFingerprint(), root.sha1Text());

    EXPECT_EQ(repository.removeCertificate(upper(root.sha1Text())),
              (std::vector<std::string>{"CA", "ROOT"}));
    EXPECT_TRUE(test::storesHolding(root).empty());
    EXPECT_EQ(test::storesHolding(intermediate), std::vector<std::string>{"CA"});
    EXPECT_THROW(repository.findCertificate(root.sha1Text()), CertificateNotFoundException);
    EXPECT_TRUE(repository.removeCertificate(root.sha1Text()).empty());
}

TEST_F(SystemRepositoryTest, GenerateKeyPairIsNotOfferedByTheStores) {
    SystemRepository repository;
    try {
        repository.generateKeyPair(L"alias", 1024);
        FAIL() << "the stores make no key pairs";
    } catch (const BaseException&) {
        FAIL() << "must not be a library category error";
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(),
                     "(WINDOWS - SystemRepository::rawSignDigest) unsupported for the rest of "
                     "our lives");
    }
}

TEST_F(SystemRepositoryTest, ADamagedStoreDatabaseIsReportedByEveryOperation) {
    std::filesystem::create_directories(home.storePath().parent_path());
    test::writeFile(home.storePath(), std::string(4096, 'x'));
    const std::string layerText =
        "The certificate store database is damaged or is not a certificate store. "
        "(CertOpenSystemStore)";
    SystemRepository repository;
    const Certificate certificate(leaf.x509());

    auto expectMessage = [&](auto operation, const std::string& phrase) {
        try {
            operation();
            ADD_FAILURE() << "a damaged database must not pass unnoticed";
        } catch (const BaseException& error) {
            EXPECT_EQ(std::string(error.what()), phrase + layerText);
        }
    };
    const std::string searching = "Error while searching certificates at repository: ";
    expectMessage([&] { repository.findCertificate(leaf.sha1Text()); }, searching);
    expectMessage([&] { repository.buildChain(certificate); }, searching);
    expectMessage([&] { repository.forEachCertificate(AnyKind, [](const Certificate&) {}); },
                  searching);
    expectMessage([&] { repository.findIssuer(certificate); }, searching);
    expectMessage([&] { repository.removeCertificate(leaf.sha1Text()); }, searching);
    expectMessage([&] { repository.addCertificate(certificate); }, "Error at adding certificate: ");
    // The damaged file is left as it was.
    EXPECT_EQ(test::readFile(home.storePath()), std::string(4096, 'x'));
}

TEST_F(SystemRepositoryTest, ALockedStoreDatabaseFailsAnAddWithTheLayerText) {
    SystemRepository repository;
    repository.addCertificate(Certificate(intermediate.x509()));
    const test::StoreDatabaseLock lock(home.storePath());
    try {
        SystemRepository(repository).addCertificate(Certificate(leaf.x509()));
        FAIL() << "a locked database must not pass for an added certificate";
    } catch (const CertificateAdditionException& error) {
        EXPECT_NE(std::string(error.what()).find("locked by another program"), std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace quor::signer
