// quor-certs list, add, remove and verify, run as a user runs them: the real program over the
// real store database of a temporary XDG_DATA_HOME, with the openssl command as the oracle for
// fingerprints. The root confirmation is answered on a real pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quor::test::ProcessResult;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string& kProgram = quor::test::kQuorCerts;

const auto run = quor::test::runQuorCerts;

std::string icp(const std::string& file) {
    return quor::test::fixture("icp-brasil/" + file).string();
}

// SHA-1 of a PEM certificate as the openssl command prints it, in the stores' form ("ab cd ...").
std::string sha1Of(const std::string& pemFile) {
    const std::string out =
        quor::test::opensslCommand("x509 -noout -fingerprint -sha1", quor::test::readFile(pemFile));
    std::string hex = out.substr(out.find('=') + 1);
    std::string pairs;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            continue;
        if (!pairs.empty() && pairs.size() % 3 == 2)
            pairs += ' ';
        pairs += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return pairs;
}

std::string colonLower(std::string fingerprint) {
    std::replace(fingerprint.begin(), fingerprint.end(), ' ', ':');
    return fingerprint;
}

std::string colonUpper(std::string fingerprint) {
    for (char& c : fingerprint)
        c = c == ' ' ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return fingerprint;
}

json runJson(const std::vector<std::string>& args) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.exitCode == 0 ? json::parse(result.out) : json();
}

// store name -> fingerprints, from "list --json".
std::map<std::string, std::vector<std::string>> listed() {
    std::map<std::string, std::vector<std::string>> stores;
    const json out = runJson({"list", "--json"});
    for (const json& store : out.at("stores")) {
        auto& fingerprints = stores[store.at("name").get<std::string>()];
        for (const json& c : store.at("certificates"))
            fingerprints.push_back(c.at("fingerprint").get<std::string>());
    }
    return stores;
}

// Runs quor-certs on a pseudo-terminal, answers the first "[s/N]" prompt with answer, and
// returns everything the terminal showed and the exit status.
ProcessResult runOnTerminal(const std::vector<std::string>& args, const std::string& answer) {
    return quor::test::runOnTerminal(kProgram, args, answer);
}

class StoreCommandsTest : public ::testing::Test {
  protected:
    quor::test::ScopedDataHome home;
    const std::string prodesp = icp("AC-PRODESP-RFB-v1.crt");
    const std::string receita = icp("AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt");
    const std::string rootV5 = icp("ICP-Brasilv5.crt");
};

TEST_F(StoreCommandsTest, AddListVerifyRemoveARealChain) {
    const json added = runJson({"add", "--yes", "--json", prodesp, receita, rootV5});
    const std::vector<std::tuple<std::string, std::string, std::string>> expected{
        {prodesp, sha1Of(prodesp), "CA"},
        {receita, sha1Of(receita), "CA"},
        {rootV5, sha1Of(rootV5), "ROOT"},
    };
    ASSERT_EQ(added.at("results").size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const json& r = added.at("results")[i];
        EXPECT_EQ(r.at("file"), std::get<0>(expected[i]));
        EXPECT_EQ(r.at("fingerprint"), std::get<1>(expected[i]));
        EXPECT_EQ(r.at("store"), std::get<2>(expected[i]));
        EXPECT_EQ(r.at("added"), true);
    }
    // A second run finds everything in place and says so.
    const json again = runJson({"add", "--json", prodesp, receita, rootV5});
    for (const json& r : again.at("results"))
        EXPECT_EQ(r.at("added"), false) << r;

    auto stores = listed();
    EXPECT_EQ(stores["CA"], (std::vector<std::string>{sha1Of(prodesp), sha1Of(receita)}));
    EXPECT_EQ(stores["ROOT"], std::vector<std::string>{sha1Of(rootV5)});
    EXPECT_TRUE(stores["MY"].empty());
    EXPECT_TRUE(stores["AddressBook"].empty());
    const json caOnly = runJson({"list", "--json", "CA"});
    ASSERT_EQ(caOnly.at("stores").size(), 1u);
    const json& first = caOnly.at("stores")[0].at("certificates")[0];
    EXPECT_EQ(first.at("subjectName"), "AC PRODESP RFB v1");
    EXPECT_EQ(first.at("notAfter"), "2029-02-20T18:43:42Z");
    EXPECT_EQ(first.at("role"), "IntermediateCa");

    const json chain = runJson({"verify", "--json", colonUpper(sha1Of(prodesp))});
    EXPECT_EQ(chain.at("status"), "Valid");
    std::vector<std::string> elements;
    for (const json& c : chain.at("certificates"))
        elements.push_back(c.at("fingerprint").get<std::string>());
    EXPECT_EQ(elements,
              (std::vector<std::string>{sha1Of(prodesp), sha1Of(receita), sha1Of(rootV5)}));

    // Without its root the same certificate's chain is partial.
    const json removed = runJson({"remove", "--json", sha1Of(rootV5), sha1Of(rootV5)});
    EXPECT_EQ(removed.at("results")[0].at("removedFrom"), json::array({"ROOT"}));
    EXPECT_EQ(removed.at("results")[1].at("removedFrom"), json::array());
    EXPECT_EQ(runJson({"verify", "--json", sha1Of(prodesp)}).at("status"), "IncompleteChain");
    EXPECT_TRUE(listed()["ROOT"].empty());
}

TEST_F(StoreCommandsTest, AddReadsBundlesByContentAndCertificatesInAnyEncoding) {
    using quor::test::CertBuilder;
    using quor::test::Name;
    const auto root = CertBuilder(Name::cn("Raiz CLI")).ca().serial(1).selfSigned();
    const auto inter = CertBuilder(Name::cn("AC CLI")).ca(0).serial(2).signedBy(root);
    const auto leaf = CertBuilder(Name::cn("Pessoa CLI")).serial(3).signedBy(inter);
    const fs::path bundle = home.home() / "cadeia.bin";  // no telling suffix: read by content
    const fs::path der = home.home() / "pessoa.der";
    quor::test::writeFile(bundle, quor::test::pkcs7Der({root, leaf, inter}));
    quor::test::writeFile(der, leaf.der());

    const json fromBundle = runJson({"add", "--yes", "--json", bundle.string()});
    std::vector<std::pair<std::string, std::string>> got;
    for (const json& r : fromBundle.at("results"))
        got.emplace_back(r.at("fingerprint"), r.at("store"));
    EXPECT_EQ(got,
              (std::vector<std::pair<std::string, std::string>>{{leaf.sha1Text(), "AddressBook"},
                                                                {inter.sha1Text(), "CA"},
                                                                {root.sha1Text(), "ROOT"}}));
    EXPECT_EQ(runJson({"add", "--json", der.string()}).at("results")[0].at("added"), false);
}

TEST_F(StoreCommandsTest, RootsNeedAnAnswerFromATerminalOrYes) {
    // Standard input that is not a terminal, no --yes: refused before anything is added.
    const ProcessResult refused = run({"add", prodesp, rootV5});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_THAT(refused.err, HasSubstr("--yes"));
    EXPECT_THAT(refused.err, HasSubstr(": incluir uma raiz confiável pede confirmação em um "
                                       "terminal; rode com --yes para aprová-la (nada foi "
                                       "adicionado)\n"));
    auto stores = listed();
    EXPECT_TRUE(stores["CA"].empty());
    EXPECT_TRUE(stores["ROOT"].empty());

    struct Case {
        std::string answer;
        int exitCode;
        bool inRoot;
    };
    for (const Case& c : {Case{"n", 1, false}, Case{"", 1, false}, Case{"s", 0, true}}) {
        SCOPED_TRACE("answer '" + c.answer + "'");
        const ProcessResult shown = runOnTerminal({"add", rootV5}, c.answer);
        EXPECT_EQ(shown.exitCode, c.exitCode) << shown.out;
        EXPECT_THAT(shown.out, HasSubstr("Autoridade Certificadora Raiz Brasileira v5"));
        EXPECT_THAT(shown.out, HasSubstr(colonLower(sha1Of(rootV5))));
        EXPECT_THAT(shown.out, HasSubstr("SHA-256"));
        EXPECT_EQ(listed()["ROOT"].empty(), !c.inRoot);
    }
    // Already trusted: nothing to ask, even without a terminal.
    EXPECT_EQ(run({"add", rootV5}).exitCode, 0);
}

TEST_F(StoreCommandsTest, TheRootQuestionSaysWhetherTheRootIsOfficial) {
    const fs::path generated = home.home() / "raiz gerada.crt";
    quor::test::writeFile(
        generated,
        quor::test::CertBuilder(quor::test::Name::cn("Raiz Gerada")).ca().selfSigned().pem());
    const std::string kNotOfficial = "não é uma raiz oficial da ICP-Brasil";
    struct Case {
        std::string file;
        std::string shown;
        bool official;
    };
    const Case cases[] = {
        {rootV5,
         "Raiz oficial da ICP-Brasil v5: a impressão digital confere com a publicada pelo ITI.\r\n",
         true},
        {icp("ICP-Brasilv1.crt"),
         "Raiz oficial da ICP-Brasil v1: a impressão digital confere com a publicada pelo ITI. "
         "Esta raiz expirou em 29/07/2021 19:17:10 UTC",
         true},
        {generated.string(), "Cuidado: este certificado " + kNotOfficial, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        // Enter alone takes the default answer, which is No.
        const ProcessResult shown = runOnTerminal({"add", c.file}, "");
        EXPECT_EQ(shown.exitCode, 1) << shown.out;
        EXPECT_THAT(shown.out, HasSubstr(c.shown));
        if (c.official) {
            EXPECT_THAT(shown.out, Not(HasSubstr(kNotOfficial)));
        }
        EXPECT_TRUE(listed()["ROOT"].empty());
    }
}

TEST_F(StoreCommandsTest, BadInputIsReportedAndChangesNothing) {
    const fs::path page = home.home() / "ACRaiz.p7b";
    quor::test::writeFile(page, "<html><body>404</body></html>");
    const fs::path empty = home.home() / "vazio.p7b";
    quor::test::writeFile(empty, quor::test::pkcs7Der(std::vector<X509*>{}));
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"add", "--yes", prodesp, page.string()},
         1,
         "quor-certs: '" + page.string() +
             "' não é um certificado (PEM, DER ou Base64) nem um pacote PKCS#7 em DER\n"},
        {{"add", "--yes", prodesp, empty.string()}, 1, "holds no certificates"},
        {{"add", "--yes", (home.home() / "falta.crt").string()}, 1, "': arquivo inexistente\n"},
        {{"remove", "ab cd"},
         1,
         "quor-certs: 'ab cd' não é uma impressão digital SHA-1 (20 bytes em hexadecimal)\n"},
        {{"verify", sha1Of(prodesp)},
         1,
         "quor-certs: nenhum repositório guarda o certificado " + sha1Of(prodesp) + "\n"},
        {{"verify", "zz"}, 1, "'zz' não é uma impressão digital SHA-1"},
        {{"list", "Pessoal"},
         2,
         "quor-certs: list: REPOSITORIO: 'Pessoal' não é um dos valores aceitos: MY, AddressBook, "
         "CA ou ROOT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const ProcessResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message));
        EXPECT_EQ(result.out, "");
    }
    for (const auto& [name, fingerprints] : listed())
        EXPECT_TRUE(fingerprints.empty()) << name;
}

TEST_F(StoreCommandsTest, RootsWithKeysOpenSslCannotDecodeAreListedAndRemoved) {
    std::vector<std::string> files, fingerprints;
    for (const char* file : {"ICP-Brasilv4.crt", "ICP-Brasilv6.crt", "ICP-Brasilv7.crt"}) {
        files.push_back(icp(file));
        fingerprints.push_back(sha1Of(icp(file)));
    }
    std::vector<std::string> args{"add", "--yes"};
    args.insert(args.end(), files.begin(), files.end());
    EXPECT_EQ(run(args).exitCode, 0);
    EXPECT_EQ(listed()["ROOT"], fingerprints);

    const ProcessResult text = run({"list", "ROOT"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_THAT(text.out, HasSubstr("Autoridade Certificadora Raiz Brasileira v6"));

    std::vector<std::string> remove{"remove"};
    remove.insert(remove.end(), fingerprints.begin(), fingerprints.end());
    const ProcessResult removed = run(remove);
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_THAT(removed.out, HasSubstr("removido de ROOT"));
    EXPECT_TRUE(listed()["ROOT"].empty());
}

TEST_F(StoreCommandsTest, ADamagedStoreDatabaseIsReported) {
    fs::create_directories(home.storePath().parent_path());
    quor::test::writeFile(home.storePath(), std::string(2048, 'x'));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"list"},
                                                 {"add", "--yes", prodesp},
                                                 {"verify", sha1Of(prodesp)},
                                                 {"remove", sha1Of(prodesp)}}) {
        SCOPED_TRACE(args[0]);
        const ProcessResult result = run(args);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_THAT(result.err, HasSubstr("damaged or is not a certificate store"));
    }
    EXPECT_EQ(quor::test::readFile(home.storePath()), std::string(2048, 'x'));
}

}  // namespace
