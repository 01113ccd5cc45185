// Reading of ".p7b" chain files: one DER PKCS#7 bundle whose certificates are put in issuance
// order (lowest certificate first, each followed by its issuer, the top certificate last).
//
// CertificateChain(std::istream&) (signer/model/certificate_chain.h) is defined here too: it is
// the quiet form that turns every unreadable bundle into an empty chain with status Unverified.
// readCertificateBundle is the strict form for callers that need at least one certificate and a
// reason when there is none.
#pragma once

#include <openssl/x509.h>

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "signer/model/certificate_chain.h"

namespace quor::detection {

// Why a bundle yielded no certificate.
enum class BundleProblem {
    None,            // at least one certificate was read
    NotPkcs7,        // no DER PKCS#7 structure could be decoded (other format, truncated, empty)
    NoCertificates,  // a PKCS#7 structure without certificates (other content type, empty set)
};

// Thrown by readCertificateBundle when the stream gives no certificate.
class BundleReadError : public std::runtime_error {
  public:
    BundleReadError(BundleProblem problem, const std::string& message)
        : std::runtime_error(message), problem_(problem) {}
    BundleProblem problem() const noexcept { return problem_; }

  private:
    BundleProblem problem_;
};

// orderCertificates puts borrowed certificates in issuance order, in place, and returns the
// chain status: IncompleteChain when a run of certificates does not lead up to the first one,
// Expired (which wins) when any notAfter is not later than now, otherwise Valid. An empty
// sequence gives Unverified. Certificates are matched by issuer and subject name only (OpenSSL
// name comparison); no signature or key identifier is examined. Exact copies of a certificate
// (same DER encoding) are kept and placed right after the first one. Every certificate of the
// input is in the output. Runs in O(n log n) name look-ups; cycles of issuance terminate.
signer::ChainStatus orderCertificates(std::vector<X509*>& certificates);

// readCertificateBundle reads one DER PKCS#7 bundle from the stream's current position (bytes
// after it are not read) and returns its certificates ordered as above. Throws BundleReadError
// ("The data is not a DER PKCS#7 certificate bundle" or "The PKCS#7 bundle holds no
// certificates") when there is no certificate to return; std::bad_alloc on memory exhaustion.
// A stream that ends early fails the read; it never waits for more data than the stream has.
signer::CertificateChain readCertificateBundle(std::istream& in);

}  // namespace quor::detection
