// quor-certs install on a GNOME desktop set to use a proxy, with no proxy variable in sight: the
// sample download folder of examples/ served on loopback, reached through a real tinyproxy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/desktop_session.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tinyproxy.h"

namespace {

using quor::test::GnomeSession;
using quor::test::HttpServer;
using quor::test::Tinyproxy;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string& kProgram = quor::test::kQuorCerts;
const std::string kFolder = "/DEZIruva/certificados/";
const std::filesystem::path kSample =
    std::filesystem::path(QUOR_FIXTURES_DIR) / ".." / ".." / "examples" / "repository";

// Serves every file of the sample folder under /DEZIruva/certificados/; returns their names.
std::vector<std::string> serveSample(HttpServer& server) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kSample)) {
        const std::string name = entry.path().filename().string();
        if (name == "Chains.xml" || name.ends_with(".p7b") || name.ends_with(".crt")) {
            server.serve(kFolder + name, {200, {}, quor::test::readFile(entry.path())});
            names.push_back(name);
        }
    }
    return names;
}

void useManualProxy(GnomeSession& session, const Tinyproxy& proxy) {
    session.set("org.gnome.system.proxy.http", "host", "'127.0.0.1'");
    session.set("org.gnome.system.proxy.http", "port", std::to_string(proxy.port()));
    session.set("org.gnome.system.proxy.http", "use-authentication", "true");
    session.set("org.gnome.system.proxy.http", "authentication-user", "'quorsa'");
    session.set("org.gnome.system.proxy.http", "authentication-password", "'segredo-1'");
    // GNOME's default leaves loopback out of the proxy; the sample server is on loopback.
    session.set("org.gnome.system.proxy", "ignore-hosts", "@as []");
    session.set("org.gnome.system.proxy", "mode", "'manual'");
}

TEST(QuorCertsInstallProxy, SampleFolderThroughTheDesktopsProxy) {
    HttpServer server;
    const std::vector<std::string> names = serveSample(server);
    ASSERT_EQ(names.size(), 4u);
    Tinyproxy proxy({"quorsa", "segredo-1", {}});
    quor::test::ScopedDataHome home;
    GnomeSession session;
    useManualProxy(session, proxy);
    const std::string base = server.origin() + kFolder;

    const auto run =
        quor::test::runProcess(kProgram, {"install", "--yes", "--verbose", "--base-url", base});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err << proxy.log();
    EXPECT_THAT(run.out, HasSubstr("Instalação de cadeias concluída com sucesso."));
    // Every file came through the proxy, and each request says so without the password.
    const std::string log = proxy.log();
    for (const std::string& name : names) {
        EXPECT_THAT(log, HasSubstr("GET " + base + name)) << log;
        EXPECT_THAT(run.err, HasSubstr("Requisição de 127.0.0.1:" + std::to_string(server.port()) +
                                       kFolder + name + ": pelo proxy " + proxy.url() + "\n"));
    }
    EXPECT_THAT(run.err, Not(HasSubstr("segredo")));
    EXPECT_EQ(server.requests().size(), names.size());
    for (const auto& request : server.requests())
        EXPECT_EQ(request.headerCount("Proxy-Authorization"), 0u);

    const auto listed = quor::test::runProcess(kProgram, {"list", "ROOT"});
    EXPECT_THAT(listed.out, HasSubstr("Raiz Brasileira v10"));
}

TEST(QuorCertsInstallProxy, VerboseSaysWhenTheConnectionIsDirect) {
    HttpServer server;
    serveSample(server);
    Tinyproxy proxy({"quorsa", "segredo-1", {}});
    quor::test::ScopedDataHome home;
    GnomeSession session;
    useManualProxy(session, proxy);
    session.set("org.gnome.system.proxy", "mode", "'none'");
    const std::string base = server.origin() + kFolder;

    const auto run =
        quor::test::runProcess(kProgram, {"install", "--yes", "--verbose", "--base-url", base});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr("Requisição de 127.0.0.1:" + std::to_string(server.port()) +
                                   kFolder + "Chains.xml: conexão direta, sem proxy\n"));
    EXPECT_THAT(proxy.log(), Not(HasSubstr("GET http")));
    // Without --verbose the same run says nothing of proxies.
    const auto quiet = quor::test::runProcess(kProgram, {"install", "--base-url", base});
    EXPECT_EQ(quiet.exitCode, 0) << quiet.out << quiet.err;
    EXPECT_THAT(quiet.err, Not(HasSubstr("Requisição")));
}

TEST(QuorCertsInstallProxy, VerboseNamesEveryWayTriedWhenNoneAnswers) {
    quor::test::ScopedDataHome home;
    GnomeSession session;
    session.set("org.gnome.system.proxy.http", "host", "'127.0.0.1'");
    session.set("org.gnome.system.proxy.http", "port", "1");
    session.set("org.gnome.system.proxy", "ignore-hosts", "@as []");
    session.set("org.gnome.system.proxy", "mode", "'manual'");

    const auto run = quor::test::runProcess(
        kProgram, {"install", "--verbose", "--base-url", "http://127.0.0.1:2" + kFolder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr("Requisição de 127.0.0.1:2" + kFolder +
                                   "Chains.xml: não foi possível enviar (tentado: "
                                   "http://127.0.0.1:1)\n"));
    EXPECT_THAT(run.out, HasSubstr("127.0.0.1:2" + kFolder + "Chains.xml: Unreachable"));
}

}  // namespace
