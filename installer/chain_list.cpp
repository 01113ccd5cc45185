#include "installer/chain_list.h"

#include <boost/property_tree/xml_parser.hpp>

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

boost::property_tree::ptree readChainList(std::istream& in) {
    boost::property_tree::ptree list;
    boost::property_tree::read_xml(in, list);
    return list;
}

const boost::property_tree::ptree& chainEntries(const boost::property_tree::ptree& list) {
    return list.get_child("Chains");
}

std::wstring entryFileName(const boost::property_tree::ptree& entry) {
    return toWide(entry.get<std::string>("<xmlattr>.file"));
}

}  // namespace quor::installer
