// Splitting a download URL into the parts a downloader needs.
#pragma once

#include <cstdint>
#include <string>

namespace quor::net {

// The parts of a URL that a downloader keeps: TLS choice, TCP port, host and path.
struct UrlParts {
    bool secure = false;
    std::uint16_t port = 80;
    std::wstring host;
    // Everything after the host and port, query and fragment included; may be empty and need not
    // begin with "/".
    std::wstring path;
};

// parseUrl splits `url` with the process-wide URL pattern
// "(?:(.*)://)?([^:/]*)(?:\:(\d+))?(.*)", matched against the whole text.
//
// Scheme "http" (any letter case) or no scheme gives plain HTTP on port 80, "https" gives TLS on
// port 443; explicit port digits replace the default. Because the scheme group is greedy, the
// scheme is everything before the last "://".
//
// Throws std::invalid_argument("Irregular URL") when the text does not match (a line feed or
// carriage return outside the host part), std::invalid_argument("Only http or https supported")
// for any other scheme, and boost::bad_lexical_cast for port digits above 65535.
//
// Matching does not recurse per character, so URLs of any length are safe to parse.
UrlParts parseUrl(const std::wstring& url);

}  // namespace quor::net
