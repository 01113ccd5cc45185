// Which NSS databases an install reaches, home by home: the real quor-certs installs a root from
// a loopback download folder into homes laid out as the desktops people run leave them, and
// certutil then reads the database each program would open. The client certificate (with its
// key) the user had put there beforehand must still be there, beside the root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/nss/nss_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quor::test::CertBuilder;
using quor::test::certutil;
using quor::test::certutilList;
using quor::test::Name;
using quor::test::TestCert;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Key;
using ::testing::Not;
using ::testing::Pair;

const std::string& kProgram = quor::test::kQuorCerts;
const std::string kRootNick = "Raiz Localizacao";

// Sets (or unsets, with nullopt) environment variables for the object's life.
class ScopedEnvironment {
  public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The user's own client certificate with its private key, imported as a browser imports an A1
// certificate (a PKCS#12 file through pk12util).
void putClientCertificate(const fs::path& dir, const std::string& commonName, int keyIndex) {
    if (!fs::exists(dir / "cert9.db"))
        quor::test::makeNssDatabase(dir);
    const TestCert client = CertBuilder(Name::cn(commonName))
                                .keyUsage("digitalSignature")
                                .key(quor::test::testKey(keyIndex))
                                .selfSigned();
    const quor::test::TempDir files;
    const fs::path p12 = files.path() / "client.p12";
    quor::test::writeFile(p12, quor::test::pkcs12(client, "senha", {}));
    const quor::test::ProcessResult result = quor::test::runProcess(
        "/usr/bin/pk12util", {"-i", p12.string(), "-d", "sql:" + dir.string(), "-W", "senha"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    ASSERT_THAT(certutilList(dir), Contains(Pair(commonName, "u,u,u")));
}

// The user's certificate and the root, both visible there, the key still with the certificate.
void expectClientAndRoot(const fs::path& dir, const std::string& client) {
    const auto listed = certutilList(dir);
    EXPECT_THAT(listed, Contains(Pair(client, "u,u,u"))) << dir;
    EXPECT_THAT(listed, Contains(Pair(kRootNick, "C,C,C"))) << dir;
    EXPECT_THAT(certutil({"-K", "-d", "sql:" + dir.string()}).output, HasSubstr(client)) << dir;
}

struct Home {
    fs::path home;
    fs::path elsewhere;  // a folder outside the home, for XDG variables pointing away from it
};

struct Case {
    std::string name;
    // XDG_DATA_HOME and XDG_CONFIG_HOME relative to `elsewhere`; nullopt leaves them unset.
    std::optional<std::string> dataHome;
    std::optional<std::string> configHome;
    std::function<void(const Home&)> before;
    std::function<void(const Home&)> after;
};

TEST(NssLocationTest, InstallReachesTheDatabaseEachProgramOpensAndKeepsTheUsersCertificates) {
    const TestCert root = CertBuilder(Name::cn(kRootNick)).ca().selfSigned();
    quor::test::HttpServer server;
    server.serve("/Chains.xml",
                 {200, {}, "<?xml version=\"1.0\"?><Chains><Chain file=\"Raiz.crt\"/></Chains>"});
    server.serve("/Raiz.crt", {200, {}, root.pem()});

    const auto legacy = [](const Home& h) { return h.home / ".pki/nssdb"; };
    const auto xdgDefault = [](const Home& h) { return h.home / ".local/share/pki/nssdb"; };
    const auto snapHome = [](const Home& h) { return h.home / "snap/chromium/current"; };
    // Snap's "current" is a link to the revision folder.
    const auto makeSnapHome = [](const Home& h) {
        fs::create_directories(h.home / "snap/chromium/3301");
        fs::create_directory_symlink("3301", h.home / "snap/chromium/current");
    };

    const std::vector<Case> cases{
        {"only ~/.pki/nssdb", std::nullopt, std::nullopt,
         [&](const Home& h) { putClientCertificate(legacy(h), "Cliente Legado", 12); },
         [&](const Home& h) {
             expectClientAndRoot(legacy(h), "Cliente Legado");
             EXPECT_FALSE(fs::exists(h.home / ".local/share/pki"));
         }},
        {"only ~/.local/share/pki/nssdb (a fresh Chromium)", std::nullopt, std::nullopt,
         [&](const Home& h) { putClientCertificate(xdgDefault(h), "Cliente XDG", 13); },
         [&](const Home& h) {
             expectClientAndRoot(xdgDefault(h), "Cliente XDG");
             EXPECT_FALSE(fs::exists(h.home / ".pki"));
         }},
        {"only $XDG_DATA_HOME/pki/nssdb, XDG_DATA_HOME outside the home", "data", std::nullopt,
         [&](const Home& h) {
             putClientCertificate(h.elsewhere / "data/pki/nssdb", "Cliente Fora", 14);
         },
         [&](const Home& h) {
             expectClientAndRoot(h.elsewhere / "data/pki/nssdb", "Cliente Fora");
             EXPECT_FALSE(fs::exists(h.home / ".pki"));
             EXPECT_FALSE(fs::exists(h.home / ".local/share/pki"));
         }},
        {"both: the old one wins, the XDG one is untouched", std::nullopt, std::nullopt,
         [&](const Home& h) {
             putClientCertificate(legacy(h), "Cliente Legado", 12);
             putClientCertificate(xdgDefault(h), "Cliente XDG", 13);
             quor::test::writeFile(h.elsewhere / "xdg-before",
                                   quor::test::readFile(xdgDefault(h) / "cert9.db"));
         },
         [&](const Home& h) {
             expectClientAndRoot(legacy(h), "Cliente Legado");
             EXPECT_EQ(quor::test::readFile(xdgDefault(h) / "cert9.db"),
                       quor::test::readFile(h.elsewhere / "xdg-before"));
             EXPECT_THAT(certutilList(xdgDefault(h)), Not(Contains(Key(kRootNick))));
         }},
        {"neither: created at the XDG place, ~/.pki never made", std::nullopt, std::nullopt,
         [](const Home&) {},
         [&](const Home& h) {
             EXPECT_THAT(certutilList(xdgDefault(h)), Contains(Pair(kRootNick, "C,C,C")));
             EXPECT_FALSE(fs::exists(h.home / ".pki"));
         }},
        {"snap Chromium with its database at the XDG place of its home", std::nullopt,
         std::nullopt,
         [&](const Home& h) {
             makeSnapHome(h);
             putClientCertificate(snapHome(h) / ".local/share/pki/nssdb", "Cliente Snap", 14);
         },
         [&](const Home& h) {
             expectClientAndRoot(snapHome(h) / ".local/share/pki/nssdb", "Cliente Snap");
             EXPECT_FALSE(fs::exists(snapHome(h) / ".pki"));
             EXPECT_FALSE(fs::exists(h.home / ".pki"));
         }},
        {"snap Chromium with the old database of its home", std::nullopt, std::nullopt,
         [&](const Home& h) {
             makeSnapHome(h);
             putClientCertificate(snapHome(h) / ".pki/nssdb", "Cliente Snap", 15);
         },
         [&](const Home& h) {
             expectClientAndRoot(snapHome(h) / ".pki/nssdb", "Cliente Snap");
             EXPECT_FALSE(fs::exists(snapHome(h) / ".local/share/pki"));
         }},
        {"snap Chromium never started: its home is given a database", std::nullopt, std::nullopt,
         [&](const Home& h) { makeSnapHome(h); },
         [&](const Home& h) {
             EXPECT_THAT(certutilList(snapHome(h) / ".local/share/pki/nssdb"),
                         Contains(Pair(kRootNick, "C,C,C")));
             EXPECT_FALSE(fs::exists(snapHome(h) / ".pki"));
         }},
        {"Firefox under a custom XDG_CONFIG_HOME", std::nullopt, "config",
         [&](const Home& h) {
             quor::test::makeProfileTree(h.elsewhere / "config/mozilla/firefox",
                                         {{"default-release", "x1.default-release"}});
             putClientCertificate(h.elsewhere / "config/mozilla/firefox/x1.default-release",
                                  "Cliente Firefox", 15);
         },
         [&](const Home& h) {
             expectClientAndRoot(h.elsewhere / "config/mozilla/firefox/x1.default-release",
                                 "Cliente Firefox");
             EXPECT_FALSE(fs::exists(h.home / ".config"));
         }},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const quor::test::TempDir dir;
        const Home h{dir.path() / "home", dir.path() / "elsewhere"};
        fs::create_directories(h.home);
        fs::create_directories(h.elsewhere);
        ScopedEnvironment environment;
        environment.set("HOME", h.home.string());
        environment.set("XDG_DATA_HOME",
                        c.dataHome ? std::optional((h.elsewhere / *c.dataHome).string())
                                   : std::nullopt);
        environment.set("XDG_CONFIG_HOME",
                        c.configHome ? std::optional((h.elsewhere / *c.configHome).string())
                                     : std::nullopt);
        c.before(h);
        if (::testing::Test::HasFatalFailure())
            return;
        const quor::test::ProcessResult run = quor::test::runProcess(
            kProgram, {"install", "--yes", "--base-url", server.origin() + "/"});
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_THAT(run.err, Not(HasSubstr("não chegaram"))) << "no database was held";
        c.after(h);
    }
}

}  // namespace
