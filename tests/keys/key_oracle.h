// Checks of keys and signatures by the openssl command, independent of the code under test.
#pragma once

#include <string>
#include <vector>

namespace quor::test {

using ByteVector = std::vector<unsigned char>;

// True when `openssl dgst -<hash> -verify` accepts signature as the PKCS#1 v1.5 signature of
// data under the public key of the certificate (PEM).
bool opensslVerifies(const std::string& certificatePem, const ByteVector& data,
                     const ByteVector& signature, const std::string& hash = "sha256");

// Encrypts data for the certificate's key with `openssl pkeyutl -encrypt` (PKCS#1 v1.5).
ByteVector opensslEncrypt(const std::string& certificatePem, const ByteVector& data);

// The PKCS#1 v1.5 signature of a prepared block (DigestInfo or anything else) with the key
// given as PEM, made by `openssl pkeyutl -sign` without any digest.
ByteVector opensslRawSign(const std::string& privateKeyPem, const ByteVector& block);

// The DER DigestInfo of a digest for a hash ("sha1", "sha256", ...).
ByteVector digestInfo(const std::string& hash, const ByteVector& digest);

ByteVector bytesOf(const std::string& text);

// Whether a PKCS#10 request's signature verifies with the request's own public key, asked of
// OpenSSL's library (X509_REQ_verify) and of its command. `openssl req -verify` of OpenSSL 3.0
// exits 0 whatever the signature, so the command's verdict is read from its own words ("verify
// OK" / "verify failure") on its standard error.
struct RequestVerdict {
    bool library = false;
    bool command = false;
    std::string commandText;
};
RequestVerdict verifyRequest(const std::string& requestPem);

// The same request with one bit of its signature flipped.
std::string withCorruptedSignature(const std::string& requestPem);

}  // namespace quor::test
