// decodeBase64 over any text.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz/fuzz_support.h"
#include "signer/model/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)quor::signer::decodeBase64(quor::fuzz::bytes(data, size));
    } catch (const std::exception&) {
    }
    return 0;
}
