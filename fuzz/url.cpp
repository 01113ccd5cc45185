// parseUrl over any text, and the object names a downloader forms from the result.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz/fuzz_support.h"
#include "net/http_client_downloader.h"
#include "net/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const quor::net::UrlParts parts = quor::net::parseUrl(quor::fuzz::widen(data, size));
        (void)quor::net::HttpClientDownloader::joinObjectPath(parts.path, L"Chains.xml");
    } catch (const std::exception&) {
    }
    return 0;
}
