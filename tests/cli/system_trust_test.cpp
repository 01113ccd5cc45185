// quor-certs system add, remove and list with the real update-ca-certificates, pointed through
// QUOR_SYSTEM_TRUST_ROOT at a temporary tree so the machine's own trust is never touched:
// openssl verify -CApath and curl --capath to a loopback HTTPS server under a generated
// authority succeed after "add" and fail after "remove", which leaves nothing of ours behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_identity.h"

namespace {

namespace fs = std::filesystem;
using quor::test::ProcessResult;
using ::testing::HasSubstr;

const std::string& kProgram = quor::test::kQuorCerts;

using quor::test::shellQuoted;

const auto shell = quor::test::runShell;

const auto run = quor::test::runQuorCerts;

// Every file and link under a folder, with link targets, as one text to compare.
std::string treeOf(const fs::path& root) {
    std::string text;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        text += fs::relative(item.path(), root).string();
        if (item.is_symlink())
            text += " -> " + fs::read_symlink(item.path()).string();
        else if (item.is_regular_file())
            text += " " + std::to_string(item.file_size());
        text += "\n";
    }
    return text;
}

class SystemTrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the system trust commands run only as root";
        if (access("/usr/sbin/update-ca-certificates", X_OK) != 0)
            GTEST_SKIP() << "update-ca-certificates is missing (package ca-certificates)";
        identity = quor::test::makeServerIdentity(dir.path(), "servidor", {});
        server.emplace(identity);
        server->serve("/ok", {200, {{"Content-Type", "text/plain"}}, "chegou"});
        authorityFile = quor::test::writeAuthorityFile(identity, dir.path() / "autoridade.crt");
        url = "https://127.0.0.1:" + std::to_string(server->port()) + "/ok";

        // A small stand-in for the system's tree, with one certificate of the distribution's
        // own, as a real system has.
        root = dir.path() / "raiz";
        for (const char* folder : {"etc/ssl/certs", "usr/share/ca-certificates/distro",
                                   "usr/local/share/ca-certificates",
                                   "etc/ca-certificates/update.d"}) {
            fs::create_directories(root / folder);
        }
        fs::copy_file(quor::test::fixture("icp-brasil/ICP-Brasilv5.crt"),
                      root / "usr/share/ca-certificates/distro/ICP-Brasilv5.crt");
        quor::test::writeFile(root / "etc/ca-certificates.conf", "distro/ICP-Brasilv5.crt\n");
        ASSERT_EQ(setenv("QUOR_SYSTEM_TRUST_ROOT", root.c_str(), 1), 0);
    }

    void TearDown() override { unsetenv("QUOR_SYSTEM_TRUST_ROOT"); }

    fs::path certsDir() const { return root / "etc/ssl/certs"; }

    ProcessResult verify() {
        return shell("openssl verify -CApath " + shellQuoted(certsDir().string()) + " " +
                     shellQuoted(identity.certificateFile.string()) + " 2>&1");
    }
    ProcessResult curl() {
        return shell("curl -sS --max-time 20 --noproxy '*' --capath " +
                     shellQuoted(certsDir().string()) + " " +
                     shellQuoted(url) + " 2>&1");
    }

    quor::test::ScopedDataHome home;
    quor::test::TempDir dir;
    quor::test::TlsIdentity identity;
    std::optional<quor::test::HttpServer> server;
    fs::path authorityFile;
    fs::path root;
    std::string url;
};

TEST_F(SystemTrustTest, AddMakesOpensslAndCurlTrustTheAuthorityAndRemoveTakesBackAllOfIt) {
    ASSERT_EQ(shell("update-ca-certificates --certsconf " +
                    shellQuoted((root / "etc/ca-certificates.conf").string()) +
                    " --certsdir " + shellQuoted((root / "usr/share/ca-certificates").string()) +
                    " --localcertsdir " +
                    shellQuoted((root / "usr/local/share/ca-certificates").string()) +
                    " --etccertsdir " + shellQuoted(certsDir().string()) + " --hooksdir " +
                    shellQuoted((root / "etc/ca-certificates/update.d").string()) + " >/dev/null")
                  .exitCode,
              0);
    const std::string before = treeOf(root);
    EXPECT_NE(verify().exitCode, 0) << "the generated authority is trusted before any add";
    EXPECT_EQ(curl().exitCode, 60) << "curl: the server certificate is not trusted";

    const ProcessResult added = run({"system", "add", "--yes", authorityFile.string()});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_THAT(added.out, HasSubstr("Quor Test Authority servidor -> confiança do sistema "
                                     "(adicionado)"));
    ProcessResult checked = verify();
    EXPECT_EQ(checked.exitCode, 0) << checked.out;
    checked = curl();
    EXPECT_EQ(checked.exitCode, 0) << checked.out;
    EXPECT_EQ(checked.out, "chegou");
    const ProcessResult listed = run({"system", "list", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const nlohmann::json list = nlohmann::json::parse(listed.out);
    ASSERT_EQ(list.at("certificates").size(), 1u) << listed.out;
    const std::string fingerprint = list.at("certificates").at(0).at("fingerprint");
    // A second add finds it there and changes nothing.
    const std::string afterAdd = treeOf(root);
    const ProcessResult again = run({"system", "add", "--yes", authorityFile.string()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("(já presente)"));
    EXPECT_EQ(treeOf(root), afterAdd);

    const ProcessResult removed = run({"system", "remove", fingerprint});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_THAT(removed.out, HasSubstr("removido da confiança do sistema"));
    EXPECT_NE(verify().exitCode, 0);
    EXPECT_EQ(curl().exitCode, 60) << "curl: the server certificate is not trusted";
    // The distribution's own certificate is still trusted, and the tree is as it was.
    EXPECT_EQ(treeOf(root), before);
    const ProcessResult distro =
        shell("openssl verify -CApath " + shellQuoted(certsDir().string()) + " " +
              shellQuoted(quor::test::fixture("icp-brasil/ICP-Brasilv5.crt").string()));
    EXPECT_EQ(distro.exitCode, 0) << distro.out;
    // Removing what we never put there touches nothing.
    const ProcessResult foreign =
        run({"system", "remove", "4a:ca:da:b1:4b:74:bf:4f:ba:7b:ac:e6:4b:91:80:1c:44:b8:cc:66"});
    EXPECT_EQ(foreign.exitCode, 0) << foreign.err;
    EXPECT_THAT(foreign.out, HasSubstr("não foi posto na confiança do sistema"));
    EXPECT_EQ(treeOf(root), before);
}

TEST_F(SystemTrustTest, RefusalsSayWhyAndChangeNothing) {
    const std::string leafFile = (dir.path() / "servidor-so.crt").string();
    const std::string chain = quor::test::readFile(identity.certificateFile);
    quor::test::writeFile(leafFile, chain.substr(0, chain.find("-----BEGIN CERTIFICATE-----", 1)));
    const std::string before = treeOf(root);
    struct Case {
        std::string name;
        std::string command;
        std::string message;
    };
    const std::string program = shellQuoted(kProgram);
    const std::vector<Case> cases{
        {"not root", "setpriv --reuid=65534 --regid=65534 --clear-groups " + program +
                         " system add --yes " + shellQuoted(authorityFile.string()),
         "exige root; nada foi alterado. Execute: sudo quor-certs system add --yes " +
             authorityFile.string()},
        {"not root, remove", "setpriv --reuid=65534 --regid=65534 --clear-groups " + program +
                                 " system remove 'ab cd 12 34 56 78 9a bc de f0 12 34 56 78 9a "
                                 "bc de f0 12 34'",
         "Execute: sudo quor-certs system remove 'ab cd 12"},
        {"root without confirmation", program + " system add " +
                                          shellQuoted(authorityFile.string()) + " </dev/null",
         "confiar em uma raiz exige confirmação no terminal; use --yes"},
        {"not an authority", program + " system add --yes " + shellQuoted(authorityFile.string()) +
                                 " " + shellQuoted(leafFile),
         "não é uma autoridade certificadora; nada foi alterado"},
        {"nothing to add", program + " system add --yes", "dê arquivos de certificado ou --from-user"},
    };
    for (const Case& c : cases) {
        const ProcessResult result = shell(c.command);
        EXPECT_EQ(result.exitCode, 1) << c.name << ": " << result.out << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message)) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(treeOf(root), before) << c.name;
    }
}

TEST_F(SystemTrustTest, FromUserCopiesTheAuthoritiesOfTheUsersStores) {
    const ProcessResult stored = run({"add", "--yes", authorityFile.string()});
    ASSERT_EQ(stored.exitCode, 0) << stored.err;
    EXPECT_NE(verify().exitCode, 0);
    const ProcessResult added = run({"system", "add", "--from-user", "--yes"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_THAT(added.out, HasSubstr("Quor Test Authority servidor -> confiança do sistema"));
    const ProcessResult checked = verify();
    EXPECT_EQ(checked.exitCode, 0) << checked.out;
}

TEST_F(SystemTrustTest, FromUserUnderSudoReadsTheCallingUsersStoresNotRoots) {
    // Root's own (temporary) stores hold the authority; the user who "called sudo" is nobody,
    // whose stores are empty: the command must read nobody's, as nobody, and find nothing.
    ASSERT_EQ(run({"add", "--yes", authorityFile.string()}).exitCode, 0);
    const std::string before = treeOf(root);
    const ProcessResult result =
        shell("SUDO_UID=65534 SUDO_GID=65534 SUDO_USER=nobody " + shellQuoted(kProgram) +
              " system add --from-user --yes");
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_THAT(result.err, HasSubstr("nenhuma autoridade nos repositórios ROOT e CA de nobody "
                                      "(quem chamou o sudo); nada foi alterado"));
    EXPECT_EQ(treeOf(root), before);
}

}  // namespace
