// Whole install runs: a loopback download folder, the real store in a temporary data home, and
// the exact texts and progress values the user would see.
#include "installer/install_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detection/detection.h"
#include "platform/cert_store.h"
#include "signer/model/certificate.h"
#include "signer/repository/system_repository.h"
#include "tests/installer/installer_test_support.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::installer {
namespace {

using namespace quor::installer::test;
using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::TestCert;

// A small hierarchy: a root, an intermediate under it (shipped as a bundle with its root), and
// a second intermediate shipped alone; and an authority whose issuer, a third intermediate, is
// shipped nowhere. Serials differ: issuer and serial identify a certificate.
struct Pki {
    TestCert root = CertBuilder(Name::cn("Raiz de Teste")).ca().keyIdentifiers().selfSigned();
    TestCert intermediate = CertBuilder(Name::cn("AC Intermediaria"))
                                .key(quor::test::testKey(1))
                                .serial(2)
                                .ca(0)
                                .keyIdentifiers()
                                .signedBy(root);
    TestCert single = CertBuilder(Name::cn("AC Avulsa"))
                          .key(quor::test::testKey(2))
                          .serial(3)
                          .ca(0)
                          .keyIdentifiers()
                          .signedBy(root);
    TestCert unshipped = CertBuilder(Name::cn("AC Ausente"))
                             .key(quor::test::testKey(3))
                             .serial(4)
                             .ca(1)
                             .keyIdentifiers()
                             .signedBy(root);
    TestCert acFinal = CertBuilder(Name::cn("AC Final"))
                           .key(quor::test::testKey(4))
                           .serial(5)
                           .ca(0)
                           .keyIdentifiers()
                           .signedBy(unshipped);
};

const Pki& pki() {
    static const Pki value;
    return value;
}

using Stores = std::map<std::string, std::set<std::string>>;

struct RunCase {
    const char* what;
    std::string list;                                        // served as Chains.xml
    std::vector<std::pair<std::string, std::string>> files;  // name, body (status 200)
    std::vector<std::wstring> events;
    std::vector<std::string> fetched;  // besides Chains.xml, in order
    Stores stores;
    bool approveRoots = true;
    // For a failure whose text comes from a lower layer: events holds everything before the
    // error line, whose text must contain this.
    std::optional<std::wstring> errorContains = std::nullopt;
};

std::vector<RunCase> runCases() {
    const Pki& p = pki();
    const std::string bundle = quor::test::pkcs7Der({p.root, p.intermediate});
    const std::string single = p.single.pem();
    const std::string errorPage = "<html><body><h1>Not Found</h1><hr></body></html>";
    using namespace expect;
    return {
        {"empty list", "<Chains/>", {}, concat({listRead(), success()}), {}, {}},
        {"entries of any element name, bundle then single certificate",
         "<?xml version=\"1.0\"?><Chains><Pacote file=\"chain.p7b\"/>"
         "<x file=\"single.crt\" y=\"z\">texto</x></Chains>",
         {{"chain.p7b", bundle}, {"single.crt", single}},
         concat({listRead(), installed(L"chain.p7b"), installed(L"single.crt"), success()}),
         {"chain.p7b", "single.crt"},
         {{"ROOT", {p.root.sha1Text()}}, {"CA", {p.intermediate.sha1Text(), p.single.sha1Text()}}}},
        {"comments and attributes inside Chains are not entries",
         "<Chains versao=\"3\"><!-- avulsa --><a file=\"single.crt\"/><!-- fim -->"
         "<b file=\"chain.p7b\"/><!----></Chains>",
         {{"chain.p7b", bundle}, {"single.crt", single}},
         concat({listRead(), installed(L"single.crt"), installed(L"chain.p7b"), success()}),
         {"single.crt", "chain.p7b"},
         {{"ROOT", {p.root.sha1Text()}}, {"CA", {p.intermediate.sha1Text(), p.single.sha1Text()}}}},
        {"an element without file attribute stops the run there",
         "<Chains><a file=\"single.crt\"/><b nome=\"chain.p7b\"/><c file=\"chain.p7b\"/></Chains>",
         {{"chain.p7b", bundle}, {"single.crt", single}},
         concat({listRead(), installed(L"single.crt"), failure(L"No such node (<xmlattr>.file)")}),
         {"single.crt"},
         {{"CA", {p.single.sha1Text()}}}},
        // Ordered, the bundle [AC Final, Raiz] starts with the root, which the first entry has
        // just installed: AC Final must still be added.
        {"bundle without its intermediate after its root",
         "<Chains><a file=\"raiz.crt\"/><b file=\"final.p7b\"/></Chains>",
         {{"raiz.crt", p.root.pem()}, {"final.p7b", quor::test::pkcs7Der({p.acFinal, p.root})}},
         concat({listRead(), installed(L"raiz.crt"), installed(L"final.p7b"), success()}),
         {"raiz.crt", "final.p7b"},
         {{"ROOT", {p.root.sha1Text()}}, {"CA", {p.acFinal.sha1Text()}}}},
        {"root element in lower case",
         "<chains><a file=\"single.crt\"/></chains>",
         {{"single.crt", single}},
         concat({{progress(5), log(L"Baixando arquivo de configuração...")},
                 failure(L"No such node (Chains)")}),
         {},
         {}},
        {"names with other suffixes are fetched and nothing is installed",
         "<Chains><a file=\"chain.P7B\"/><b file=\"single.cer\"/><c file=\"\"/></Chains>",
         {{"chain.P7B", bundle}, {"single.cer", single}, {"", "<html>indice</html>"}},
         concat(
             {listRead(), ignored(L"chain.P7B"), ignored(L"single.cer"), ignored(L""), success()}),
         {"chain.P7B", "single.cer", ""},
         {}},
        {"name with a sub-folder",
         "<Chains><a file=\"sub/single.crt\"/></Chains>",
         {{"sub/single.crt", single}},
         concat({listRead(), installed(L"sub/single.crt"), success()}),
         {"sub/single.crt"},
         {{"CA", {p.single.sha1Text()}}}},
        {"error page served as a bundle",
         "<Chains><a file=\"chain.p7b\"/></Chains>",
         {{"chain.p7b", errorPage}},
         concat({listRead(), checking(L"chain.p7b"),
                 failure(L"No certificate could be read from chain file chain.p7b: "
                         L"The data is not a DER PKCS#7 certificate bundle")}),
         {"chain.p7b"},
         {}},
        {"failure at the second of three entries",
         "<Chains><a file=\"single.crt\"/><b file=\"broken.crt\"/><c file=\"chain.p7b\"/>"
         "</Chains>",
         {{"single.crt", single},
          {"broken.crt", "isto não é um certificado"},
          {"chain.p7b", bundle}},
         concat({listRead(), installed(L"single.crt"), checking(L"broken.crt"),
                 failure(L"attempt to decode a value not in base64 char set")}),
         {"single.crt", "broken.crt"},
         {{"CA", {p.single.sha1Text()}}}},
        {"root refused by the user: the intermediate before it stays",
         "<Chains><a file=\"chain.p7b\"/></Chains>",
         {{"chain.p7b", bundle}},
         concat({listRead(),
                 checking(L"chain.p7b"),
                 {progress(10), log(L"Instalando cadeia em chain.p7b."), progress(100)}}),
         {"chain.p7b"},
         {{"CA", {p.intermediate.sha1Text()}}},
         false,
         L"The operation was canceled by the user."},
    };
}

TEST(InstallRun, ShowsEveryStageAndInstallsWhatTheListNames) {
    for (const RunCase& c : runCases()) {
        SCOPED_TRACE(c.what);
        quor::test::ScopedDataHome home;
        CannedPrompts prompts(c.approveRoots);
        ScopedInstallerPrompts registration(prompts);
        DownloadFolder folder;
        folder.put("Chains.xml", c.list);
        for (const auto& [name, body] : c.files)
            folder.put(name, body);

        RecordingControls recorder;
        InstallerControls controls = recorder.controls();
        installChains(controls, folder.baseUrl());

        if (!c.errorContains) {
            EXPECT_EQ(recorder.events, c.events);
        } else {
            ASSERT_FALSE(recorder.events.empty());
            std::vector<std::wstring> before = recorder.events;
            const std::wstring line = before.back();
            before.pop_back();
            EXPECT_EQ(before, c.events);
            const std::wstring prefix =
                L"log: Não foi possível efetuar instalação de cadeias. Erro: ";
            EXPECT_THAT(line, ::testing::StartsWith(prefix));
            EXPECT_GT(line.size(), prefix.size());
            EXPECT_THAT(line, ::testing::HasSubstr(*c.errorContains));
        }
        std::vector<std::string> fetched = {"Chains.xml"};
        fetched.insert(fetched.end(), c.fetched.begin(), c.fetched.end());
        EXPECT_EQ(folder.fetched(), fetched);
        EXPECT_EQ(storeContents(), c.stores);
    }
}

TEST(InstallRun, SecondRunFindsTheChainsInstalledAndAsksNothing) {
    const Pki& p = pki();
    quor::test::ScopedDataHome home;
    CannedPrompts prompts(true);
    ScopedInstallerPrompts registration(prompts);
    DownloadFolder folder;
    folder.put("Chains.xml", "<Chains><a file=\"chain.p7b\"/><b file=\"single.crt\"/></Chains>");
    folder.put("chain.p7b", quor::test::pkcs7Der({p.intermediate, p.root}));
    folder.put("single.crt", p.single.base64());

    RecordingControls first;
    InstallerControls firstControls = first.controls();
    installChains(firstControls, folder.baseUrl());
    EXPECT_EQ(first.events, expect::concat({expect::listRead(), expect::installed(L"chain.p7b"),
                                            expect::installed(L"single.crt"), expect::success()}));
    EXPECT_EQ(prompts.askedRoots, std::vector<std::string>{"Raiz de Teste"});
    const Stores afterFirst = storeContents();

    RecordingControls second;
    InstallerControls secondControls = second.controls();
    installChains(secondControls, folder.baseUrl());
    EXPECT_EQ(second.events,
              expect::concat({expect::listRead(), expect::alreadyInstalled(L"chain.p7b"),
                              expect::alreadyInstalled(L"single.crt"), expect::success()}));
    EXPECT_EQ(prompts.askedRoots.size(), 1u);
    EXPECT_EQ(storeContents(), afterFirst);
}

// Puts a certificate straight into one store, as another program could have left it.
void putInStore(std::string_view store, const TestCert& cert) {
    platform::CertStorePtr opened = platform::openSystemStore(store);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(opened->addEncoded(cert.derBytes()));
}

std::int32_t verdictOn(const TestCert& reference) {
    signer::SystemRepository repository;
    return detection::validateInstallation(signer::Certificate(reference.x509()), repository).code;
}

// Every verdict but Installed reaches the installation step: the log shows the line of a file
// being installed and every certificate of the file is in the stores afterwards (a certificate
// already there is not an error). The verdict each case stands for is checked before the run.
TEST(InstallRun, TheStepInstallsOnAPartialOrFailedSystemChain) {
    const Pki& p = pki();
    const TestCert strangeRoot = CertBuilder(Name::cn("Raiz Estranha"))
                                     .key(quor::test::testKey(5))
                                     .serial(6)
                                     .ca()
                                     .keyIdentifiers()
                                     .selfSigned();
    const TestCert underStrange = CertBuilder(Name::cn("AC Sob Raiz Estranha"))
                                      .key(quor::test::testKey(6))
                                      .serial(7)
                                      .ca(0)
                                      .keyIdentifiers()
                                      .signedBy(strangeRoot);
    struct Case {
        const char* what;
        std::vector<std::pair<std::string_view, const TestCert*>> before;
        const TestCert* reference;
        std::int32_t verdict;
        std::vector<TestCert> bundle;
        Stores after;
    };
    const std::vector<Case> cases{
        {"PartialChain: the intermediate is stored without its root",
         {{platform::kCaStore, &p.intermediate}},
         &p.intermediate,
         detection::CertValidation::PartialChain,
         {p.root, p.intermediate},
         {{"ROOT", {p.root.sha1Text()}}, {"CA", {p.intermediate.sha1Text()}}}},
        // A root kept among the other authorities is no trust anchor: the system's chain fails.
        {"ChainError: the root is stored, but not as a trusted root",
         {{platform::kCaStore, &strangeRoot}, {platform::kCaStore, &underStrange}},
         &underStrange,
         detection::CertValidation::ChainError,
         {strangeRoot, underStrange},
         {{"ROOT", {strangeRoot.sha1Text()}},
          {"CA", {strangeRoot.sha1Text(), underStrange.sha1Text()}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        quor::test::ScopedDataHome home;
        CannedPrompts prompts(true);
        ScopedInstallerPrompts registration(prompts);
        for (const auto& [store, cert] : c.before)
            putInStore(store, *cert);
        ASSERT_EQ(verdictOn(*c.reference), c.verdict);

        DownloadFolder folder;
        folder.put("Chains.xml", "<Chains><a file=\"cadeia.p7b\"/></Chains>");
        folder.put("cadeia.p7b", quor::test::pkcs7Der(c.bundle));
        RecordingControls recorder;
        InstallerControls controls = recorder.controls();
        installChains(controls, folder.baseUrl());
        EXPECT_EQ(recorder.events,
                  expect::concat(
                      {expect::listRead(), expect::installed(L"cadeia.p7b"), expect::success()}));
        EXPECT_EQ(storeContents(), c.after);
    }
}

// A bundle without a root: once installed, every certificate is in the stores, but the system
// chain of its lowest certificate stays incomplete. Each later run installs the file again,
// adds nothing and still reports it as being installed.
TEST(InstallRun, RerunOverPresentCertificatesWithAnIncompleteSystemChainInstallsAgain) {
    const Pki& p = pki();
    quor::test::ScopedDataHome home;
    CannedPrompts prompts(true);
    ScopedInstallerPrompts registration(prompts);
    DownloadFolder folder;
    folder.put("Chains.xml", "<Chains><a file=\"sem-raiz.p7b\"/></Chains>");
    folder.put("sem-raiz.p7b", quor::test::pkcs7Der({p.unshipped, p.acFinal}));
    const std::vector<std::wstring> installedRun =
        expect::concat({expect::listRead(), expect::installed(L"sem-raiz.p7b"), expect::success()});
    const Stores installedStores{{"CA", {p.unshipped.sha1Text(), p.acFinal.sha1Text()}}};

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_EQ(verdictOn(p.acFinal), run == 1 ? detection::CertValidation::NotFound
                                                 : detection::CertValidation::PartialChain);
        RecordingControls recorder;
        InstallerControls controls = recorder.controls();
        installChains(controls, folder.baseUrl());
        EXPECT_EQ(recorder.events, installedRun);
        EXPECT_EQ(storeContents(), installedStores);
    }
    EXPECT_TRUE(prompts.askedRoots.empty());
}

TEST(InstallRun, RealIcpBrasilChainsOfTheSampleFolder) {
    quor::test::ScopedDataHome home;
    CannedPrompts prompts(true);
    ScopedInstallerPrompts registration(prompts);
    DownloadFolder folder;
    folder.putAll(std::filesystem::path(QUOR_SOURCE_DIR) / "examples" / "repository");

    RecordingControls recorder;
    InstallerControls controls = recorder.controls();
    installChains(controls, folder.baseUrl());

    EXPECT_EQ(recorder.events,
              expect::concat({expect::listRead(), expect::installed(L"AC-PRODESP-RFB-v1.p7b"),
                              expect::installed(L"ICP-Brasilv10.crt"),
                              expect::installed(L"AC-SERPRO-SSLv1-v10.crt"), expect::success()}));
    const auto sha1 = [](const char* file) {
        return sha1OfPemFile(quor::test::fixture(std::string("icp-brasil/") + file));
    };
    EXPECT_EQ(storeContents(),
              (Stores{{"ROOT", {sha1("ICP-Brasilv5.crt"), sha1("ICP-Brasilv10.crt")}},
                      {"CA",
                       {sha1("AC-PRODESP-RFB-v1.crt"),
                        sha1("AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt"),
                        sha1("AC-SERPRO-SSLv1-v10.crt")}}}));
    EXPECT_EQ(prompts.askedRoots,
              (std::vector<std::string>{"Autoridade Certificadora Raiz Brasileira v5",
                                        "Autoridade Certificadora Raiz Brasileira v10"}));
}

TEST(InstallRun, ServerOrUrlThatCannotBeUsedEndsTheRunAtOnce) {
    std::uint16_t closedPort = 0;
    {
        quor::test::HttpServer gone;
        closedPort = gone.port();
    }
    const std::wstring port = std::to_wstring(closedPort);
    const struct {
        std::wstring baseUrl;
        std::wstring error;
    } cases[] = {
        {L"http://127.0.0.1:" + port + L"/DEZIruva/certificados/",
         L"127.0.0.1:" + port + L"/DEZIruva/certificados/Chains.xml: Unreachable"},
        {L"ftp://127.0.0.1/DEZIruva/certificados/", L"Only http or https supported"},
    };
    for (const auto& c : cases) {
        quor::test::ScopedDataHome home;
        RecordingControls recorder;
        recorder.replaceText(L"texto anterior");
        InstallerControls controls = recorder.controls();
        installChains(controls, c.baseUrl);
        EXPECT_EQ(recorder.events,
                  expect::concat({{expect::log(L"texto anterior")}, expect::failure(c.error)}));
        EXPECT_EQ(storeContents(), Stores{});
    }
}

TEST(InstallRun, ErrorPageServedAsTheListIsReportedAsTheReaderSeesIt) {
    quor::test::ScopedDataHome home;
    DownloadFolder folder;
    folder.put("Chains.xml", "<html><body><h1>Not Found</h1><hr></body></html>", 404);
    RecordingControls recorder;
    InstallerControls controls = recorder.controls();
    installChains(controls, folder.baseUrl());
    EXPECT_EQ(recorder.events, expect::failure(L"<unspecified file>(1): unexpected end of data"));
}

}  // namespace
}  // namespace quor::installer
