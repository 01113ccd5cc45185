// Private-key side of the system repository and certificate request generation.
//
// Not available yet in this build: every operation reports that plainly instead of pretending
// to work. The key storage, signing, decryption and request generation land here.
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"

namespace quor::signer {

std::shared_ptr<X509_REQ> Repository::createCertificateRequest(const std::wstring& /*alias*/,
                                                               int /*keySizeBits*/) {
    throw KeyPairGenerationException("not available");
}

std::shared_ptr<X509_REQ> SystemRepository::createCertificateRequest(
    const std::wstring& /*alias*/, int /*keySizeBits*/) {
    throw KeyPairGenerationException("not available");
}

PrivateKeyHandle SystemRepository::privateKeyOf(const Certificate& /*certificate*/) {
    throw SignatureException("not available");
}

Repository::Bytes SystemRepository::signWithKey(const Bytes& /*data*/, PrivateKeyHandle /*key*/,
                                                const char* /*hashName*/) {
    throw SignatureException("not available");
}

Repository::Bytes SystemRepository::signDigestWithKey(const char* /*hashName*/,
                                                      const Bytes& /*digest*/,
                                                      PrivateKeyHandle /*key*/) {
    throw SignatureException("not available");
}

Repository::Bytes SystemRepository::decryptWithKey(const Bytes& /*data*/,
                                                   PrivateKeyHandle /*key*/) {
    throw DecryptionException("not available");
}

}  // namespace quor::signer
