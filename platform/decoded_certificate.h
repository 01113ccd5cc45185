// Decoded certificates, shared across the process.
//
// OpenSSL 3 decodes a certificate's public key when it reads the certificate, and that costs
// more than everything else a lookup, a chain or a mirror does with it. The same few hundred
// authorities are read again and again in one run (each entry's chain, the store lookups, the
// NSS mirrors), so the decoded objects are kept and handed out again.
#pragma once

#include <cstddef>

#include "platform/openssl_ptr.h"

namespace quor::platform {

// The certificate the DER bytes start with, or null when they do not start with one (OpenSSL's
// errors are then left in its queue, as d2i_X509 leaves them). consumed, when given, receives the
// number of bytes the certificate takes. The object may be shared with other callers and other
// threads: read it, never change it (X509_dup it first).
openssl::X509Ptr decodeCertificate(const unsigned char* der, std::size_t length,
                                   std::size_t* consumed = nullptr);

// The same, for a certificate chains are built from: kept for longer, since the same authorities
// are read for every chain of a run, whatever else the run reads between two of them.
openssl::X509Ptr decodeAuthority(const unsigned char* der, std::size_t length);

}  // namespace quor::platform
