#include "signer/model/base64.h"

#include <boost/archive/iterators/dataflow_exception.hpp>

#include <algorithm>
#include <cctype>

namespace quor::signer {
namespace {

// Value of a Base64 alphabet character, or -1.
int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::vector<unsigned char> decodeBase64(const std::string& text) {
    // Every "=" counts as padding wherever it stands: it decodes as "A" (zero bits) and takes one
    // byte off the end of the result.
    const auto padding = static_cast<std::size_t>(std::count(text.begin(), text.end(), '='));

    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    unsigned int bits = 0;
    int bitCount = 0;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isspace(c))
            continue;  // anywhere, including after the last character
        const int value = c == '=' ? 0 : base64Value(c);
        if (value < 0) {
            throw boost::archive::iterators::dataflow_exception(
                boost::archive::iterators::dataflow_exception::invalid_base64_character);
        }
        bits = (bits << 6) | static_cast<unsigned int>(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<unsigned char>((bits >> bitCount) & 0xFF));
        }
    }
    // Bits that do not fill a whole byte at the end are dropped.

    if (padding >= bytes.size())
        return {};
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace quor::signer
