// quor-certs list, remove, sync and install as the user runs them, with a Firefox profile whose
// database another program holds locked: the real program over a temporary home, certutil as
// the oracle of what the NSS databases hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "installer/mirror_warning.h"
#include "tests/cli/run_process.h"
#include "tests/nss/nss_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quor::test::CertBuilder;
using quor::test::certutilList;
using quor::test::Name;
using quor::test::ProcessResult;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Key;
using ::testing::Not;
using ::testing::Pair;

const auto run = quor::test::runQuorCerts;

class QuorCertsMirrorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        quor::test::makeProfileTree(home_.home() / ".mozilla" / "firefox",
                                    {{"default-release", "ab12.default-release"}});
        quor::test::writeFile(home_.home() / "root.pem", root_.pem());
    }
    // No ~/.pki/nssdb in these homes: the shared database is the XDG one.
    fs::path shared() const { return home_.dataHome() / "pki" / "nssdb"; }
    fs::path firefox() const {
        return home_.home() / ".mozilla" / "firefox" / "ab12.default-release";
    }
    // program label -> trust, from list --json for the one certificate.
    std::map<std::string, std::string> holders() {
        const ProcessResult listed = run({"list", "--json", "ROOT"});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        std::map<std::string, std::string> found;
        const json out = json::parse(listed.out);
        for (const json& holder : out.at("stores")[0].at("certificates")[0].at("mirrors")) {
            found[holder.at("program").get<std::string>() + "/" +
                  holder.at("profile").get<std::string>()] = holder.at("trust");
        }
        return found;
    }
    // program label -> actions done there, from a report in JSON.
    static std::map<std::string, std::vector<std::string>> actions(const json& databases) {
        std::map<std::string, std::vector<std::string>> done;
        for (const json& database : databases) {
            auto& list = done[database.at("program").get<std::string>() + "/" +
                              database.at("profile").get<std::string>()];
            for (const json& change : database.at("changes"))
                list.push_back(change.at("action").get<std::string>() + " " +
                               change.at("nickname").get<std::string>());
        }
        return done;
    }

    quor::test::ScopedDataHome home_;
    quor::test::TestCert root_ = CertBuilder(Name::cn("Raiz Linha de Comando")).ca().selfSigned();
};

TEST_F(QuorCertsMirrorTest, ListRemoveAndSyncSayWhichDatabasesHoldAndChanged) {
    {
        quor::test::DatabaseLocker locker(firefox() / "cert9.db");
        const ProcessResult added = run({"add", "--yes", (home_.home() / "root.pem").string()});
        EXPECT_EQ(added.exitCode, 0) << "a locked browser never fails the add: " << added.err;
    }
    EXPECT_EQ(holders(), (std::map<std::string, std::string>{{"Chromium/Chrome/", "C,C,C"}}));
    const ProcessResult text = run({"list", "ROOT"});
    EXPECT_THAT(text.out, HasSubstr("bancos NSS: Chromium/Chrome [C,C,C]"));

    const ProcessResult synced = run({"sync", "--json"});
    ASSERT_EQ(synced.exitCode, 0) << synced.err;
    EXPECT_EQ(actions(json::parse(synced.out).at("databases")),
              (std::map<std::string, std::vector<std::string>>{
                  {"Chromium/Chrome/", {}},
                  {"Firefox/default-release", {"added Raiz Linha de Comando"}}}));
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Raiz Linha de Comando", "C,C,C")));
    EXPECT_EQ(holders(), (std::map<std::string, std::string>{
                             {"Chromium/Chrome/", "C,C,C"}, {"Firefox/default-release", "C,C,C"}}));

    const std::string fingerprint = root_.sha1Text();
    const ProcessResult removed = run({"remove", "--json", fingerprint});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(actions(json::parse(removed.out).at("results")[0].at("mirrors")),
              (std::map<std::string, std::vector<std::string>>{
                  {"Chromium/Chrome/", {"removed Raiz Linha de Comando"}},
                  {"Firefox/default-release", {"removed Raiz Linha de Comando"}}}));
    for (const auto& dir : {shared(), firefox()})
        EXPECT_THAT(certutilList(dir), Not(Contains(Key("Raiz Linha de Comando"))));

    // A sync that still cannot write a database says so and fails.
    ASSERT_EQ(run({"add", "--yes", (home_.home() / "root.pem").string()}).exitCode, 0);
    ASSERT_EQ(quor::test::certutil(
                  {"-D", "-n", "Raiz Linha de Comando", "-d", "sql:" + firefox().string()})
                  .exitCode,
              0);
    quor::test::DatabaseLocker locker(firefox() / "cert9.db");
    const ProcessResult blocked = run({"sync"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_THAT(blocked.out, HasSubstr("Firefox (default-release)"));
    EXPECT_THAT(
        blocked.err,
        HasSubstr("quor-certs: 1 banco NSS não pôde ser gravado: Firefox (default-release); "
                  "feche o programa e rode quor-certs sync de novo\n"));
}

// The chain installer in the terminal: the root reaches the stores although Firefox holds its
// database, and the run ends with the warning naming Firefox; once Firefox is closed, running
// again puts the root there.
TEST_F(QuorCertsMirrorTest, InstallWarnsAboutABrowserHoldingItsDatabaseAndARerunFixesIt) {
    quor::test::HttpServer server;
    server.serve("/Chains.xml",
                 {200, {}, "<?xml version=\"1.0\"?><Chains><Chain file=\"Raiz.crt\"/></Chains>"});
    server.serve("/Raiz.crt", {200, {}, root_.pem()});
    const std::string base = server.origin() + "/";
    {
        quor::test::DatabaseLocker locker(firefox() / "cert9.db");
        const ProcessResult first = run({"install", "--yes", "--base-url", base});
        EXPECT_EQ(first.exitCode, 0) << first.err;
        EXPECT_THAT(first.err, HasSubstr("Em uso por outro programa: Firefox (default-release)."));
        EXPECT_THAT(first.err, HasSubstr("Feche o Firefox e execute quor-certs sync."));
        EXPECT_THAT(first.err, HasSubstr("as cadeias foram instaladas"));
        EXPECT_THAT(first.err, Not(HasSubstr("Chromium")));
    }
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Raiz Linha de Comando", "C,C,C")));
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Raiz Linha de Comando"))));
    const ProcessResult second = run({"install", "--yes", "--base-url", base});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_THAT(second.err, Not(HasSubstr("Feche")));
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Raiz Linha de Comando", "C,C,C")));
}

TEST(MirrorWarningTest, SaysWhichDatabaseMissedTheCertificatesWhyAndWhatToDo) {
    using namespace quor::platform;
    using quor::installer::RunOutcome;
    using quor::installer::WarningFront;
    const auto result = [](const char* program, const char* profile, MirrorStatus status) {
        MirrorResult r;
        r.mirror = {program, profile, "/x"};
        r.status = status;
        return r;
    };
    struct Case {
        std::vector<MirrorResult> results;
        RunOutcome outcome;
        WarningFront front;
        std::vector<std::wstring> says;  // empty: no warning at all
        std::vector<std::wstring> never;
    };
    const std::wstring installed = L"as cadeias foram instaladas";
    const std::wstring button = L"pressione o botão \"Instalar cadeias\" novamente.";
    const std::wstring sync = L"execute quor-certs sync.";
    const std::vector<Case> cases{
        {{}, RunOutcome::Installed, WarningFront::Dialog, {}, {}},
        {{result("Chromium/Chrome", "", MirrorStatus::Written)}, RunOutcome::Installed,
         WarningFront::Dialog, {}, {}},
        // A dbm profile is left alone on purpose: closing Firefox would not change that.
        {{result("Firefox", "velho", MirrorStatus::OldFormat)}, RunOutcome::Failed,
         WarningFront::Terminal, {}, {}},
        {{result("Firefox", "padrão", MirrorStatus::Locked)},
         RunOutcome::Installed,
         WarningFront::Dialog,
         {installed, L"Em uso por outro programa: Firefox (padrão).", L"Feche o Firefox e " + button},
         {L"protegido", sync}},
        // After the error line the run cannot claim the chains were installed.
        {{result("Firefox", "padrão", MirrorStatus::Locked)},
         RunOutcome::Failed,
         WarningFront::Terminal,
         {L"os certificados instalados antes do erro", L"Feche o Firefox e " + sync},
         {installed, L"botão"}},
        // Read-only: closing a program would not help.
        {{result("Chromium/Chrome", "", MirrorStatus::ReadOnly)},
         RunOutcome::Installed,
         WarningFront::Terminal,
         {L"Protegido contra gravação: Chromium/Chrome.",
          L"Permita a gravação nas pastas protegidas e " + sync},
         {L"Feche", L"em uso"}},
        {{result("Thunderbird", "default", MirrorStatus::Failed)},
         RunOutcome::Installed,
         WarningFront::Dialog,
         {L"Não pôde ser alterado pelo NSS: Thunderbird (default).", button},
         {L"Feche", L"em uso", L"protegido"}},
        {{result("Firefox", "a", MirrorStatus::Locked), result("Firefox", "b", MirrorStatus::Locked),
          result("Chromium/Chrome", "", MirrorStatus::ReadOnly)},
         RunOutcome::Installed,
         WarningFront::Terminal,
         {L"Em uso por outros programas: Firefox (a) e Firefox (b).",
          L"Feche o Firefox, permita a gravação nas pastas protegidas e " + sync},
         {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        MirrorReport report;
        report.results = c.results;
        // Certificates NSS cannot hold never make a warning of their own.
        report.unsupported.push_back({{}, "Raiz Ed448", "Ed448"});
        const std::wstring warning = quor::installer::mirrorWarning(report, c.outcome, c.front);
        SCOPED_TRACE(i);
        if (c.says.empty()) {
            EXPECT_TRUE(warning.empty());
        }
        for (const auto& part : c.says)
            EXPECT_NE(warning.find(part), std::wstring::npos) << part;
        for (const auto& part : c.never)
            EXPECT_EQ(warning.find(part), std::wstring::npos) << part;
    }
    EXPECT_EQ(quor::installer::runOutcomeOf(L"Instalação de cadeias concluída com sucesso."),
              RunOutcome::Installed);
    EXPECT_EQ(quor::installer::runOutcomeOf(
                  L"Não foi possível efetuar instalação de cadeias. Erro: x"),
              RunOutcome::Failed);
}

}  // namespace
