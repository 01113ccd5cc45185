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

std::string toUtf8Text(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t character : text) {
        auto code = static_cast<char32_t>(character);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

}  // namespace quor::signer
