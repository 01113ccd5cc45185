// Whole install runs: a loopback download folder, the real store in a temporary data home, and
// the exact texts and progress values the user would see.
#include "installer/install_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
// a second intermediate shipped alone. Serials differ: issuer and serial identify a certificate.
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
        {"comment between entries stops the run after the first",
         "<Chains><a file=\"single.crt\"/><!-- fim --><b file=\"chain.p7b\"/></Chains>",
         {{"chain.p7b", bundle}, {"single.crt", single}},
         concat({listRead(), installed(L"single.crt"), failure(L"No such node (<xmlattr>.file)")}),
         {"single.crt"},
         {{"CA", {p.single.sha1Text()}}}},
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
         concat({listRead(), installed(L"single.crt"), checking(L"broken.crt"), {progress(100)}}),
         {"single.crt", "broken.crt"},
         {{"CA", {p.single.sha1Text()}}},
         true,
         L""},
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
