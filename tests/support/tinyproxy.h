// A real HTTP proxy for tests: tinyproxy, run in the foreground with its own configuration.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace quor::test {

struct TinyproxyOptions {
    // Credentials the proxy demands (BasicAuth); empty user: no authentication.
    std::string user;
    std::string password;
    // Ports that CONNECT may reach (tinyproxy refuses the others).
    std::vector<std::uint16_t> connectPorts;
};

// Starts tinyproxy on 127.0.0.1 on a free port and waits until it accepts connections; the
// destructor stops it. Throws std::runtime_error when it cannot start (is tinyproxy installed?
// scripts/install-deps.sh installs it).
class Tinyproxy {
  public:
    explicit Tinyproxy(const TinyproxyOptions& options);
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>", as http_proxy expects it.
    std::string url() const;
    // The proxy's log so far, for diagnostics.
    std::string log() const;

  private:
    TempDir dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quor::test
