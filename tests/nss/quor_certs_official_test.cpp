// quor-certs install --official as the user runs it: a loopback copy of the national
// authority's archive, built from the real certificates of the fixtures by
// tests/fixtures/official-archive/make-archive.py (CRLF line ends and names with spaces
// included), the real stores of a temporary home and certutil as the oracle of the NSS
// databases. Hostile archives and answers must end with a clear error and nothing stored.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/nss/nss_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quor::test::HttpExchange;
using quor::test::HttpServer;
using quor::test::ProcessResult;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string& kProgram = quor::test::kQuorCerts;
const std::string kFailure = "Não foi possível instalar os certificados da ICP-Brasil. Erro: ";
const std::string kSuccess = "Instalação dos certificados da ICP-Brasil concluída com sucesso.";

const auto run = quor::test::runQuorCerts;

// The archive folders the script makes ("good", "bad-hash", ...), made once for the suite.
class ArchiveFolders {
  public:
    static const fs::path& root() {
        static ArchiveFolders folders;
        return folders.dir_.path();
    }

  private:
    ArchiveFolders() {
        const std::string command =
            "python3 '" + quor::test::fixture("official-archive/make-archive.py").string() + "' '" +
            dir_.path().string() + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("make-archive.py failed");
    }
    quor::test::TempDir dir_;
};

// Serves each archive folder under /acraiz/<case>/.
void serveCase(HttpServer& server, const std::string& name) {
    for (const char* file : {"hashsha512.txt", "ACcompactado.zip"}) {
        server.serve("/acraiz/" + name + "/" + file,
                     {200, {}, quor::test::readFile(ArchiveFolders::root() / name / file)});
    }
}

std::string caseUrl(const HttpServer& server, const std::string& name) {
    return server.origin() + "/acraiz/" + name + "/";
}

// SHA-1 ("ab cd ...") of every certificate of the fixtures, by the store it belongs in.
std::map<std::string, std::set<std::string>> expectedStores() {
    std::map<std::string, std::set<std::string>> stores;
    for (const auto& entry : fs::directory_iterator(quor::test::fixture("icp-brasil"))) {
        if (entry.path().extension() != ".crt")
            continue;
        const std::string pem = quor::test::readFile(entry.path());
        const std::string subject = quor::test::opensslCommand("x509 -noout -subject", pem);
        const std::string issuer = quor::test::opensslCommand("x509 -noout -issuer", pem);
        std::string out = quor::test::opensslCommand("x509 -noout -fingerprint -sha1", pem);
        std::string pairs;
        for (char c : out.substr(out.find('=') + 1)) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                continue;
            if (!pairs.empty() && pairs.size() % 3 == 2)
                pairs += ' ';
            pairs += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const bool selfIssued =
            subject.substr(subject.find('=')) == issuer.substr(issuer.find('='));
        stores[selfIssued ? "ROOT" : "CA"].insert(pairs);
    }
    return stores;
}

std::map<std::string, std::set<std::string>> storedNow() {
    std::map<std::string, std::set<std::string>> stores;
    const ProcessResult listed = run({"list", "--json"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    const json out = json::parse(listed.out);
    for (const json& store : out.at("stores")) {
        for (const json& certificate : store.at("certificates"))
            stores[store.at("name")].insert(certificate.at("fingerprint").get<std::string>());
    }
    return stores;
}

class OfficialInstallTest : public ::testing::Test {
  protected:
    fs::path sharedNss() const { return home_.dataHome() / "pki" / "nssdb"; }
    quor::test::ScopedDataHome home_;
    HttpServer server_;
};

TEST_F(OfficialInstallTest, InstallsEveryCertificateAndASecondRunAsksNothing) {
    serveCase(server_, "good");
    const std::string url = caseUrl(server_, "good");
    const ProcessResult first =
        run({"install", "--official", "--official-url", url, "--yes", "--json"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_THAT(first.err, HasSubstr(kSuccess));
    EXPECT_THAT(first.err, HasSubstr("Instalando certificado em AC PRODESP RFB v1.crt."));
    EXPECT_THAT(first.err, HasSubstr("Raiz oficial da ICP-Brasil v10: a impressão digital "
                                     "confere com a publicada pelo ITI."));
    const json summary = json::parse(first.out);
    EXPECT_EQ(summary.at("certificates"), 15);
    EXPECT_EQ(summary.at("added"), 15);
    EXPECT_EQ(summary.at("alreadyInstalled"), 0);

    const auto expected = expectedStores();
    ASSERT_EQ(expected.at("ROOT").size(), 12u);
    ASSERT_EQ(expected.at("CA").size(), 3u);
    EXPECT_EQ(storedNow(), expected);
    for (const json& result : summary.at("results")) {
        EXPECT_TRUE(expected.at(result.at("store")).count(result.at("fingerprint")))
            << result.dump();
    }

    // The browsers' database got them too: roots trusted, authorities without trust.
    const std::map<std::string, std::string> nss = quor::test::certutilList(sharedNss());
    ASSERT_TRUE(nss.count("Autoridade Certificadora Raiz Brasileira v10")) << nss.size();
    EXPECT_EQ(nss.at("Autoridade Certificadora Raiz Brasileira v10"), "C,C,C");
    ASSERT_TRUE(nss.count("Autoridade Certificadora do SERPRO SSLv1"));
    EXPECT_EQ(nss.at("Autoridade Certificadora do SERPRO SSLv1").find('C'), std::string::npos);
    ASSERT_TRUE(nss.count("AC PRODESP RFB v1"));

    // Again, with nobody to answer and no --yes: everything is there, nothing is asked.
    const std::size_t requestsBefore = server_.requests().size();
    const ProcessResult second = run({"install", "--official", "--official-url", url});
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_THAT(second.out, HasSubstr("Certificado em ICP-Brasilv10.crt já está instalado."));
    EXPECT_THAT(second.out, Not(HasSubstr("Instalando certificado")));
    EXPECT_THAT(second.err, Not(HasSubstr("raiz")));
    EXPECT_EQ(server_.requests().size() - requestsBefore, 2u);
    EXPECT_EQ(storedNow(), expected);
}

TEST_F(OfficialInstallTest, TheTerminalQuestionNamesTheOfficialRootAndNoKeepsItOut) {
    serveCase(server_, "good");
    const ProcessResult refused = quor::test::runOnTerminal(
        kProgram, {"install", "--official", "--official-url", caseUrl(server_, "good")}, "");
    EXPECT_EQ(refused.exitCode, 1) << refused.out;
    EXPECT_THAT(refused.out, HasSubstr("Autoridade Certificadora Raiz Brasileira v1"));
    EXPECT_THAT(refused.out, HasSubstr("Raiz oficial da ICP-Brasil v1: a impressão digital confere "
                                       "com a publicada pelo ITI. Esta raiz expirou em"));
    EXPECT_THAT(refused.out, HasSubstr(kFailure));
    EXPECT_TRUE(storedNow().empty());
}

TEST(OfficialInstallOptions, WrongCombinationsAreUsageErrorsThatTouchNothing) {
    quor::test::ScopedDataHome home;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"install", "--json"}, "--json exige --official"},
        {{"install", "--official", "--base-url", "http://127.0.0.1:1/"}, "--base-url"},
        {{"install", "--official", "--official-url", "http://127.0.0.1:1/acraiz"},
         "deve terminar com /"},
        {{"install", "--official-url", "http://127.0.0.1:1/"}, "--official"},
    };
    for (const auto& [args, message] : cases) {
        const ProcessResult result = run(args);
        EXPECT_EQ(result.exitCode, 2) << args.back();
        EXPECT_THAT(result.err, HasSubstr(message));
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fs::exists(home.storePath()));
}

struct HostileCase {
    std::string name;
    // Sets up /acraiz/<name>/ on the server; by default the script's folder of that name.
    std::function<void(HttpServer&, const std::string& folder)> serve;
    std::string error;  // part of the error line
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

void scriptCase(HttpServer& server, const std::string& folder) {
    const std::string prefix = "/acraiz/";
    serveCase(server, folder.substr(prefix.size(), folder.size() - prefix.size() - 1));
}

std::string goodFile(const char* file) {
    return quor::test::readFile(ArchiveFolders::root() / "good" / file);
}

const std::string kHtml = "<!DOCTYPE html><html><body><h1>Página não encontrada</h1></body></html>";

std::vector<HostileCase> hostileCases() {
    auto page = [](const char* which) {
        return [which](HttpServer& server, const std::string& folder) {
            for (const char* file : {"hashsha512.txt", "ACcompactado.zip"}) {
                if (std::string(file) == which) {
                    server.serve(folder + file, {404, {{"Content-Type", "text/html"}}, kHtml});
                } else {
                    server.serve(folder + file, {200, {}, goodFile(file)});
                }
            }
        };
    };
    return {
        {"bad-hash", scriptCase, "não confere com o publicado"},
        {"extra-root", scriptCase, "\"AC Raiz Falsa.crt\" é uma raiz que não é raiz oficial"},
        {"unchained", scriptCase, "\"AC Impostora.crt\" não se liga, por assinatura"},
        {"zip-bomb", scriptCase, "passa do limite de 67108864 bytes"},
        {"many-entries", scriptCase, "mais de 4096 entradas"},
        {"encrypted", scriptCase, "está cifrada"},
        {"bad-crc", scriptCase, "está danificada"},
        {"dot-dot", scriptCase, "\"../ICP-Brasilv10.crt\" do arquivo tem um nome absoluto"},
        {"absolute", scriptCase, "\"/tmp/ICP-Brasilv10.crt\" do arquivo tem um nome absoluto"},
        {"not-a-certificate", scriptCase, "\"leia-me.crt\" do arquivo não contém um certificado"},
        {"empty", scriptCase, "o arquivo baixado está vazio"},
        {"html-archive", scriptCase, "não é um arquivo zip válido"},
        {"html-for-the-hash", page("hashsha512.txt"), "hashsha512.txt não traz um resumo"},
        {"html-for-the-archive", page("ACcompactado.zip"), "não confere com o publicado"},
        {"redirect-loop",
         [](HttpServer& server, const std::string& folder) {
             server.serve(folder + "hashsha512.txt", {200, {}, goodFile("hashsha512.txt")});
             server.serve(folder + "ACcompactado.zip",
                          {302, {{"Location", folder + "ACcompactado.zip"}}, ""});
         },
         "Unreachable"},
    };
}

class HostileArchive : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileArchive, EndsWithAClearErrorAndStoresNothing) {
    quor::test::ScopedDataHome home;
    HttpServer server;
    const HostileCase& c = GetParam();
    // Something the user had before must survive the refused run.
    const fs::path mine = home.home() / "minha.crt";
    quor::test::writeFile(mine,
                          quor::test::readFile(quor::test::fixture("icp-brasil/ICP-Brasilv5.crt")));
    ASSERT_EQ(run({"add", "--yes", mine.string()}).exitCode, 0);
    const auto before = storedNow();
    ASSERT_EQ(before.at("ROOT").size(), 1u);

    const std::string folder = "/acraiz/" + c.name + "/";
    c.serve(server, folder);
    const ProcessResult result =
        run({"install", "--official", "--official-url", server.origin() + folder, "--yes"});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_THAT(result.out, HasSubstr(kFailure));
    EXPECT_THAT(result.out, HasSubstr(c.error));
    EXPECT_THAT(result.out, Not(HasSubstr("Instalando certificado")));
    EXPECT_EQ(storedNow(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileArchive, ::testing::ValuesIn(hostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& param) {
                             std::string name = param.param.name;
                             for (char& ch : name)
                                 ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// The server stops sending half-way through the archive: the download gives up after its
// timeout instead of waiting forever, and nothing is stored.
TEST_F(OfficialInstallTest, AStalledArchiveEndsAfterTheTimeout) {
    const std::string archive = goodFile("ACcompactado.zip");
    server_.serve("/acraiz/stall/hashsha512.txt", {200, {}, goodFile("hashsha512.txt")});
    server_.handle("/acraiz/stall/ACcompactado.zip", [archive](HttpExchange& exchange) {
        exchange.write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) +
                       "\r\n\r\n" + archive.substr(0, archive.size() / 2));
        exchange.pause(std::chrono::seconds(65));
    });
    const ProcessResult result =
        run({"install", "--official", "--official-url", caseUrl(server_, "stall"), "--yes"});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_THAT(result.out, HasSubstr(kFailure));
    EXPECT_TRUE(storedNow().empty());
}

}  // namespace
