#include "net/url.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <boost/lexical_cast.hpp>

namespace quor::net {
namespace {

struct UrlCase {
    std::wstring url;
    bool secure;
    std::uint16_t port;
    std::wstring host;
    std::wstring path;
};

class ParseUrlAccepts : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ParseUrlAccepts, SplitsIntoTlsPortHostAndPath) {
    const UrlCase& c = GetParam();
    const UrlParts parts = parseUrl(c.url);
    EXPECT_EQ(parts.secure, c.secure);
    EXPECT_EQ(parts.port, c.port);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ParseUrlAccepts,
    ::testing::Values(
        UrlCase{L"http://download.example/DEZIruva/certificados/", false, 80, L"download.example",
                L"/DEZIruva/certificados/"},
        UrlCase{L"HTTP://h/x", false, 80, L"h", L"/x"}, UrlCase{L"hTtP://h", false, 80, L"h", L""},
        UrlCase{L"https://h/x", true, 443, L"h", L"/x"},
        UrlCase{L"HTTPS://h/x", true, 443, L"h", L"/x"},
        UrlCase{L"https://h:8443/x?q=1#f", true, 8443, L"h", L"/x?q=1#f"},
        UrlCase{L"h:81/x", false, 81, L"h", L"/x"}, UrlCase{L"h", false, 80, L"h", L""},
        UrlCase{L"", false, 80, L"", L""}, UrlCase{L"h:x/y", false, 80, L"h", L":x/y"},
        UrlCase{L"h:08/a", false, 8, L"h", L"/a"}, UrlCase{L"h:65535", false, 65535, L"h", L""},
        UrlCase{L"http://h:/x", false, 80, L"h", L":/x"},
        UrlCase{L"http://:81", false, 81, L"", L""},
        // A line break in the host part is taken as part of the host.
        UrlCase{L"http://h\nx/y", false, 80, L"h\nx", L"/y"},
        UrlCase{L"h\r:82/y", false, 82, L"h\r", L"/y"},
        // A scheme group cannot hold a line feed, so the text falls to host and path.
        UrlCase{L"ht\ntp://h/x", false, 80, L"ht\ntp", L"://h/x"},
        // Only line feed and carriage return stop ".": other controls are path text.
        UrlCase{L"http://h/a\tb\fc\x85"
                L"d",
                false, 80, L"h",
                L"/a\tb\fc\x85"
                L"d"},
        UrlCase{L"http://h/caf\u00e9/\u2603", false, 80, L"h", L"/caf\u00e9/\u2603"}));

struct RefusedCase {
    std::wstring url;
    std::string message;
};

class ParseUrlRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(ParseUrlRefuses, WithTheFixedMessage) {
    const RefusedCase& c = GetParam();
    try {
        parseUrl(c.url);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ParseUrlRefuses,
    ::testing::Values(RefusedCase{L"ftp://h/x", "Only http or https supported"},
                      RefusedCase{L"httpx://h", "Only http or https supported"},
                      RefusedCase{L"://h", "Only http or https supported"},
                      // The scheme runs up to the last "://", here inside the query.
                      RefusedCase{L"http://h/x?next=http://other/", "Only http or https supported"},
                      RefusedCase{L"http://h/a\nb", "Irregular URL"},
                      RefusedCase{L"http://h/a\rb", "Irregular URL"},
                      RefusedCase{L"h:81/x\n", "Irregular URL"},
                      RefusedCase{L"http://h\n/x\r", "Irregular URL"}));

TEST(ParseUrl, PortAbove65535IsABadLexicalCast) {
    for (const wchar_t* url : {L"h:65536/x", L"https://h:99999999999999999999/"}) {
        EXPECT_THROW(parseUrl(url), boost::bad_lexical_cast) << std::string(url, url + 3);
    }
}

TEST(ParseUrl, UrlsOfMegabytesDoNotExhaustTheStack) {
    const std::size_t length = 2 * 1024 * 1024;
    const std::wstring longPath(length, L'a');

    const UrlParts withPath = parseUrl(L"https://h:444/" + longPath);
    EXPECT_TRUE(withPath.secure);
    EXPECT_EQ(withPath.port, 444);
    EXPECT_EQ(withPath.path.size(), length + 1);

    const UrlParts longHost = parseUrl(longPath + L":81/x");
    EXPECT_EQ(longHost.host.size(), length);
    EXPECT_EQ(longHost.port, 81);

    EXPECT_THROW(parseUrl(L"http://h/" + longPath + L"\n"), std::invalid_argument);
    EXPECT_THROW(parseUrl(longPath + L"://h/x"), std::invalid_argument);
}

}  // namespace
}  // namespace quor::net
