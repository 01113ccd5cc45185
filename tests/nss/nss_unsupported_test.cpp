// The real ICP-Brasil roots whose keys NSS cannot decode (v4 and v13: EC with explicit curve
// parameters, v6: Ed448, v7: an algorithm nobody decodes) installed beside a root NSS takes: the
// real quor-certs says once that NSS cannot hold them and why, marks no database failed, gives
// no "close the program" warning and exits 0; list and sync say the same.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/nss_mirror.h"
#include "tests/cli/run_process.h"
#include "tests/nss/nss_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quor::test::certutilList;
using quor::test::ProcessResult;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;

const auto run = quor::test::runQuorCerts;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// file -> the key type the user is told.
const std::map<std::string, std::string> kRefused{
    {"ICP-Brasilv4.crt", "EC com parâmetros explícitos"},
    {"ICP-Brasilv6.crt", "Ed448"},
    {"ICP-Brasilv7.crt", "1.3.6.1.4.1.44588.2.1"},
    {"ICP-Brasilv13.crt", "EC com parâmetros explícitos"},
};

std::string subjectOf(const std::string& file) {
    // "ICP-Brasilv13.crt" -> "Autoridade Certificadora Raiz Brasileira v13"
    return "Autoridade Certificadora Raiz Brasileira " +
           file.substr(file.find('v'), file.find('.') - file.find('v'));
}

TEST(NssUnsupportedTest, RealRootsNssRefusesAreToldOnceAndFailNoDatabase) {
    const quor::test::ScopedDataHome home;
    const fs::path firefox = home.home() / ".mozilla/firefox/ab12.default-release";
    quor::test::makeProfileTree(home.home() / ".mozilla/firefox",
                                {{"default-release", "ab12.default-release"}});
    const fs::path shared = home.dataHome() / "pki/nssdb";

    quor::test::HttpServer server;
    std::string list = "<?xml version=\"1.0\"?><Chains>";
    for (const auto& [file, type] : kRefused) {
        server.serve("/" + file,
                     {200, {}, quor::test::readFile(quor::test::fixture("icp-brasil/" + file))});
        list += "<Chain file=\"" + file + "\"/>";
    }
    server.serve("/ICP-Brasilv10.crt",
                 {200, {},
                  quor::test::readFile(quor::test::fixture("icp-brasil/ICP-Brasilv10.crt"))});
    list += "<Chain file=\"ICP-Brasilv10.crt\"/></Chains>";
    server.serve("/Chains.xml", {200, {}, list});

    const ProcessResult installed = run({"install", "--yes", "--base-url", server.origin() + "/"});
    EXPECT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_THAT(installed.out, HasSubstr("Instalação de cadeias concluída com sucesso."));
    EXPECT_THAT(installed.err, Not(HasSubstr("não chegaram"))) << "no database was held";
    EXPECT_THAT(installed.err, Not(HasSubstr("Feche")));
    for (const auto& [file, type] : kRefused)
        EXPECT_EQ(occurrences(installed.out, subjectOf(file) + " ("), 1u) << file << installed.out;
    EXPECT_EQ(occurrences(installed.out, "(chave EC com parâmetros explícitos)"), 2u);
    EXPECT_EQ(occurrences(installed.out, "(chave Ed448)"), 1u);
    EXPECT_EQ(occurrences(installed.out, "(chave 1.3.6.1.4.1.44588.2.1)"), 1u);
    // The root NSS can hold reached every database.
    for (const auto& dir : {shared, firefox}) {
        EXPECT_THAT(certutilList(dir),
                    Contains(Pair("Autoridade Certificadora Raiz Brasileira v10", "C,C,C")))
            << dir;
    }

    // sync: every database written, the refused roots named with their key types, exit 0.
    const ProcessResult synced = run({"sync", "--json"});
    EXPECT_EQ(synced.exitCode, 0) << synced.err;
    const json sync = json::parse(synced.out);
    for (const json& database : sync.at("databases"))
        EXPECT_EQ(database.at("status"), "written") << database.dump();
    std::map<std::string, std::string> told;
    for (const json& certificate : sync.at("notSupportedByNss"))
        told[certificate.at("subjectName")] = certificate.at("keyType");
    std::map<std::string, std::string> expected;
    for (const auto& [file, type] : kRefused)
        expected[subjectOf(file)] = type;
    EXPECT_EQ(told, expected);

    // list: each refused root is "not supported", the other one is held by both databases.
    const ProcessResult listed = run({"list", "--json", "ROOT"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::multiset<std::string> listedTypes;
    const json stores = json::parse(listed.out).at("stores");
    for (const json& entry : stores[0].at("certificates")) {
        if (entry.at("notSupportedByNss").is_null()) {
            EXPECT_EQ(entry.at("mirrors").size(), 2u) << entry.dump();
        } else {
            EXPECT_TRUE(entry.at("mirrors").empty()) << entry.dump();
            listedTypes.insert(entry.at("notSupportedByNss").at("keyType").get<std::string>());
        }
    }
    std::multiset<std::string> expectedTypes;
    for (const auto& [file, type] : kRefused)
        expectedTypes.insert(type);
    EXPECT_EQ(listedTypes, expectedTypes);
    const ProcessResult text = run({"list", "ROOT"});
    EXPECT_EQ(occurrences(text.out, "bancos NSS: não suportado pelo NSS (chave Ed448)"), 1u)
        << text.out;
    EXPECT_EQ(occurrences(text.out,
                          "bancos NSS: não suportado pelo NSS (chave EC com parâmetros explícitos)"),
              2u);
}

// In the library: adding only a certificate NSS cannot hold makes no database at all, reports
// it once with its key type and no database failure.
TEST(NssUnsupportedTest, ACertificateNssCannotHoldMakesNoDatabase) {
    using namespace quor::platform;
    const quor::test::ScopedDataHome home;
    const ProcessResult der = quor::test::runProcess(
        "/usr/bin/openssl",
        {"x509", "-in", quor::test::fixture("icp-brasil/ICP-Brasilv6.crt").string(), "-outform",
         "DER"});
    ASSERT_EQ(der.exitCode, 0);
    const Bytes bytes(der.out.begin(), der.out.end());
    setRootAddHandler([](const RootAddRequest&) { return true; });
    auto store = openSystemStore(kRootStore);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->addEncoded(bytes));
    setRootAddHandler(nullptr);
    const MirrorReport report = lastMirrorReport();
    EXPECT_TRUE(report.failures().empty());
    ASSERT_EQ(report.unsupported.size(), 1u);
    EXPECT_EQ(report.unsupported[0].keyType, "Ed448");
    EXPECT_EQ(report.unsupported[0].sha1, sha1Of(bytes));
    EXPECT_FALSE(fs::exists(home.dataHome() / "pki")) << "nothing to put into a new database";
    EXPECT_FALSE(fs::exists(home.home() / ".pki"));
    EXPECT_EQ(nssUnsupportedKeys({bytes}), std::vector<std::string>{"Ed448"});
}

}  // namespace
