// Certificate from text: the PEM, DER and Base64 readings of a ".crt" file, then everything a
// reader of the result may ask of it.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz/fuzz_support.h"
#include "signer/model/certificate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const quor::signer::Certificate certificate(quor::fuzz::bytes(data, size));
        (void)certificate.getFingerprint();
        (void)certificate.getSerialNumber();
        (void)toString(certificate.getSubject());
        (void)toString(certificate.getIssuer());
        (void)certificate.getEncoded();
        (void)certificate.isRoot();
        (void)certificate.allowsSubordinateAuthorities();
        try {
            (void)certificate.verifySignature(certificate.getPublicKey());
        } catch (const std::exception&) {
            // Not an RSA key, or one that cannot be unpacked: reported, not a fault.
        }
    } catch (const std::exception&) {
        // Every refusal is an exception with a text; only crashes and leaks are findings.
    }
    return 0;
}
