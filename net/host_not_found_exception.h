// The error raised when a download request cannot be sent.
#pragma once

#include <exception>
#include <string>

namespace quor::net {

// HostNotFoundException is raised when a request cannot be sent at all: the name does not
// resolve, the connection is refused or times out, or the TLS handshake fails for a reason that
// is not forgiven (wrong host name, expired certificate). HTTP statuses are never errors.
//
// It stands outside the library's BaseException hierarchy on purpose: handlers of
// std::exception catch it, handlers of BaseException do not.
class HostNotFoundException : public std::exception {
  public:
    // The message is `target` (host ":" port object) narrowed byte for byte, followed by
    // ": Unreachable". Throws std::range_error("bad conversion") when a character of `target` is
    // above U+00FF.
    explicit HostNotFoundException(const std::wstring& target);

    const char* what() const noexcept override;

  private:
    std::string message_;
};

}  // namespace quor::net
