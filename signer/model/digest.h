// Message digests by OpenSSL name, and the library's one-time OpenSSL set-up.
#pragma once

#include <vector>

namespace quor::signer {

// The digest of length bytes at data with the OpenSSL digest called hashName ("sha1",
// "sha256", ...). Throws SignatureException "Invalid option for hash" for an unknown name and
// SignatureException with the failing step's text when OpenSSL fails.
std::vector<unsigned char> computeDigest(const void* data, int length, const char* hashName);

// Loads OpenSSL's crypto error strings, once per process (thread-safe).
void ensureCryptoErrorStrings();

// The full set-up made before the first digest: error strings, all ciphers and digests and the
// built-in configuration modules, once per process (thread-safe).
void ensureOpenSslInitialised();

}  // namespace quor::signer
