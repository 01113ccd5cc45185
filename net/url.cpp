#include "net/url.h"

#include <locale>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <boost/regex.hpp>

namespace quor::net {

namespace {

// Compiled once for the process. Boost's matcher keeps its backtracking state on the heap, so a
// URL of megabytes cannot exhaust the stack the way a recursive matcher would.
const boost::wregex& urlPattern() {
    // "." of ECMAScript, which refuses only line feed and carriage return; Boost's own "."
    // would also refuse form feed and the Unicode line separators.
    static const boost::wregex pattern(LR"((?:([^\n\r]*)://)?([^:/]*)(?:\:(\d+))?([^\n\r]*))",
                                       boost::regex_constants::ECMAScript);
    return pattern;
}

std::wstring upperCase(std::wstring text) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
    for (wchar_t& c : text)
        c = ctype.toupper(c);
    return text;
}

}  // namespace

UrlParts parseUrl(const std::wstring& url) {
    boost::wsmatch match;
    if (!boost::regex_match(url, match, urlPattern()) || match.size() != 5) {
        throw std::invalid_argument("Irregular URL");
    }
    UrlParts parts;
    if (match[1].matched) {
        const std::wstring scheme = upperCase(match[1].str());
        if (scheme == upperCase(L"http")) {
            parts.secure = false;
            parts.port = 80;
        } else if (scheme == upperCase(L"https")) {
            parts.secure = true;
            parts.port = 443;
        } else {
            throw std::invalid_argument("Only http or https supported");
        }
    }
    parts.host = match[2].str();
    if (match[3].matched && match[3].length() > 0) {
        parts.port = boost::lexical_cast<std::uint16_t>(match[3].str());
    }
    parts.path = match[4].str();
    return parts;
}

}  // namespace quor::net
