#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "net/http_client_downloader.h"
#include "net/proxy_credentials.h"
#include "tests/net/net_test_support.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tinyproxy.h"
#include "tests/support/tls_identity.h"

namespace quor::net {
namespace {

using quor::test::HttpServer;
using quor::test::Tinyproxy;

// Registers a handler for the test's lifetime and puts the previous one back.
class ScopedProxyHandler {
  public:
    explicit ScopedProxyHandler(ProxyCredentialsHandler handler)
        : previous_(setProxyCredentialsHandler(std::move(handler))) {}
    ~ScopedProxyHandler() { setProxyCredentialsHandler(std::move(previous_)); }
    ScopedProxyHandler(const ScopedProxyHandler&) = delete;
    ScopedProxyHandler& operator=(const ScopedProxyHandler&) = delete;

  private:
    ProxyCredentialsHandler previous_;
};

enum class Answer { Right, Wrong, Refuse };

struct ProxyCase {
    const char* name;
    bool secure;
    bool handlerRegistered;
    // What the user answers at each question; asking beyond the list refuses.
    std::vector<Answer> answers;
    bool reachesServer;
    std::size_t questions;
};

class ProxyDemandingCredentials : public ::testing::TestWithParam<ProxyCase> {
  protected:
    quor::test::TempDir dir_;
};

TEST_P(ProxyDemandingCredentials, AsksTheHandlerUntilItConfirmsOrRefuses) {
    const ProxyCase& c = GetParam();
    std::optional<HttpServer> server;
    if (c.secure) {
        server.emplace(quor::test::makeServerIdentity(dir_.path(), "proxied", {}));
    } else {
        server.emplace();
    }
    server->serve("/Chains.xml", {200, {}, "<Chains/>"});
    Tinyproxy proxy({"user", "pass", {server->port()}});
    testing::ScopedEnv env{{"http_proxy", proxy.url()},   {"https_proxy", proxy.url()},
                           {"HTTPS_PROXY", std::nullopt}, {"all_proxy", std::nullopt},
                           {"ALL_PROXY", std::nullopt},   {"no_proxy", std::nullopt},
                           {"NO_PROXY", std::nullopt}};

    std::vector<ProxyCredentialsRequest> questions;
    ProxyCredentialsHandler handler;
    if (c.handlerRegistered) {
        handler = [&](const ProxyCredentialsRequest& request) -> std::optional<ProxyCredentials> {
            questions.push_back(request);
            if (questions.size() > c.answers.size())
                return std::nullopt;
            switch (c.answers[questions.size() - 1]) {
                case Answer::Right:
                    return ProxyCredentials{"user", "pass"};
                case Answer::Wrong:
                    return ProxyCredentials{"user", "wrong"};
                case Answer::Refuse:
                    return std::nullopt;
            }
            return std::nullopt;
        };
    }
    ScopedProxyHandler registered(handler);

    HttpClientDownloader downloader(server->url("/Chains.xml"), 10000, true);
    const std::string body = testing::readAll(*downloader.download(L""));

    EXPECT_EQ(questions.size(), c.questions) << proxy.log();
    for (std::size_t i = 0; i < questions.size(); ++i) {
        EXPECT_EQ(questions[i].attempt, static_cast<int>(i + 1));
        EXPECT_EQ(questions[i].proxy, proxy.url());
        EXPECT_EQ(questions[i].target,
                  "127.0.0.1:" + std::to_string(server->port()) + "/Chains.xml");
    }

    if (c.reachesServer) {
        EXPECT_EQ(body, "<Chains/>");
        ASSERT_EQ(server->requests().size(), 1u);
        // The proxy's credentials stay with the proxy.
        EXPECT_EQ(server->requests()[0].headerCount("Proxy-Authorization"), 0u);
    } else {
        EXPECT_TRUE(server->requests().empty());
        // Plain HTTP shows the proxy's 407 page; a refused tunnel has no page to show.
        if (c.secure) {
            EXPECT_EQ(body, "");
        } else {
            EXPECT_TRUE(body.find("407") != std::string::npos ||
                        body.find("401 Unauthorized") != std::string::npos)
                << body;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ProxyDemandingCredentials,
    ::testing::Values(
        ProxyCase{"http_confirms", false, true, {Answer::Right}, true, 1},
        // tinyproxy answers a wrong password with its 401 page (not 407): that is a final
        // answer, since a 401 through a plain proxy may as well come from the server.
        ProxyCase{"http_wrong", false, true, {Answer::Wrong, Answer::Right}, false, 1},
        ProxyCase{"http_refuses", false, true, {Answer::Refuse}, false, 1},
        ProxyCase{"http_no_handler", false, false, {}, false, 0},
        ProxyCase{"https_confirms", true, true, {Answer::Right}, true, 1},
        ProxyCase{"https_wrong_then_right", true, true, {Answer::Wrong, Answer::Right}, true, 2},
        ProxyCase{
            "https_wrong_then_refuses", true, true, {Answer::Wrong, Answer::Refuse}, false, 2},
        ProxyCase{"https_refuses", true, true, {Answer::Refuse}, false, 1},
        ProxyCase{"https_no_handler", true, false, {}, false, 0}),
    [](const ::testing::TestParamInfo<ProxyCase>& param) { return std::string(param.param.name); });

// A proxy that keeps answering 407 until it sees the right Basic credentials: the loopback
// server, addressed as a proxy (requests arrive with the absolute URL as target).
TEST(ProxyDemandingCredentialsRepeatedly, AsksAgainAfterEachWrongAnswer) {
    struct Case {
        std::vector<Answer> answers;
        std::size_t questions;
        bool served;
    };
    const Case cases[] = {{{Answer::Wrong, Answer::Wrong, Answer::Right}, 3, true},
                          {{Answer::Wrong, Answer::Wrong, Answer::Refuse}, 3, false}};
    for (const Case& c : cases) {
        HttpServer proxy;
        std::atomic<int> demands{0};
        const std::string target = "http://origin.invalid:8080/list.xml";
        proxy.handle(target, [&](quor::test::HttpExchange& exchange) {
            if (exchange.request().header("Proxy-Authorization") == "Basic dXNlcjpwYXNz") {
                exchange.respond({200, {}, "via proxy"});
                return;
            }
            ++demands;
            exchange.respond(
                {407, {{"Proxy-Authenticate", "Basic realm=\"quor\""}}, "407 credentials please"});
        });
        testing::ScopedEnv env{
            {"http_proxy", proxy.origin()}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}};
        std::size_t asked = 0;
        ScopedProxyHandler registered(
            [&](const ProxyCredentialsRequest& request) -> std::optional<ProxyCredentials> {
                EXPECT_EQ(request.attempt, static_cast<int>(asked + 1));
                EXPECT_EQ(request.target, "origin.invalid:8080/list.xml");
                const Answer answer = c.answers.at(asked++);
                if (answer == Answer::Refuse)
                    return std::nullopt;
                return ProxyCredentials{"user", answer == Answer::Right ? "pass" : "nope"};
            });
        HttpClientDownloader downloader(L"http://origin.invalid:8080/list.xml", 10000, true);
        const std::string body = testing::readAll(*downloader.download(L""));
        EXPECT_EQ(asked, c.questions);
        EXPECT_EQ(body, c.served ? "via proxy" : "407 credentials please");
        EXPECT_EQ(demands.load(), static_cast<int>(c.questions));
    }
}

TEST(ProxyFromEnvironment, NoProxyListBypassesTheProxy) {
    HttpServer server;
    server.serve("/x", {200, {}, "direct"});
    Tinyproxy proxy({"user", "pass", {}});
    testing::ScopedEnv env{{"http_proxy", proxy.url()}, {"no_proxy", "127.0.0.1"}};
    ScopedProxyHandler registered([](const ProxyCredentialsRequest&) {
        ADD_FAILURE() << "the proxy was asked";
        return std::optional<ProxyCredentials>();
    });
    HttpClientDownloader downloader(server.url("/x"), 10000, true);
    EXPECT_EQ(testing::readAll(*downloader.download(L"")), "direct");
}

}  // namespace
}  // namespace quor::net
