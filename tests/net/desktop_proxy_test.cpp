// Downloads on a GNOME desktop whose proxy settings live in dconf: a private D-Bus session, the
// real gsettings tool, libproxy's GNOME module, and a real tinyproxy on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/http_client_downloader.h"
#include "net/proxy_credentials.h"
#include "net/system_proxy.h"
#include "tests/net/net_test_support.h"
#include "tests/support/desktop_session.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tinyproxy.h"
#include "tests/support/tls_identity.h"

namespace quor::net {
namespace {

using quor::test::GnomeSession;
using quor::test::HttpServer;
using quor::test::Tinyproxy;

template <typename Handler>
class Registered {
  public:
    Registered(Handler (*set)(Handler), Handler handler)
        : set_(set), previous_(set(std::move(handler))) {}
    ~Registered() { set_(std::move(previous_)); }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;

  private:
    Handler (*set_)(Handler);
    Handler previous_;
};

// Records the way each request took.
struct RouteLog {
    std::vector<ProxyRoute> routes;
    Registered<ProxyRouteObserver> registration{
        &setProxyRouteObserver, [this](const ProxyRoute& route) { routes.push_back(route); }};
};

// A handler that fails the test when a proxy asks for credentials.
ProxyCredentialsHandler neverAsked() {
    return [](const ProxyCredentialsRequest& request) {
        ADD_FAILURE() << "credentials asked for " << request.proxy;
        return std::optional<ProxyCredentials>();
    };
}

void useManualProxy(GnomeSession& session, std::uint16_t port, const std::string& ignoreHosts) {
    session.set("org.gnome.system.proxy.http", "host", "'127.0.0.1'");
    session.set("org.gnome.system.proxy.http", "port", std::to_string(port));
    session.set("org.gnome.system.proxy.https", "host", "'127.0.0.1'");
    session.set("org.gnome.system.proxy.https", "port", std::to_string(port));
    // GNOME leaves localhost and 127.0.0.0/8 out by default, which would send every loopback
    // request of these tests around the proxy.
    session.set("org.gnome.system.proxy", "ignore-hosts", ignoreHosts);
    session.set("org.gnome.system.proxy", "mode", "'manual'");
}

// A loopback port nobody listens on: connecting to it is refused at once.
std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool proxyCarried(const Tinyproxy& proxy, const HttpServer& server) {
    return proxy.log().find("127.0.0.1:" + std::to_string(server.port())) != std::string::npos;
}

enum class Answer { Right, Wrong, Refuse };

struct ManualCase {
    const char* name;
    bool secure;
    std::vector<Answer> answers;
    bool reachesServer;
};

class DesktopManualProxy : public ::testing::TestWithParam<ManualCase> {
  protected:
    quor::test::TempDir dir_;
};

TEST_P(DesktopManualProxy, CarriesTheRequestAndAsksForItsCredentials) {
    const ManualCase& c = GetParam();
    std::optional<HttpServer> server;
    if (c.secure) {
        server.emplace(quor::test::makeServerIdentity(dir_.path(), "proxied", {}));
    } else {
        server.emplace();
    }
    server->serve("/Chains.xml", {200, {}, "<Chains/>"});
    Tinyproxy proxy({"user", "pass", {server->port()}});
    GnomeSession session;
    useManualProxy(session, proxy.port(), "@as []");

    std::vector<ProxyCredentialsRequest> questions;
    Registered<ProxyCredentialsHandler> credentials(
        &setProxyCredentialsHandler,
        [&](const ProxyCredentialsRequest& request) -> std::optional<ProxyCredentials> {
            questions.push_back(request);
            if (questions.size() > c.answers.size() ||
                c.answers[questions.size() - 1] == Answer::Refuse)
                return std::nullopt;
            return ProxyCredentials{
                "user", c.answers[questions.size() - 1] == Answer::Right ? "pass" : "wrong"};
        });
    RouteLog routes;

    HttpClientDownloader downloader(server->url("/Chains.xml"), 10000, true);
    const std::string body = testing::readAll(*downloader.download(L""));

    ASSERT_EQ(questions.size(), c.answers.size()) << proxy.log();
    for (std::size_t i = 0; i < questions.size(); ++i) {
        EXPECT_EQ(questions[i].proxy, proxy.url());
        EXPECT_EQ(questions[i].attempt, static_cast<int>(i + 1));
    }
    ASSERT_EQ(routes.routes.size(), 1u);
    EXPECT_TRUE(routes.routes[0].reached);
    EXPECT_EQ(routes.routes[0].tried, std::vector<std::string>{proxy.url()});
    if (c.reachesServer) {
        EXPECT_EQ(body, "<Chains/>");
        ASSERT_EQ(server->requests().size(), 1u);
        EXPECT_EQ(server->requests()[0].headerCount("Proxy-Authorization"), 0u);
        EXPECT_TRUE(proxyCarried(proxy, *server)) << proxy.log();
    } else {
        EXPECT_TRUE(server->requests().empty());
        if (!c.secure) {
            EXPECT_NE(body.find("407"), std::string::npos) << body;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DesktopManualProxy,
    ::testing::Values(ManualCase{"http_confirms", false, {Answer::Right}, true},
                      ManualCase{"http_refuses", false, {Answer::Refuse}, false},
                      ManualCase{
                          "https_wrong_then_right", true, {Answer::Wrong, Answer::Right}, true},
                      ManualCase{"https_refuses", true, {Answer::Refuse}, false}),
    [](const ::testing::TestParamInfo<ManualCase>& param) {
        return std::string(param.param.name);
    });

// Credentials kept in the desktop's settings go with the request; the question never comes.
TEST(DesktopProxy, SendsTheCredentialsTheDesktopKeeps) {
    HttpServer server;
    server.serve("/Chains.xml", {200, {}, "<Chains/>"});
    Tinyproxy proxy({"user", "secret-1", {}});
    GnomeSession session;
    useManualProxy(session, proxy.port(), "@as []");
    session.set("org.gnome.system.proxy.http", "use-authentication", "true");
    session.set("org.gnome.system.proxy.http", "authentication-user", "'user'");
    session.set("org.gnome.system.proxy.http", "authentication-password", "'secret-1'");
    Registered<ProxyCredentialsHandler> credentials(&setProxyCredentialsHandler, neverAsked());
    RouteLog routes;

    HttpClientDownloader downloader(server.url("/Chains.xml"), 10000, true);
    EXPECT_EQ(testing::readAll(*downloader.download(L"")), "<Chains/>") << proxy.log();
    EXPECT_TRUE(proxyCarried(proxy, server)) << proxy.log();
    // What a user may see of the way names the proxy, never its password.
    ASSERT_EQ(routes.routes.size(), 1u);
    EXPECT_EQ(routes.routes[0].tried, std::vector<std::string>{proxy.url()});
}

TEST(DesktopProxy, ModeNoneGoesDirect) {
    HttpServer server;
    server.serve("/x", {200, {}, "direct"});
    Tinyproxy proxy({"user", "pass", {}});
    GnomeSession session;
    useManualProxy(session, proxy.port(), "@as []");
    session.set("org.gnome.system.proxy", "mode", "'none'");
    Registered<ProxyCredentialsHandler> credentials(&setProxyCredentialsHandler, neverAsked());
    RouteLog routes;

    HttpClientDownloader downloader(server.url("/x"), 10000, true);
    EXPECT_EQ(testing::readAll(*downloader.download(L"")), "direct");
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_FALSE(proxyCarried(proxy, server)) << proxy.log();
    ASSERT_EQ(routes.routes.size(), 1u);
    EXPECT_EQ(routes.routes[0].tried, std::vector<std::string>{"direct://"});
}

// A desktop that sets no proxy leaves the variables of the terminal working, as without a
// desktop.
TEST(DesktopProxy, ModeNoneLeavesTheProxyVariablesWorking) {
    HttpServer server;
    server.serve("/x", {200, {}, "via variables"});
    Tinyproxy proxy({"", "", {}});
    GnomeSession session;
    session.set("org.gnome.system.proxy", "mode", "'none'");
    testing::ScopedEnv env{{"http_proxy", proxy.url()}};

    HttpClientDownloader downloader(server.url("/x"), 10000, true);
    EXPECT_EQ(testing::readAll(*downloader.download(L"")), "via variables");
    EXPECT_TRUE(proxyCarried(proxy, server)) << proxy.log();
}

TEST(DesktopProxy, IgnoredHostsGoDirect) {
    struct Case {
        const char* ignoreHosts;
        bool direct;
    };
    const Case cases[] = {{"['127.0.0.1']", true},
                          {"['127.0.0.0/8']", true},
                          {"['example.com', '127.0.0.1']", true},
                          {"['localhost', '::1']", false},
                          {"['*.example.com']", false},
                          {"@as []", false}};
    HttpServer server;
    server.serve("/x", {200, {}, "body"});
    Tinyproxy proxy({"", "", {}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ignoreHosts);
        GnomeSession session;
        useManualProxy(session, proxy.port(), c.ignoreHosts);
        RouteLog routes;
        HttpClientDownloader downloader(server.url("/x"), 10000, true);
        EXPECT_EQ(testing::readAll(*downloader.download(L"")), "body");
        ASSERT_EQ(routes.routes.size(), 1u);
        EXPECT_EQ(routes.routes[0].tried,
                  std::vector<std::string>{c.direct ? std::string("direct://") : proxy.url()});
    }
    // Every proxied case went through the proxy, and only those.
    const std::string log = proxy.log();
    std::size_t carried = 0;
    for (auto at = log.find("GET http://127.0.0.1:"); at != std::string::npos;
         at = log.find("GET http://127.0.0.1:", at + 1)) {
        ++carried;
    }
    EXPECT_EQ(carried, 3u) << log;
    EXPECT_EQ(server.requests().size(), 6u);
}

// KDE keeps its proxy in kioslaverc, read by libproxy's KDE module through kreadconfig5.
TEST(DesktopProxy, KdeSettingsAreReadToo) {
    struct Case {
        const char* settings;
        bool proxied;
    };
    const Case cases[] = {
        {"ProxyType=1\nhttpProxy=http://127.0.0.1 @PORT@\n", true},
        {"ProxyType=1\nhttpProxy=http://127.0.0.1 @PORT@\nNoProxyFor=127.0.0.1\n", false},
        {"ProxyType=0\nhttpProxy=http://127.0.0.1 @PORT@\n", false},
    };
    HttpServer server;
    server.serve("/x", {200, {}, "body"});
    Tinyproxy proxy({"", "", {}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        quor::test::TempDir home;
        std::filesystem::create_directories(home.path() / "config");
        std::filesystem::create_directories(home.path() / "run");
        std::filesystem::permissions(home.path() / "run", std::filesystem::perms::owner_all);
        std::string settings = c.settings;
        settings.replace(settings.find("@PORT@"), 6, std::to_string(proxy.port()));
        quor::test::writeFile(home.path() / "config" / "kioslaverc",
                              "[Proxy Settings]\n" + settings);
        auto clean = testing::withoutProxy();
        testing::ScopedEnv kde{{"KDE_FULL_SESSION", "true"},
                               {"DESKTOP_SESSION", std::nullopt},
                               {"GNOME_DESKTOP_SESSION_ID", std::nullopt},
                               {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                               {"XDG_RUNTIME_DIR", (home.path() / "run").string()}};
        RouteLog routes;
        HttpClientDownloader downloader(server.url("/x"), 10000, true);
        EXPECT_EQ(testing::readAll(*downloader.download(L"")), "body");
        ASSERT_EQ(routes.routes.size(), 1u);
        EXPECT_EQ(routes.routes[0].tried,
                  std::vector<std::string>{c.proxied ? proxy.url() : std::string("direct://")});
    }
    EXPECT_NE(proxy.log().find("GET http://127.0.0.1:" + std::to_string(server.port()) + "/x"),
              std::string::npos)
        << proxy.log();
}

std::string pacScript(std::uint16_t deadPort, std::uint16_t proxyPort) {
    return "function FindProxyForURL(url, host) {\n"
           "  if (url.indexOf('/direct/') >= 0) return 'DIRECT';\n"
           "  return 'PROXY 127.0.0.1:" +
           std::to_string(deadPort) + "; PROXY 127.0.0.1:" + std::to_string(proxyPort) +
           "; DIRECT';\n"
           "}\n";
}

void useAutoconfig(GnomeSession& session, const HttpServer& pacServer) {
    session.set("org.gnome.system.proxy", "ignore-hosts", "@as []");
    session.set("org.gnome.system.proxy", "autoconfig-url",
                "'" + pacServer.origin() + "/proxy.pac'");
    session.set("org.gnome.system.proxy", "mode", "'auto'");
}

TEST(DesktopProxy, PacScriptChoosesAndItsProxiesAreTriedInOrder) {
    if (!quor::test::libproxyPacRunner()) {
        GTEST_SKIP() << "libproxy has no PAC runner here (libproxy1-plugin-webkit is not "
                        "installed): a PAC setup goes direct, which "
                        "DesktopProxy.PacWithoutItsRunnerGoesDirect checks";
    }
    HttpServer server;
    server.serve("/x.p7b", {200, {}, "proxied"});
    server.serve("/direct/y.crt", {200, {}, "direct"});
    Tinyproxy proxy({"", "", {}});
    const std::uint16_t dead = closedPort();
    HttpServer pacServer;
    pacServer.serve("/proxy.pac", {200,
                                   {{"Content-Type", "application/x-ns-proxy-autoconfig"}},
                                   pacScript(dead, proxy.port())});
    GnomeSession session;
    useAutoconfig(session, pacServer);
    RouteLog routes;

    {
        HttpClientDownloader downloader(server.url("/x.p7b"), 10000, true);
        EXPECT_EQ(testing::readAll(*downloader.download(L"")), "proxied");
    }
    {
        HttpClientDownloader downloader(server.url("/direct/y.crt"), 10000, true);
        EXPECT_EQ(testing::readAll(*downloader.download(L"")), "direct");
    }
    ASSERT_EQ(routes.routes.size(), 2u);
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(dead);
    EXPECT_EQ(routes.routes[0].tried, (std::vector<std::string>{deadProxy, proxy.url()}));
    EXPECT_EQ(routes.routes[1].tried, std::vector<std::string>{"direct://"});
    const std::string log = proxy.log();
    EXPECT_NE(log.find("/x.p7b"), std::string::npos) << log;
    EXPECT_EQ(log.find("/direct/y.crt"), std::string::npos) << log;
    EXPECT_FALSE(pacServer.requests().empty());
}

// libproxy without its PAC runner (only its GNOME module on the module path): the setup that
// names a PAC script gives the direct way, and the download works.
TEST(DesktopProxy, PacWithoutItsRunnerGoesDirect) {
    const auto modules = quor::test::libproxyModuleFolder();
    ASSERT_TRUE(modules) << "libproxy's GNOME module is missing (scripts/install-deps.sh "
                            "installs libproxy1-plugin-gsettings)";
    quor::test::TempDir onlyGnome;
    std::filesystem::create_symlink(*modules / "config_gnome3.so",
                                    onlyGnome.path() / "config_gnome3.so");
    HttpServer server;
    server.serve("/x.p7b", {200, {}, "body"});
    Tinyproxy proxy({"", "", {}});
    HttpServer pacServer;
    pacServer.serve("/proxy.pac", {200,
                                   {{"Content-Type", "application/x-ns-proxy-autoconfig"}},
                                   pacScript(proxy.port(), proxy.port())});
    GnomeSession session;
    useAutoconfig(session, pacServer);
    testing::ScopedEnv modulePath{{"PX_MODULE_PATH", onlyGnome.path().string()}};
    RouteLog routes;

    HttpClientDownloader downloader(server.url("/x.p7b"), 10000, true);
    EXPECT_EQ(testing::readAll(*downloader.download(L"")), "body");
    EXPECT_FALSE(proxyCarried(proxy, server)) << proxy.log();
    ASSERT_EQ(routes.routes.size(), 1u);
    EXPECT_EQ(routes.routes[0].tried, std::vector<std::string>{"direct://"});
}

}  // namespace
}  // namespace quor::net
