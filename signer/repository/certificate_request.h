// PKCS#10 certificate requests made by the repositories.
//
// Repository::createCertificateRequest (repository.h) generates a key pair with the repository's
// own generateKeyPair and returns a request for it, signed through the repository's signWithKey
// with SHA-256, so the private key never leaves the repository. Every request asks for the same
// subject, in this order:
//   C=BR, ST=Sao Paulo, O=<kRequestOrganization>, OU=Produtos, CN=Quorsa Certificadora Digital SA
// and carries one extension request: keyUsage, critical, digitalSignature and keyEncipherment.
// The signature algorithm is sha256WithRSAEncryption with the parameters absent.
//
// Failures: the repository's own from generateKeyPair (KeyPairGenerationException from an
// archive); KeyPairGenerationException for a request that cannot be built or signed (a signing
// failure reads "Error during key pair generation: Error at signing: ..."). After a failure past
// the key generation the key pair stays in the repository.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>

#include "signer/repository/repository.h"

namespace quor::signer {

// The organisation named in every request: the issuing organisation's domain name.
inline constexpr const char* kRequestOrganization = "quorsa.com.br";

// The request of createCertificateRequest, built for a key pair the repository already holds
// (the part after the key generation). The key pair's private key is used through
// repository.signWithKey.
std::shared_ptr<X509_REQ> buildCertificateRequest(Repository& repository, const KeyPair& keyPair);

}  // namespace quor::signer
