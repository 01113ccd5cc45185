// Reading the chain list: which children count as entries, what each entry names, and the
// errors a broken list gives.
#include "installer/chain_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/property_tree/exceptions.hpp>
#include <sstream>
#include <variant>

namespace quor::installer {
namespace {

TEST(ToWide, WidensEachByteToTheCharacterOfTheSameValue) {
    const struct {
        std::string narrow;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"Chains.xml", L"Chains.xml"},
        // UTF-8 of "é" stays two characters: the conversion never decodes.
        {"\xC3\xA9.crt", L"\u00C3\u00A9.crt"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"\x7F\x80\xFF", L"\u007F\u0080\u00FF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toWide(c.narrow), c.wide) << c.narrow;
    }
}

TEST(ChainUrls, AppendTheNameToTheBaseWithoutTouchingIt) {
    const std::wstring base = L"http://127.0.0.1:8080/DEZIruva/certificados/";
    EXPECT_EQ(chainListUrl(base), base + L"Chains.xml");
    const std::wstring names[] = {L"a.p7b", L"sub/x.crt", L"", L"a b.crt", L"x.crt?v=2"};
    for (const auto& name : names) {
        EXPECT_EQ(chainFileUrl(base, name), base + name);
    }
}

TEST(ChainBaseUrl, IsTheFolderTheBuildWasConfiguredWith) {
    EXPECT_EQ(chainBaseUrl, L"" QUOR_EXPECTED_CHAIN_BASE_URL);
    EXPECT_EQ(chainBaseUrl.back(), L'/');
}

// One list and what reading it yields: the names of the entries before the first failure, and
// the failure's text (empty when every entry has a name).
struct ListCase {
    const char* what;
    std::string xml;
    std::vector<std::wstring> names;
    std::string error;
};

// Reads the list as the install run does, collecting names until an entry fails.
void readAsTheRunDoes(const std::string& xml, std::vector<std::wstring>& names,
                      std::string& error) {
    try {
        std::istringstream in(xml);
        const auto list = readChainList(in);
        for (const auto& child : chainEntries(list)) {
            if (isChainEntry(child.first))
                names.push_back(entryFileName(child.second));
        }
    } catch (const boost::property_tree::ptree_error& e) {
        error = e.what();
    }
}

TEST(ChainList, EntriesAndFailures) {
    const ListCase cases[] = {
        {"empty list", "<Chains/>", {}, ""},
        {"declaration and two entries",
         "<?xml version=\"1.0\"?>\n<Chains>\n <Chain file=\"a.p7b\"/>\n <Chain file=\"b.crt\"/>\n"
         "</Chains>\n",
         {L"a.p7b", L"b.crt"},
         ""},
        {"any element name, other attributes, text and children ignored",
         "<Chains>text<Foo file=\"a.p7b\" x=\"1\">body<Bar file=\"no\"/></Foo>"
         "<cadeia id=\"2\" file=\"sub/b.crt\"/></Chains>",
         {L"a.p7b", L"sub/b.crt"},
         ""},
        {"comment outside the list and processing instruction ignored",
         "<!-- lista --><?pi x?><Chains><C file=\"a.crt\"/></Chains>",
         {L"a.crt"},
         ""},
        {"entities and character references expanded",
         "<Chains><C file=\"a&amp;b.crt\"/><C file=\"&#233;.crt\"/></Chains>",
         {L"a&b.crt", L"\u00C3\u00A9.crt"},
         ""},
        {"empty file attribute", "<Chains><C file=\"\"/></Chains>", {L""}, ""},
        // The reader gives comments and the attributes of "Chains" as children: not entries.
        {"comments inside the list are not entries",
         "<Chains><!-- primeira --><C file=\"a.crt\"/><!-- b --><C "
         "file=\"c.crt\"/><!----></Chains>",
         {L"a.crt", L"c.crt"},
         ""},
        {"attributes and a comment of Chains together",
         "<Chains versao=\"2\" file=\"nao.crt\"><!-- b --><C file=\"a.crt\"/></Chains>",
         {L"a.crt"},
         ""},
        {"entry without file attribute",
         "<Chains><C file=\"a.crt\"/><C name=\"b.crt\"/></Chains>",
         {L"a.crt"},
         "No such node (<xmlattr>.file)"},
        {"attribute name is case-sensitive",
         "<Chains><C File=\"a.crt\"/></Chains>",
         {},
         "No such node (<xmlattr>.file)"},
        {"attributes of Chains are not an entry",
         "<Chains version=\"2\"><C file=\"a.crt\"/></Chains>",
         {L"a.crt"},
         ""},
        {"element without file attribute after a comment still fails",
         "<Chains><!-- b --><C file=\"a.crt\"/><Outro/><C file=\"c.crt\"/></Chains>",
         {L"a.crt"},
         "No such node (<xmlattr>.file)"},
        {"root element in lower case",
         "<chains><C file=\"a.crt\"/></chains>",
         {},
         "No such node (Chains)"},
        {"well-formed page that is not a list",
         "<html><body>Not Found</body></html>",
         {},
         "No such node (Chains)"},
        {"error page that is not XML",
         "<html><body>Not Found<br></body></html>",
         {},
         "<unspecified file>(1): unexpected end of data"},
        {"plain text page", "404 Not Found", {}, "<unspecified file>(1): expected <"},
        // An empty body (a server that closed early) parses into an empty tree.
        {"empty document", "", {}, "No such node (Chains)"},
        {"truncated list",
         "<Chains><C file=\"a.crt\"/>",
         {},
         "<unspecified file>(1): unexpected end of data"},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> names;
        std::string error;
        readAsTheRunDoes(c.xml, names, error);
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

}  // namespace
}  // namespace quor::installer
