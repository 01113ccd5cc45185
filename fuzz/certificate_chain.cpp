// CertificateChain from a stream: a ".p7b" bundle as the installer downloads it.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>

#include "fuzz/fuzz_support.h"
#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(quor::fuzz::bytes(data, size));
    try {
        const quor::signer::CertificateChain chain(in);
        for (const quor::signer::Certificate& certificate : chain.certificates) {
            (void)certificate.getFingerprint();
            (void)toString(certificate.getSubject());
        }
    } catch (const std::exception&) {
    }
    return 0;
}
