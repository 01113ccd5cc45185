// What the store needs to know of a certificate's DER encoding: the identity used by the
// add-newer rule, its validity and the names shown to the user.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "platform/cert_store.h"

namespace quor::platform::detail {

struct CertInfo {
    Bytes issuer;  // DER of the issuer name
    Bytes serial;  // content octets of the serial number
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    std::string subjectDisplayName;
    std::string issuerDisplayName;
};

// readCertInfo: decodes exactly one DER certificate (no trailing bytes). nullopt when the bytes
// are not one; the public key is not looked at, so certificates with keys OpenSSL cannot decode
// are read like any other.
std::optional<CertInfo> readCertInfo(const Bytes& der);

// The request shown to the user before a certificate is added to the trusted roots.
RootAddRequest makeRootAddRequest(const Bytes& der, const CertInfo& info);

}  // namespace quor::platform::detail
