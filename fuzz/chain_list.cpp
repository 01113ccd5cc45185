// The chain list: "Chains.xml" as the server sends it, read as the install run reads it, and
// every entry's name turned into the URL the run would fetch.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>

#include "fuzz/fuzz_support.h"
#include "installer/chain_list.h"
#include "net/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(quor::fuzz::bytes(data, size));
    try {
        const boost::property_tree::ptree list = quor::installer::readChainList(in);
        for (const auto& entry : quor::installer::chainEntries(list)) {
            const std::wstring name = quor::installer::entryFileName(entry.second);
            (void)quor::net::parseUrl(
                quor::installer::chainFileUrl(L"http://127.0.0.1/DEZIruva/certificados/", name));
        }
    } catch (const std::exception&) {
    }
    return 0;
}
