#include "signer/model/text.h"

#include <stdexcept>

namespace quor::signer {

std::wstring toWideText(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::string toNarrowText(const std::wstring& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) {
        if (c < 0 || c > 0xFF) throw std::range_error("bad conversion");
        narrow.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    }
    return narrow;
}

}  // namespace quor::signer
