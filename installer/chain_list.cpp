#include "installer/chain_list.h"

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>

#ifndef QUOR_CHAIN_BASE_URL
#error "QUOR_CHAIN_BASE_URL must name the download folder"
#endif

namespace quor::installer {

const std::wstring chainBaseUrl = L"" QUOR_CHAIN_BASE_URL;

std::wstring toWide(const std::string& narrow) {
    std::wstring wide;
    wide.reserve(narrow.size());
    for (char c : narrow) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring chainListUrl(const std::wstring& baseUrl) {
    return baseUrl + L"Chains.xml";
}

std::wstring chainFileUrl(const std::wstring& baseUrl, const std::wstring& name) {
    return baseUrl + name;
}

namespace {

// The XML reader descends one level of the call stack per nested element, so a list nested a
// few hundred thousand levels deep (a few megabytes from the server) would overflow the stack.
// A real list is two levels deep; anything past this is refused before the reader runs.
constexpr int kMaxNesting = 256;

// Position just after `end` at or after `from`, or the end of the text.
std::size_t skipPast(const std::string& text, std::size_t from, const char* end) {
    const std::size_t at = text.find(end, from);
    return at == std::string::npos ? text.size() : at + std::char_traits<char>::length(end);
}

// Throws the reader's own error type when elements nest deeper than kMaxNesting. Comments,
// CDATA sections, processing instructions and declarations open no level; quoted attribute
// values are skipped so a ">" or "/>" inside them cannot hide a level. Text that is not
// well-formed is left for the reader to report.
void checkNesting(const std::string& text) {
    int depth = 0;
    std::size_t i = 0;
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            i = skipPast(text, i + 4, "-->");
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            i = skipPast(text, i + 9, "]]>");
        } else if (text.compare(i, 2, "<?") == 0) {
            i = skipPast(text, i + 2, "?>");
        } else if (text.compare(i, 2, "<!") == 0) {
            // A declaration; its internal subset, if any, ends with "]" before the ">".
            const std::size_t close = text.find('>', i);
            const std::size_t bracket = text.find('[', i);
            i = bracket != std::string::npos && bracket < close ? skipPast(text, bracket, "]")
                                                                : skipPast(text, i, ">");
        } else if (text.compare(i, 2, "</") == 0) {
            // Never below zero, so stray closing tags cannot buy room for deeper nesting.
            if (depth > 0)
                --depth;
            i = skipPast(text, i + 2, ">");
        } else {
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                if (quote != 0) {
                    if (text[j] == quote)
                        quote = 0;
                } else if (text[j] == '"' || text[j] == '\'') {
                    quote = text[j];
                } else if (text[j] == '>') {
                    break;
                }
            }
            const bool selfClosing = j < text.size() && text[j - 1] == '/';
            if (!selfClosing && ++depth > kMaxNesting) {
                const auto line =
                    1 +
                    std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i), '\n');
                throw boost::property_tree::xml_parser_error("elements nested too deep", "",
                                                             static_cast<unsigned long>(line));
            }
            i = j < text.size() ? j + 1 : text.size();
        }
    }
}

}  // namespace

boost::property_tree::ptree readChainList(std::istream& in) {
    // The reader takes the whole stream into memory before parsing anyway.
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    checkNesting(text);
    std::istringstream document(text);
    boost::property_tree::ptree list;
    boost::property_tree::read_xml(document, list);
    return list;
}

const boost::property_tree::ptree& chainEntries(const boost::property_tree::ptree& list) {
    return list.get_child("Chains");
}

bool isChainEntry(const std::string& key) {
    return key != "<xmlcomment>" && key != "<xmlattr>";
}

std::wstring entryFileName(const boost::property_tree::ptree& entry) {
    return toWide(entry.get<std::string>("<xmlattr>.file"));
}

}  // namespace quor::installer
