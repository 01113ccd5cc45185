#include "signer/model/certificate_chain.h"

namespace quor::signer {

CertificateChain::CertificateChain(const Certificate* first, const Certificate* last,
                                   ChainStatus chainStatus)
    : status(chainStatus), certificates(first, last) {}

}  // namespace quor::signer
