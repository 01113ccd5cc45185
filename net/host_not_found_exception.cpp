#include "net/host_not_found_exception.h"

#include <stdexcept>

namespace quor::net {

namespace {
// Byte n is character U+00nn, as everywhere in the library; nothing above U+00FF has a narrow
// form. (The "C" locale of glibc would refuse every byte above 127.)
std::string narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (static_cast<unsigned long>(c) > 0xFF)
            throw std::range_error("bad conversion");
        out += static_cast<char>(static_cast<unsigned char>(c));
    }
    return out;
}
}  // namespace

HostNotFoundException::HostNotFoundException(const std::wstring& target)
    : message_(narrow(target) + ": Unreachable") {}

const char* HostNotFoundException::what() const noexcept {
    return message_.c_str();
}

}  // namespace quor::net
