// Chain detection against the real store database in a temporary XDG_DATA_HOME: which names are
// read and how, the verdict on the reference certificate, and what leaves detect when a file
// cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "detection/certificate_chain_reader.h"
#include "detection/detection.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
#include "tests/repository/store_helpers.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::detection {
namespace {

using signer::Certificate;
using signer::ChainStatus;
using test::CertBuilder;
using test::Name;
using test::TestCert;

// What one detect call handed to its callback.
struct Detected {
    int calls = 0;
    std::optional<ChainOrCertificate> item;
    std::int32_t code = -1;
};

Detected runDetect(const std::string& content, const std::wstring& name,
                   std::istringstream* streamOut = nullptr) {
    Detected detected;
    std::istringstream local(content);
    std::istringstream& stream = streamOut != nullptr ? *streamOut : local;
    if (streamOut != nullptr)
        stream.str(content);
    detect(
        stream,
        [&](ChainOrCertificate& item, CertValidation& validation) {
            ++detected.calls;
            detected.item = item;
            detected.code = validation.code;
        },
        name);
    return detected;
}

std::vector<std::string> fingerprintsOf(const signer::CertificateChain& chain) {
    std::vector<std::string> result;
    for (const Certificate& c : chain.certificates)
        result.push_back(c.getFingerprint());
    return result;
}

class DetectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = CertBuilder(Name::cn("Raiz Deteccao"))
                   .ca()
                   .serial(10)
                   .key(test::testKey(1))
                   .selfSigned();
        intermediate = CertBuilder(Name::cn("AC Deteccao"))
                           .ca()
                           .serial(20)
                           .key(test::testKey(2))
                           .signedBy(root);
        leaf = CertBuilder(Name::cn("Titular Deteccao")).serial(30).signedBy(intermediate);
    }

    void install(const std::vector<const TestCert*>& certs) {
        signer::SystemRepository repository;
        for (const TestCert* cert : certs)
            repository.addCertificate(Certificate(cert->x509()));
    }

    test::ScopedDataHome home;
    test::RootAddAnswer rootAnswer{true};
    TestCert root, intermediate, leaf;
};

TEST_F(DetectionTest, TheNameAloneChoosesTheReading) {
    const std::string bundle = test::pkcs7Der({root, leaf, intermediate});
    const std::string pem = leaf.pem();
    struct Case {
        std::wstring name;
        const std::string* content;
        bool chain;
        bool certificate;
    };
    const std::vector<Case> cases{
        {L"a.p7b", &bundle, true, false},
        {L"a.crt", &pem, false, true},
        {L"a.P7B", &bundle, false, false},
        {L"a.cer", &pem, false, false},
        {L"a.p7b.old", &bundle, false, false},
        {L"", &bundle, false, false},
        // Content that would be read fine is still ignored under another name, and the reading
        // follows the name even when the content is of the other kind.
        {L"cadeia.crt.p7b", &bundle, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        std::istringstream stream;
        const Detected detected = runDetect(*c.content, c.name, &stream);
        const bool recognised = c.chain || c.certificate;
        EXPECT_EQ(detected.calls, recognised ? 1 : 0);
        if (!recognised) {
            // An ignored file is not read at all.
            EXPECT_EQ(stream.tellg(), 0);
            continue;
        }
        ASSERT_TRUE(detected.item.has_value());
        EXPECT_EQ(detected.item->chain != nullptr, c.chain);
        EXPECT_EQ(detected.item->certificate != nullptr, c.certificate);
        EXPECT_EQ(detected.item->name, c.name);
        EXPECT_EQ(detected.code, CertValidation::NotFound);
    }
}

TEST_F(DetectionTest, ACertificateFileIsReadAsPemDerOrBase64) {
    for (const auto& [what, content] :
         std::vector<std::pair<const char*, std::string>>{{"PEM", "texto antes\n" + leaf.pem()},
                                                          {"DER", leaf.der()},
                                                          {"Base64", leaf.base64()}}) {
        SCOPED_TRACE(what);
        const Detected detected = runDetect(content, L"titular.crt");
        ASSERT_EQ(detected.calls, 1);
        ASSERT_TRUE(detected.item->certificate);
        EXPECT_EQ(detected.item->certificate->getFingerprint(), leaf.sha1Text());
        EXPECT_FALSE(detected.item->chain);
    }
}

TEST_F(DetectionTest, TheChainHandedOnIsTheOrderedBundle) {
    const std::string bundle = test::pkcs7Der({root, leaf, intermediate});
    const Detected detected = runDetect(bundle, L"cadeia.p7b");
    ASSERT_EQ(detected.calls, 1);
    ASSERT_TRUE(detected.item->chain);
    EXPECT_EQ(detected.item->chain->status, ChainStatus::Valid);
    EXPECT_EQ(
        fingerprintsOf(*detected.item->chain),
        (std::vector<std::string>{leaf.sha1Text(), intermediate.sha1Text(), root.sha1Text()}));
}

TEST_F(DetectionTest, TheVerdictFollowsTheStoresAndTheSystemChain) {
    const TestCert expiredLeaf =
        CertBuilder(Name::cn("Titular Vencido")).serial(31).expired().signedBy(intermediate);
    const TestCert untrustedRoot =
        CertBuilder(Name::cn("Raiz Estranha")).ca().serial(40).key(test::testKey(7)).selfSigned();
    const TestCert underUntrusted =
        CertBuilder(Name::cn("Titular Estranho")).serial(41).signedBy(untrustedRoot);

    struct Case {
        const char* what;
        std::vector<const TestCert*> installed;
        const TestCert* reference;
        std::int32_t code;
    };
    const std::vector<Case> cases{
        {"nothing stored", {}, &leaf, CertValidation::NotFound},
        {"whole chain stored", {&root, &intermediate, &leaf}, &leaf, CertValidation::Installed},
        {"expired but chain sound",
         {&root, &intermediate, &expiredLeaf},
         &expiredLeaf,
         CertValidation::Installed},
        {"issuer missing", {&root, &leaf}, &leaf, CertValidation::PartialChain},
        {"root not trusted", {&underUntrusted}, &underUntrusted, CertValidation::ChainError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScopedDataHome fresh;
        install(c.installed);
        if (c.reference == &underUntrusted)
            test::putInStore("CA", untrustedRoot);
        const Detected detected = runDetect(c.reference->pem(), L"certificado.crt");
        ASSERT_EQ(detected.calls, 1);
        EXPECT_EQ(detected.code, c.code);

        signer::SystemRepository repository;
        EXPECT_EQ(validateInstallation(Certificate(c.reference->x509()), repository).code, c.code);
    }
}

TEST_F(DetectionTest, OnlyTheLowestCertificateOfABundleIsLookedUp) {
    // A bundle without end entity: the intermediate is the reference; the root is judged only
    // through the system's chain of the intermediate.
    const std::string bundle = test::pkcs7Der({root, intermediate});
    struct Case {
        const char* what;
        std::vector<const TestCert*> installed;
        std::int32_t code;
    };
    const std::vector<Case> cases{
        {"only the root stored", {&root}, CertValidation::NotFound},
        {"both stored", {&root, &intermediate}, CertValidation::Installed},
        {"intermediate without its root", {&intermediate}, CertValidation::PartialChain},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScopedDataHome fresh;
        install(c.installed);
        const Detected detected = runDetect(bundle, L"cadeia.p7b");
        ASSERT_EQ(detected.calls, 1);
        EXPECT_EQ(detected.code, c.code);
        EXPECT_EQ(detected.item->chain->certificates.front().getFingerprint(),
                  intermediate.sha1Text());
    }
}

TEST_F(DetectionTest, ABundleIsInstalledOnlyWhenTheStoresHoldEachOfItsCertificates) {
    // Without its intermediate, the bundle [leaf, root] is ordered root first, so the root is
    // the reference; a trusted root alone must not make the leaf count as installed.
    const std::string bundle = test::pkcs7Der({leaf, root});
    struct Case {
        const char* what;
        std::vector<const TestCert*> installed;
        std::int32_t code;
    };
    const std::vector<Case> cases{
        {"only the root stored", {&root}, CertValidation::NotFound},
        {"root and intermediate stored, the leaf not",
         {&root, &intermediate},
         CertValidation::NotFound},
        {"root and leaf stored", {&root, &leaf}, CertValidation::Installed},
        {"all three stored", {&root, &intermediate, &leaf}, CertValidation::Installed},
        {"only the leaf stored", {&leaf}, CertValidation::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScopedDataHome fresh;
        install(c.installed);
        const Detected detected = runDetect(bundle, L"final.p7b");
        ASSERT_EQ(detected.calls, 1);
        EXPECT_EQ(detected.code, c.code);
        // The file's content is handed on whole, in the order read.
        EXPECT_EQ(fingerprintsOf(*detected.item->chain),
                  (std::vector<std::string>{root.sha1Text(), leaf.sha1Text()}));
    }
}

TEST_F(DetectionTest, ABundleWithoutCertificatesIsAnErrorNamingTheFile) {
    const std::vector<std::pair<const char*, std::string>> cases{
        {"error page", "<html><body><h1>404 Not Found</h1></body></html>"},
        {"PEM armour", test::pkcs7Pem({root, intermediate})},
        {"no certificates", test::pkcs7Der(std::vector<X509*>{})},
        {"empty file", ""},
        {"cut short", test::pkcs7Der({root, intermediate}).substr(0, 200)},
    };
    for (const auto& [what, content] : cases) {
        SCOPED_TRACE(what);
        int calls = 0;
        std::istringstream stream(content);
        try {
            detect(
                stream, [&](ChainOrCertificate&, CertValidation&) { ++calls; },
                L"ACRaizQuorsa.p7b");
            ADD_FAILURE() << "a file without certificates must not pass";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("ACRaizQuorsa.p7b"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(calls, 0);
    }
}

TEST_F(DetectionTest, FailuresBeforeTheCallbackLeaveDetectAndTheCallbacksOwnPassThrough) {
    struct Marker {};
    int calls = 0;
    const DetectionCallback counting = [&](ChainOrCertificate&, CertValidation&) { ++calls; };

    std::istringstream notACertificate("QUJDRA==");  // Base64 of "ABCD": no certificate
    EXPECT_THROW(detect(notACertificate, counting, L"ruim.crt"), std::invalid_argument);

    std::istringstream good(leaf.pem());
    EXPECT_THROW(
        detect(
            good, [](ChainOrCertificate&, CertValidation&) { throw Marker{}; }, L"bom.crt"),
        Marker);

    // A store that cannot be read is not taken for "not installed".
    std::filesystem::create_directories(home.storePath().parent_path());
    test::writeFile(home.storePath(), std::string(4096, '\x01'));
    std::istringstream stored(leaf.pem());
    EXPECT_THROW(detect(stored, counting, L"bom.crt"), signer::CertificateSearchingException);
    EXPECT_EQ(calls, 0);
}

TEST_F(DetectionTest, RealIcpBrasilChainIsInstalledAfterItsCertificatesAreAdded) {
    std::vector<Certificate> chain;
    for (const char* file : {"ICP-Brasilv5.crt", "AC-PRODESP-RFB-v1.crt",
                             "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt"}) {
        chain.emplace_back(test::readFile(test::fixture(std::string("icp-brasil/") + file)));
    }
    std::vector<X509*> raw;
    for (const Certificate& c : chain)
        raw.push_back(c.nativeHandle());
    const std::string bundle = test::pkcs7Der(raw);

    Detected before = runDetect(bundle, L"ACPRODESPRFB.p7b");
    ASSERT_EQ(before.calls, 1);
    EXPECT_EQ(before.code, CertValidation::NotFound);
    EXPECT_EQ(before.item->chain->certificates.front().getFingerprint(), chain[1].getFingerprint());

    signer::SystemRepository repository;
    for (const Certificate& c : before.item->chain->certificates)
        repository.addCertificate(c);
    EXPECT_EQ(runDetect(bundle, L"ACPRODESPRFB.p7b").code, CertValidation::Installed);
}

}  // namespace
}  // namespace quor::detection
