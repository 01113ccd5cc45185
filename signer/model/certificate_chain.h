// CertificateChain: an ordered group of certificates of one chain of issuance, with a status.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <istream>
#include <list>
#include <vector>

#include "signer/model/certificate.h"

namespace quor::signer {

// The numbers are part of the interface (detection maps them onto its own codes).
enum class ChainStatus : std::int32_t {
    Valid = 0,            // one closed chain, none past its end of validity
    IncompleteChain = 1,  // the chain does not close (or the system reports a partial chain)
    Expired = 2,          // some certificate is past its notAfter time
    Unverified = 999,     // nothing could be read or built, or another error
};

class CertificateChain {
  public:
    // Reads one DER PKCS#7 bundle from the stream's current position and puts its certificates
    // in issuance order (lowest first, root last). Data that is not a DER PKCS#7 bundle gives
    // status Unverified and no certificates. Defined with the bundle reader (detection/).
    explicit CertificateChain(std::istream& in);

    // Copies the certificates of [first, last) in range order and stores status as given.
    CertificateChain(const Certificate* first, const Certificate* last, ChainStatus status);

    ChainStatus status;
    // Issuance order: each certificate is followed by its issuer.
    std::list<Certificate> certificates;

  private:
    // Orders borrowed certificate pointers in place (each followed by its issuer) and sets
    // status. Defined with the bundle reader (detection/).
    void orderChain(std::vector<X509*>& chain);
};

}  // namespace quor::signer
