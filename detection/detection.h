// Chain detection: turns one downloaded chain file into a chain or a single certificate, judges
// from the user's stores whether it is already installed, and hands both to a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"
#include "signer/repository/repository.h"

namespace quor::detection {

// The content of one chain file: exactly one of chain (a ".p7b" bundle, ordered lowest
// certificate first) and certificate (a ".crt" file) is set; name is the file name.
struct ChainOrCertificate {
    std::shared_ptr<signer::CertificateChain> chain;
    std::shared_ptr<signer::Certificate> certificate;
    std::wstring name;
};

// The verdict on one file, judged on its reference certificate (the only certificate of a
// ".crt", the lowest of a ".p7b"). A ".p7b" is Installed only when, besides, the stores hold
// every other certificate it carries; otherwise it is NotFound.
class CertValidation {
  public:
    enum Code : std::int32_t {
        Installed = 0,     // stored, and the system's chain is sound (or only out of its time)
        PartialChain = 1,  // stored, but the system's chain does not reach a root
        NotFound = 2,      // in none of the stores
        ChainError = 256,  // stored, but the chain could not be built or has another problem
    };

    std::int32_t code = NotFound;
};

// Called with the file's content and its verdict, both living on detect's stack: read them, do
// not keep references to them.
using DetectionCallback = std::function<void(ChainOrCertificate&, CertValidation&)>;

// Reads the chain file in stream as its name's suffix says (exact, case-sensitive): ".p7b" a DER
// PKCS#7 bundle, ".crt" a certificate in PEM, DER or Base64; any other name is ignored (the
// stream is not read and callback is not called). For a recognised file, calls callback once
// with the content and the verdict of validateInstallation on its reference certificate; a
// bundle judged Installed whose other certificates are not all in the stores gets NotFound.
//
// Throws, before the callback: std::runtime_error naming the file when a ".p7b" yields no
// certificate (not DER PKCS#7, for instance an error page, or a bundle without certificates);
// the certificate reader's errors for a ".crt" that holds no certificate; repository errors
// other than "not found". Exceptions of the callback pass through.
void detect(std::istream& stream, DetectionCallback callback, std::wstring name);

// The verdict on a reference certificate, looked up by fingerprint in repository: NotFound when
// no store holds it, otherwise from the status of the repository's chain for it (Valid and
// Expired: Installed; IncompleteChain: PartialChain; anything else: ChainError). Only "not
// found" is caught; other repository errors pass through.
CertValidation validateInstallation(const signer::Certificate& reference,
                                    signer::Repository& repository);

}  // namespace quor::detection
