#include "net/host_not_found_exception.h"

#include "signer/model/text.h"

namespace quor::net {

HostNotFoundException::HostNotFoundException(const std::wstring& target)
    : message_(signer::toNarrowText(target) + ": Unreachable") {}

const char* HostNotFoundException::what() const noexcept {
    return message_.c_str();
}

}  // namespace quor::net
