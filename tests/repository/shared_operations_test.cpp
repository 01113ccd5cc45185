// The repository operations every repository shares (searches by predicate, by fingerprint, by
// issuer and serial, the issuer search and the chain walk), run over the user's real stores.
// Where the system repository replaces a shared operation, the shared form is called through
// its qualified name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
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

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string colonSeparated(std::string text) {
    for (char& c : text) {
        if (c == ' ')
            c = ':';
    }
    return text;
}

class SharedOperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root =
            CertBuilder(Name::cn("Raiz Teste")).ca().serial(100).key(test::testKey(1)).selfSigned();
        intermediate = CertBuilder(Name::cn("AC Intermediaria"))
                           .ca()
                           .serial(200)
                           .key(test::testKey(2))
                           .signedBy(root);
        leaf = CertBuilder(Name::cn("Fulano de Tal"))
                   .serial(400)
                   .key(test::testKey(3))
                   .signedBy(intermediate);
    }

    test::ScopedDataHome home;
    test::RootAddAnswer rootAnswer{true};
    TestCert root, intermediate, leaf;
    SystemRepository repository;
};

TEST_F(SharedOperationsTest, ForEachCertificateVisitsAllWhileAStoppingVisitorSeesOne) {
    test::putInStore("AddressBook", leaf);
    test::putInStore("CA", intermediate);
    test::putInStore("ROOT", root);

    int all = 0;
    repository.forEachCertificate(AnyKind, [&](const Certificate&) { ++all; });
    EXPECT_EQ(all, 3);

    int stopped = 0;
    repository.visitCertificates(AnyKind, [&](const Certificate&) {
        ++stopped;
        return Repository::Stop;
    });
    EXPECT_EQ(stopped, 1);
}

TEST_F(SharedOperationsTest, FindFirstReturnsTheFirstAcceptedAndLooksNoFurther) {
    test::putInStore("AddressBook", leaf);
    const TestCert other = CertBuilder(Name::cn("Beltrano")).serial(7).signedBy(intermediate);
    test::putInStore("AddressBook", other);

    int asked = 0;
    const Certificate found = repository.findFirst([&](const Certificate& c) {
        ++asked;
        return !c.isCertificateAuthority();
    });
    EXPECT_EQ(found.getFingerprint(), leaf.sha1Text());
    EXPECT_EQ(asked, 1);

    try {
        repository.findFirst([](const Certificate&) { return false; });
        FAIL() << "nothing should be found";
    } catch (const CertificateNotFoundException& error) {
        EXPECT_STREQ(error.what(), "Certificate not found: ");
    }
}

TEST_F(SharedOperationsTest, SharedFindCertificateComparesTheFingerprintTextExactly) {
    test::putInStore("CA", intermediate);
    const std::string fingerprint = intermediate.sha1Text();

    EXPECT_EQ(repository.Repository::findCertificate(fingerprint).getFingerprint(), fingerprint);
    for (const std::string& variant : {upper(fingerprint), colonSeparated(fingerprint)}) {
        SCOPED_TRACE(variant);
        try {
            repository.Repository::findCertificate(variant);
            FAIL() << "the shared search must not accept another spelling";
        } catch (const CertificateNotFoundException& error) {
            EXPECT_EQ(std::string(error.what()), "Certificate not found: Fingerprint: " + variant);
        }
    }
}

TEST_F(SharedOperationsTest, FindByIssuerAndSerialMatchesBothAndNamesThemWhenMissing) {
    const TestCert first = CertBuilder(Name::cn("Primeiro")).serial(5).signedBy(intermediate);
    const TestCert sameSerialOtherIssuer =
        CertBuilder(Name::cn("Segundo")).serial(5).signedBy(root);
    test::putInStore("AddressBook", sameSerialOtherIssuer);
    test::putInStore("AddressBook", first);

    const Certificate wanted(first.x509());
    const Certificate found =
        repository.findByIssuerAndSerial(wanted.getIssuer(), wanted.getSerialNumber());
    EXPECT_EQ(found.getFingerprint(), first.sha1Text());

    try {
        repository.findByIssuerAndSerial(wanted.getIssuer(), "06");
        FAIL() << "no certificate has serial 06";
    } catch (const CertificateNotFoundException& error) {
        EXPECT_STREQ(error.what(),
                     "Certificate not found: Issuer: /CN=AC Intermediaria, Serial Number: 06");
    }
}

TEST_F(SharedOperationsTest, FindIssuerOfARootFailsWithoutLookingAtTheStores) {
    // A store that cannot even be opened shows that nothing is enumerated for a root.
    std::filesystem::create_directories(home.storePath().parent_path());
    test::writeFile(home.storePath(), "this is not a certificate store");
    try {
        repository.findIssuer(Certificate(root.x509()));
        FAIL() << "a root has no issuer to find";
    } catch (const CertificateNotFoundException& error) {
        EXPECT_STREQ(error.what(), "Certificate not found: This Certificate is self-signed");
    }
}

TEST_F(SharedOperationsTest, FindIssuerSkipsANameTwinWhoseKeyDoesNotVerify) {
    // Same subject name as the real intermediate, another key: stored first so it is met first.
    const TestCert impostor = CertBuilder(Name::cn("AC Intermediaria"))
                                  .ca()
                                  .key(test::testKey(4))
                                  .serial(9)
                                  .signedBy(root);
    test::putInStore("CA", impostor);

    try {
        repository.findIssuer(Certificate(leaf.x509()));
        FAIL() << "the impostor must not pass for the issuer";
    } catch (const CertificateNotFoundException& error) {
        EXPECT_STREQ(error.what(), "Certificate not found: Issuer not found");
    }

    test::putInStore("CA", intermediate);
    EXPECT_EQ(repository.findIssuer(Certificate(leaf.x509())).getFingerprint(),
              intermediate.sha1Text());
}

TEST_F(SharedOperationsTest, FindIssuerVerifiesWithAnAuthorityKeyThatIsNotRsa) {
    const TestCert ecRoot =
        CertBuilder(Name::cn("Raiz Curva")).ca().key(test::Key::ec()).selfSigned();
    const TestCert ecChild = CertBuilder(Name::cn("AC Filha")).ca().signedBy(ecRoot);
    test::putInStore("ROOT", ecRoot);

    EXPECT_EQ(repository.findIssuer(Certificate(ecChild.x509())).getFingerprint(),
              ecRoot.sha1Text());
}

TEST_F(SharedOperationsTest, SharedBuildChainWalksUpToTheRootOrAsFarAsIssuersGo) {
    struct Case {
        const char* what;
        bool withRoot;
        ChainStatus status;
        std::vector<const TestCert*> expected;
    };
    const std::vector<Case> cases{
        {"root missing", false, ChainStatus::IncompleteChain, {&leaf, &intermediate}},
        {"root present", true, ChainStatus::Valid, {&leaf, &intermediate, &root}},
    };
    test::putInStore("CA", intermediate);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.withRoot)
            test::putInStore("ROOT", root);
        const CertificateChain chain = repository.Repository::buildChain(Certificate(leaf.x509()));
        EXPECT_EQ(chain.status, c.status);
        std::vector<std::string> expected;
        for (const TestCert* cert : c.expected)
            expected.push_back(cert->sha1Text());
        EXPECT_EQ(fingerprintsOf(chain), expected);
    }
}

TEST_F(SharedOperationsTest, SharedBuildChainEndsACycleOfAuthoritiesAsIncomplete) {
    // Two authorities that certify each other and no root: the walk must end.
    const test::Key keyA = test::testKey(5);
    const test::Key keyB = test::testKey(6);
    const TestCert a =
        CertBuilder(Name::cn("Ciclo A")).ca().key(keyA).signedWith(keyB, Name::cn("Ciclo B"));
    const TestCert b =
        CertBuilder(Name::cn("Ciclo B")).ca().key(keyB).signedWith(keyA, Name::cn("Ciclo A"));
    test::putInStore("CA", a);
    test::putInStore("CA", b);

    const CertificateChain chain = repository.Repository::buildChain(Certificate(leaf.x509()));
    EXPECT_EQ(chain.status, ChainStatus::IncompleteChain);
    EXPECT_EQ(chain.certificates.size(), 1u);

    const CertificateChain cycle = repository.Repository::buildChain(Certificate(a.x509()));
    EXPECT_EQ(cycle.status, ChainStatus::IncompleteChain);
    EXPECT_EQ(fingerprintsOf(cycle), (std::vector<std::string>{a.sha1Text(), b.sha1Text()}));
}

TEST_F(SharedOperationsTest, VisitorExceptionsPassThroughUnchanged) {
    test::putInStore("CA", intermediate);
    // Even a store-layer exception type thrown by the caller's own visitor is not converted.
    EXPECT_THROW(repository.visitCertificates(AnyKind,
                                              [](const Certificate&) -> Repository::Then {
                                                  throw CapiException(L"visitor failure",
                                                                      "Visitor");
                                              }),
                 CapiException);
    EXPECT_THROW(repository.findFirst([](const Certificate&) -> bool {
        throw std::logic_error("predicate failure");
    }),
                 std::logic_error);
}

}  // namespace
}  // namespace quor::signer
