// Server certificates for loopback TLS tests, made on the spot with OpenSSL.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/http_server.h"

namespace quor::test {

struct ServerCertificateSpec {
    std::string commonName = "127.0.0.1";
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses{"127.0.0.1"};
    // Validity relative to now.
    std::chrono::seconds notBefore = -std::chrono::hours(1);
    std::chrono::seconds notAfter = std::chrono::hours(24);
    // Signed by its own key instead of by a fresh (untrusted) test authority.
    bool selfSigned = false;
};

// Writes `<stem>.crt` (the server certificate, then the issuing test authority if any) and
// `<stem>.key` into `dir` and returns their paths. Keys are P-256 EC keys. Throws
// std::runtime_error when OpenSSL fails.
TlsIdentity makeServerIdentity(const std::filesystem::path& dir, const std::string& stem,
                               const ServerCertificateSpec& spec);

// Writes the test authority that issued an identity's certificate, alone, to `file` (for a
// client to trust) and returns `file`. Throws std::runtime_error for a self-signed identity.
std::filesystem::path writeAuthorityFile(const TlsIdentity& identity,
                                         const std::filesystem::path& file);

}  // namespace quor::test
