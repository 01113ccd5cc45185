// The chain list ("Chains.xml") and the download server it lies on.
//
// The list is an XML document whose top-level element "Chains" holds one element per chain
// file; each entry names its file, relative to the base URL, in its attribute "file". The
// entry's element name, text, children and other attributes are not looked at.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <istream>
#include <string>

namespace quor::installer {

// The folder of the download server that holds "Chains.xml" and the chain files; fixed when
// the program is built. Ends with "/".
extern const std::wstring chainBaseUrl;

// Widens byte by byte: byte n becomes the character U+00nn. Never fails, keeps the length.
std::wstring toWide(const std::string& narrow);

// baseUrl + "Chains.xml".
std::wstring chainListUrl(const std::wstring& baseUrl);

// baseUrl + name, exactly: nothing is inserted, escaped or trimmed, so "sub/x.crt" names a
// file of the sub-folder "sub".
std::wstring chainFileUrl(const std::wstring& baseUrl, const std::wstring& name);

// Parses a whole chain list into a property tree. Throws
// boost::property_tree::xml_parser_error for a document that is not well-formed XML.
boost::property_tree::ptree readChainList(std::istream& in);

// The "Chains" element of a parsed list, whose children are the entries in document order.
// Throws boost::property_tree::ptree_bad_path ("No such node (Chains)") when the top-level
// element is missing (the name is compared exactly).
const boost::property_tree::ptree& chainEntries(const boost::property_tree::ptree& list);

// Whether the child of "Chains" under `key` is an entry. The XML reader gives comments
// ("<xmlcomment>") and the element's attributes ("<xmlattr>") as children too; they are not.
bool isChainEntry(const std::string& key);

// The file name of one entry, widened. Throws ptree_bad_path ("No such node (<xmlattr>.file)")
// for an entry without a "file" attribute.
std::wstring entryFileName(const boost::property_tree::ptree& entry);

}  // namespace quor::installer
