// What the store needs to know of a certificate's DER encoding: the identity used by the
// add-newer rule, its validity and the names shown to the user.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "platform/cert_store.h"

namespace quor::platform::detail {

struct CertInfo {
    // Which stored certificate a new one would replace under the add-newer rule: SHA-1 over the
    // issuer name, serial number, subject name and public key. Two certificates with the same
    // identity are the same certificate issued again with another validity; certificates that
    // only share issuer and serial (careless test PKIs do that) stay apart.
    Bytes identity;
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    std::string subjectDisplayName;
    std::string issuerDisplayName;
    // What the chain engine finds issuers by: the hash of the subject name in the form names
    // are compared in, and the subject key identifier. Either may be absent (a name OpenSSL
    // cannot hash, extensions it cannot read); a stored certificate without them is then a
    // candidate issuer for every certificate.
    std::optional<std::int64_t> subjectHash;
    Bytes subjectKeyId;
};

// The subject or issuer name hash of a decoded certificate, as the issuer index keeps it.
std::optional<std::int64_t> nameHash(const X509_NAME* name);

// readCertInfo: decodes exactly one DER certificate (no trailing bytes). nullopt when the bytes
// are not one; the public key is not looked at, so certificates with keys OpenSSL cannot decode
// are read like any other.
std::optional<CertInfo> readCertInfo(const Bytes& der);

// The name a user recognises in an encoded name (a certificate's subject, say): its common name
// when there is one, else its most specific entry; empty when the bytes are not a name.
std::string displayNameOf(const Bytes& nameDer);

// The request shown to the user before a certificate is added to the trusted roots.
RootAddRequest makeRootAddRequest(const Bytes& der, const CertInfo& info);

}  // namespace quor::platform::detail
