#include "net/http_client_downloader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/lexical_cast.hpp>

#include "net/host_not_found_exception.h"
#include "tests/net/net_test_support.h"
#include "tests/support/http_server.h"

namespace quor::net {
namespace {

using namespace std::chrono_literals;
using quor::test::CannedResponse;
using quor::test::HttpExchange;
using quor::test::HttpServer;
using ::testing::ElementsAre;
using testing::readAll;

constexpr int kTimeoutMs = 60000;

std::string expectUnreachable(HttpClientDownloader& downloader, const std::wstring& relative) {
    try {
        downloader.download(relative);
    } catch (const HostNotFoundException& e) {
        return e.what();
    }
    ADD_FAILURE() << "download succeeded";
    return {};
}

// Bytes of a body that a reader can check position by position.
char patternByte(std::uint64_t offset) {
    return static_cast<char>('a' + (offset * 7 + offset / 4096) % 26);
}

class DownloaderTest : public ::testing::Test {
  protected:
    testing::ScopedEnv noProxy_ = testing::withoutProxy();
    HttpServer server_;
};

struct StatusCase {
    int status;
    std::string body;
};

class DownloadStatus : public DownloaderTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DownloadStatus, AnyStatusYieldsItsBodyWithoutError) {
    const StatusCase& c = GetParam();
    server_.serve("/file", {c.status, {{"Content-Type", "text/html"}}, c.body});
    HttpClientDownloader downloader(server_.url("/file"), kTimeoutMs, true);
    std::istream* body = downloader.download(L"");
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(readAll(*body), c.body);
    EXPECT_EQ(server_.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, DownloadStatus,
                         ::testing::Values(StatusCase{200, "<Chains/>"},
                                           StatusCase{404, "<html>not here</html>"},
                                           StatusCase{500, "<html>server broke</html>"},
                                           StatusCase{200, ""}, StatusCase{404, ""}));

TEST_F(DownloaderTest, SendsTheRequestProfile) {
    server_.serve("/base/Chains.xml", {200, {}, "x"});
    HttpClientDownloader downloader(server_.url("/base/"), kTimeoutMs, true);
    readAll(*downloader.download(L"Chains.xml"));

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.requestLine, "GET /base/Chains.xml HTTP/1.1");
    EXPECT_EQ(request.header("User-Agent"), "QuorsaApplication");
    EXPECT_EQ(request.header("Accept"), "*/*");
    EXPECT_EQ(request.header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.header("Pragma"), "no-cache");
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server_.port()));
    EXPECT_THAT(request.header("Connection"),
                ::testing::Optional(::testing::StrCaseEq("keep-alive")));
    for (const char* absent : {"Content-Length", "Content-Type", "Expect", "Accept-Encoding",
                               "Authorization", "Proxy-Authorization"}) {
        EXPECT_EQ(request.headerCount(absent), 0u) << absent;
    }
    EXPECT_EQ(request.headers.size(), 6u);
    EXPECT_TRUE(request.body.empty());
}

TEST_F(DownloaderTest, OffersExtraAcceptTypesFirstAndSendsEachHeaderOnce) {
    server_.serve("/x", {200, {}, "x"});
    HttpClientDownloader downloader(server_.url("/x"), kTimeoutMs, true);
    downloader.setAcceptTypes({L"application/xml", L"application/pkcs7-mime"});
    downloader.setHeaders({{L"X-First", L"one"}, {L"X-Second", L"two words"}, {L"X-Empty", L""}});
    readAll(*downloader.download(L""));

    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.header("Accept"), "application/xml, application/pkcs7-mime, */*");
    EXPECT_EQ(request.headerCount("Accept"), 1u);
    EXPECT_EQ(request.header("X-First"), "one");
    EXPECT_EQ(request.header("X-Second"), "two words");
    EXPECT_EQ(request.header("X-Empty"), "");
    for (const char* name : {"X-First", "X-Second", "X-Empty"}) {
        EXPECT_EQ(request.headerCount(name), 1u) << name;
    }
}

TEST_F(DownloaderTest, RefusesHeadersThatWouldSmuggleLines) {
    HttpClientDownloader downloader(server_.url("/x"), kTimeoutMs, true);
    const std::unordered_map<std::wstring, std::wstring> bad[] = {{{L"X-A", L"v\r\nX-Injected: 1"}},
                                                                  {{L"X-A", L"v\nX-Injected: 1"}},
                                                                  {{L"X-A\r\nX-Injected", L"1"}},
                                                                  {{L"X-A: b", L"1"}},
                                                                  {{L"", L"1"}}};
    for (const auto& headers : bad) {
        EXPECT_THROW(downloader.setHeaders(headers), std::invalid_argument);
    }
    EXPECT_THROW(downloader.setAcceptTypes({L"text/xml\r\nX-Injected: 1"}), std::invalid_argument);
}

TEST_F(DownloaderTest, PostSendsTheBodyAsGiven) {
    server_.serve("/submit", {200, {}, "done"});
    HttpClientDownloader downloader(server_.url("/submit"), kTimeoutMs, true);
    downloader.setMethod(HttpClientDownloader::Method::Post);
    downloader.setBody({'a', '=', '1', 0, 0xFF});
    EXPECT_EQ(readAll(*downloader.download(L"")), "done");
    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, std::string("a=1\0\xFF", 5));
    EXPECT_EQ(request.headerCount("Content-Type"), 0u);
}

struct ObjectCase {
    std::string urlPath;
    std::wstring relative;
    std::string requestTarget;
};

class DownloadObjectName : public DownloaderTest,
                           public ::testing::WithParamInterface<ObjectCase> {};

TEST_P(DownloadObjectName, JoinsUrlPathAndRelativePath) {
    const ObjectCase& c = GetParam();
    HttpClientDownloader downloader(server_.url(c.urlPath), kTimeoutMs, true);
    readAll(*downloader.download(c.relative));
    ASSERT_EQ(server_.requests().size(), 1u);
    EXPECT_EQ(server_.requests()[0].target, c.requestTarget);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DownloadObjectName,
    ::testing::Values(
        ObjectCase{"/DEZIruva/certificados/", L"Chains.xml", "/DEZIruva/certificados/Chains.xml"},
        ObjectCase{"/DEZIruva/certificados/Chains.xml", L"", "/DEZIruva/certificados/Chains.xml"},
        ObjectCase{"/a", L"b", "/a/b"}, ObjectCase{"/a/", L"b", "/a/b"},
        // The request line needs a leading slash.
        ObjectCase{"", L"b", "/b"}, ObjectCase{"", L"", "/"},
        ObjectCase{"/a?x=1&y=2", L"", "/a?x=1&y=2"}, ObjectCase{"/a/../b/./c", L"", "/a/../b/./c"},
        ObjectCase{"/sp ace", L"caf\u00e9", "/sp%20ace/caf%C3%A9"}));

TEST(JoinObjectPath, PutsOneSlashBetweenNonEmptyParts) {
    struct Case {
        std::wstring path, relative, joined;
    };
    for (const Case& c : {Case{L"/a", L"b", L"/a/b"}, Case{L"/a/", L"b", L"/a/b"},
                          Case{L"/a", L"", L"/a"}, Case{L"", L"b", L"b"}, Case{L"", L"", L""},
                          Case{L"/a/", L"/b", L"/a//b"}, Case{L"/a", L"/b", L"/a//b"}}) {
        EXPECT_EQ(HttpClientDownloader::joinObjectPath(c.path, c.relative), c.joined);
    }
}

TEST_F(DownloaderTest, SamePathReturnsTheSameStreamWithoutANewRequest) {
    server_.serve("/f", {200, {}, "0123456789"});
    HttpClientDownloader downloader(server_.url("/f"), kTimeoutMs, true);
    std::istream* first = downloader.download(L"");
    char head[4] = {};
    first->read(head, 4);
    ASSERT_EQ(std::string(head, 4), "0123");

    HttpClientDownloader copy = downloader;
    std::istream* second = copy.download(L"");
    EXPECT_EQ(second, first);
    EXPECT_EQ(readAll(*second), "456789");
    EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(DownloaderTest, AnotherPathReplacesTheStreamOnlyAfterItsRequestSucceeds) {
    server_.serve("/dir/a", {200, {}, "AAAA"});
    server_.serve("/dir/b", {200, {}, "BBBB"});
    // Answers nothing until the client gives up.
    server_.handle("/dir/stall", [](HttpExchange& exchange) { exchange.pause(10s); });
    HttpClientDownloader downloader(server_.url("/dir"), 500, true);

    std::istream* a = downloader.download(L"a");
    char first = 0;
    a->get(first);
    EXPECT_EQ(first, 'A');

    EXPECT_THROW(downloader.download(L"stall"), HostNotFoundException);
    // The failed request left the stream of "a" current and where it was.
    EXPECT_EQ(downloader.download(L"a"), a);
    EXPECT_EQ(readAll(*a), "AAA");

    EXPECT_EQ(readAll(*downloader.download(L"b")), "BBBB");
    // Back to "a": a new request, since "b" replaced it.
    EXPECT_EQ(readAll(*downloader.download(L"a")), "AAAA");

    std::vector<std::string> targets;
    for (const auto& request : server_.requests())
        targets.push_back(request.target);
    EXPECT_THAT(targets, ElementsAre("/dir/a", "/dir/stall", "/dir/b", "/dir/a"));
}

TEST_F(DownloaderTest, KeepsTheConnectionAliveBetweenDownloads) {
    server_.serve("/a", {200, {}, "a"});
    server_.serve("/b", {200, {}, "b"});
    HttpClientDownloader downloader(server_.url(""), kTimeoutMs, true);
    EXPECT_EQ(readAll(*downloader.download(L"a")), "a");
    EXPECT_EQ(readAll(*downloader.download(L"b")), "b");
    EXPECT_EQ(readAll(*downloader.download(L"a")), "a");
    EXPECT_EQ(server_.requests().size(), 3u);
    EXPECT_EQ(server_.connectionsAccepted(), 1u);
}

// The install run keeps its list downloader for the whole run and makes one downloader per
// entry: while one downloader lives, the later ones reuse its connection, from any thread.
TEST_F(DownloaderTest, DownloadersAliveAtTheSameTimeShareTheKeptAliveConnection) {
    server_.serve("/list", {200, {}, "list"});
    server_.serve("/entry", {200, {}, "entry"});
    HttpClientDownloader list(server_.url(""), kTimeoutMs, true);
    EXPECT_EQ(readAll(*list.download(L"list")), "list");
    for (int i = 0; i < 3; ++i) {
        HttpClientDownloader entry(server_.url(""), kTimeoutMs, true);
        EXPECT_EQ(readAll(*entry.download(L"entry")), "entry");
    }
    std::thread([&] {
        HttpClientDownloader entry(server_.url(""), kTimeoutMs, true);
        EXPECT_EQ(readAll(*entry.download(L"entry")), "entry");
    }).join();
    EXPECT_EQ(server_.requests().size(), 5u);
    EXPECT_EQ(server_.connectionsAccepted(), 1u);
}

struct RedirectCase {
    int status;
    bool follow;
    std::string expectedBody;
    std::vector<std::string> expectedTargets;
};

class DownloadRedirect : public DownloaderTest,
                         public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(DownloadRedirect, FollowsOrReturnsTheRedirect) {
    const RedirectCase& c = GetParam();
    server_.serve("/old", {c.status, {{"Location", "/new"}}, "moved"});
    server_.serve("/new", {200, {}, "the new file"});
    HttpClientDownloader downloader(server_.url("/old"), kTimeoutMs, c.follow);
    EXPECT_EQ(readAll(*downloader.download(L"")), c.expectedBody);
    std::vector<std::string> targets;
    for (const auto& request : server_.requests())
        targets.push_back(request.target);
    EXPECT_EQ(targets, c.expectedTargets);
}

INSTANTIATE_TEST_SUITE_P(
    Redirects, DownloadRedirect,
    ::testing::Values(RedirectCase{301, true, "the new file", {"/old", "/new"}},
                      RedirectCase{302, true, "the new file", {"/old", "/new"}},
                      RedirectCase{307, true, "the new file", {"/old", "/new"}},
                      RedirectCase{301, false, "moved", {"/old"}},
                      RedirectCase{302, false, "moved", {"/old"}}));

TEST_F(DownloaderTest, RedirectLoopEndsInsteadOfRunningForever) {
    server_.serve("/loop", {302, {{"Location", "/loop"}}, "again"});
    HttpClientDownloader downloader(server_.url("/loop"), kTimeoutMs, true);
    const std::string message = expectUnreachable(downloader, L"");
    EXPECT_EQ(message, "127.0.0.1:" + std::to_string(server_.port()) + "/loop: Unreachable");
    EXPECT_LE(server_.requests().size(), 40u);
}

TEST_F(DownloaderTest, NoAnswerWithinTheTimeoutIsUnreachable) {
    server_.handle("/stall", [](HttpExchange& exchange) { exchange.pause(30s); });
    HttpClientDownloader downloader(server_.url("/stall"), 300, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(expectUnreachable(downloader, L""),
              "127.0.0.1:" + std::to_string(server_.port()) + "/stall: Unreachable");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(DownloaderTest, BodyThatStopsArrivingEndsTheStreamAfterTheTimeout) {
    server_.handle("/slow", [](HttpExchange& exchange) {
        exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nfirst part");
        exchange.pause(30s);
    });
    HttpClientDownloader downloader(server_.url("/slow"), 300, true);
    std::istream* body = downloader.download(L"");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readAll(*body), "first part");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(DownloaderTest, SlowButSteadyBodyIsNotCutByTheTimeout) {
    server_.handle("/trickle", [](HttpExchange& exchange) {
        exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n");
        for (char c : std::string("abcdef")) {
            if (!exchange.pause(150ms) || !exchange.write(std::string(1, c)))
                return;
        }
    });
    HttpClientDownloader downloader(server_.url("/trickle"), 400, true);
    EXPECT_EQ(readAll(*downloader.download(L"")), "abcdef");
}

TEST_F(DownloaderTest, BodyCutInTheMiddleLooksShorter) {
    const std::string half(50000, 'h');
    server_.handle("/cut", [&](HttpExchange& exchange) {
        exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + half);
        exchange.closeAfter();
    });
    HttpClientDownloader downloader(server_.url("/cut"), kTimeoutMs, true);
    EXPECT_EQ(readAll(*downloader.download(L"")), half);
}

TEST_F(DownloaderTest, ReadsAChunkedBody) {
    server_.handle("/chunked", [](HttpExchange& exchange) {
        exchange.write(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\nHello\r\n"
            "1;ext=1\r\n,\r\n");
        exchange.pause(50ms);
        exchange.write("6\r\n world\r\n0\r\n\r\n");
    });
    HttpClientDownloader downloader(server_.url("/chunked"), kTimeoutMs, true);
    EXPECT_EQ(readAll(*downloader.download(L"")), "Hello, world");
}

TEST_F(DownloaderTest, LargeBodyIsPulledAsReadNotBufferedWhole) {
    constexpr std::uint64_t kSize = 64ull << 20;
    server_.handle("/large", [](HttpExchange& exchange) {
        if (!exchange.write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) +
                            "\r\n\r\n")) {
            return;
        }
        std::string block(1 << 16, '\0');
        for (std::uint64_t offset = 0; offset < kSize; offset += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = patternByte(offset + i);
            if (!exchange.write(block))
                return;
        }
    });
    HttpClientDownloader downloader(server_.url("/large"), kTimeoutMs, true);
    std::istream* body = downloader.download(L"");
    char buffer[4096];
    body->read(buffer, sizeof buffer);
    ASSERT_EQ(body->gcount(), 4096);
    // The reader stops; the server can only fill the socket buffers and the client's small one.
    std::this_thread::sleep_for(400ms);
    EXPECT_LT(server_.bytesWritten(), 24ull << 20);

    std::uint64_t offset = 4096;
    std::uint64_t mismatches = 0;
    while (body->read(buffer, sizeof buffer) || body->gcount() > 0) {
        for (std::streamsize i = 0; i < body->gcount(); ++i) {
            if (buffer[i] != patternByte(offset + static_cast<std::uint64_t>(i)))
                ++mismatches;
        }
        offset += static_cast<std::uint64_t>(body->gcount());
    }
    EXPECT_EQ(offset, kSize);
    EXPECT_EQ(mismatches, 0u);
}

std::uint16_t refusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);  // nobody listens there now
    return ntohs(address.sin_port);
}

TEST_F(DownloaderTest, UnreachableTargetsFailAtDownloadNotAtConstruction) {
    const std::string port = std::to_string(refusedPort());
    const std::string serverPort = std::to_string(server_.port());
    struct Case {
        std::wstring url;
        std::wstring relative;
        std::string message;
    };
    const Case cases[] = {
        {L"http://127.0.0.1:" + std::wstring(port.begin(), port.end()) + L"/dir", L"f.xml",
         "127.0.0.1:" + port + "/dir/f.xml: Unreachable"},
        {L"https://127.0.0.1:" + std::wstring(port.begin(), port.end()), L"",
         "127.0.0.1:" + port + ": Unreachable"},
        {L"http:///x", L"", ":80/x: Unreachable"},
        // Host text must never turn into URL syntax: no user "u" at 127.0.0.1 here.
        {L"http://u@127.0.0.1:" + std::wstring(serverPort.begin(), serverPort.end()) + L"/x", L"",
         "u@127.0.0.1:" + serverPort + "/x: Unreachable"},
        {L"http://127.0.0.1 /x", L"", "127.0.0.1 :80/x: Unreachable"},
    };
    for (const Case& c : cases) {
        HttpClientDownloader byString(c.url, 2000, true);
        EXPECT_TRUE(byString.isReady());
        EXPECT_EQ(expectUnreachable(byString, c.relative), c.message);
        HttpClientDownloader byPointer(c.url.c_str(), 2000, true);
        EXPECT_EQ(expectUnreachable(byPointer, c.relative), c.message);
    }
    EXPECT_TRUE(server_.requests().empty());
}

TEST(HttpClientDownloaderConstruction, RefusesBadUrlsWithEitherConstructor) {
    struct Case {
        std::wstring url;
        std::string message;  // empty: boost::bad_lexical_cast
    };
    for (const Case& c : {Case{L"ftp://h/x", "Only http or https supported"},
                          Case{L"http://h/a\nb", "Irregular URL"}, Case{L"h:70000/x", ""}}) {
        if (c.message.empty()) {
            EXPECT_THROW(HttpClientDownloader(c.url, kTimeoutMs, true), boost::bad_lexical_cast);
            EXPECT_THROW(HttpClientDownloader(c.url.c_str(), kTimeoutMs, true),
                         boost::bad_lexical_cast);
            continue;
        }
        for (int constructor = 0; constructor < 2; ++constructor) {
            try {
                if (constructor == 0) {
                    HttpClientDownloader(c.url, kTimeoutMs, true);
                } else {
                    HttpClientDownloader(c.url.c_str(), kTimeoutMs, true);
                }
                ADD_FAILURE() << "accepted " << c.message;
            } catch (const std::invalid_argument& e) {
                EXPECT_EQ(std::string(e.what()), c.message);
            }
        }
    }
    EXPECT_THROW(HttpClientDownloader(static_cast<const wchar_t*>(nullptr), kTimeoutMs, true),
                 std::invalid_argument);
}

TEST(HostNotFoundExceptionMessage, NarrowsTheTargetByteForByte) {
    static_assert(std::is_base_of_v<std::exception, HostNotFoundException>);
    EXPECT_STREQ(HostNotFoundException(L"h:80/a/b.xml").what(), "h:80/a/b.xml: Unreachable");
    EXPECT_STREQ(HostNotFoundException(L"").what(), ": Unreachable");
    EXPECT_EQ(std::string(HostNotFoundException(L"h\u00e9:80/\u00ff").what()),
              "h\xe9:80/\xff: Unreachable");
    try {
        HostNotFoundException(L"h:80/\u0100");
        ADD_FAILURE() << "a character above U+00FF was narrowed";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
    const HostNotFoundException original(L"h:1/x");
    const HostNotFoundException copy = original;
    EXPECT_STREQ(copy.what(), original.what());
}

}  // namespace
}  // namespace quor::net
