// Certificate: the library's immutable value type for one X.509 certificate.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "signer/model/distinguished_name.h"

namespace quor::signer {

struct CertificateDetail;

// A handle over one OpenSSL X509 object. Copies share the object (reference counted); nothing
// changes it after construction. Texts are narrow strings holding the certificate's own bytes.
//
// Identity is the SHA-1 fingerprint text: 20 lower-case hexadecimal pairs separated by single
// spaces ("ab 01 ..."), 59 characters.
class Certificate {
  public:
    // Decodes one DER certificate from the bytes; bytes after it are ignored.
    // Throws BaseException when the bytes hold no certificate.
    Certificate(const unsigned char* der, long length);

    // Reads a certificate given as text, trying in order: a PEM certificate block (text before
    // the BEGIN line is skipped), the whole string as DER bytes, the text as Base64 of DER.
    // Throws std::invalid_argument "Base64 passado [" + text + "] não é válido" (with U+FFFD in
    // place of the accented letters) when no reading yields a certificate, and lets the Base64
    // decoder's error through when the text holds a character outside the Base64 alphabet.
    explicit Certificate(const std::string& text);

    // Makes its own copy of x509; the caller keeps ownership of what it passed.
    // Throws BaseException when x509 is null or cannot be copied.
    explicit Certificate(X509* x509);

    DistinguishedName getSubject() const;
    DistinguishedName getIssuer() const;

    // Serial number magnitude as hexadecimal byte text ("01", "0a 1b 2c").
    std::string getSerialNumber() const;

    // SHA-1 of the DER encoding as hexadecimal byte text; empty when the digest fails.
    std::string getFingerprint() const;

    // The DER encoding.
    std::vector<unsigned char> getEncoded() const;

    // The subject's RSA key. Throws BaseException "Error unpacking public key" when the key
    // cannot be unpacked, "Cannot get RSA key from private key" when it is not RSA, "Cannot
    // extract modulus" / "Cannot extract exponent" when a number yields no bytes.
    RsaPublicKey getPublicKey() const;

    // True exactly when the certificate's signature verifies under key; false on any error.
    bool verifySignature(const RsaPublicKey& key) const;

    // The OpenSSL object, borrowed: valid while any Certificate sharing it lives. Callers must
    // not change it.
    X509* nativeHandle() const;

    // Summary with ICP-Brasil holder data and policy descriptions (certificate_detail.h).
    CertificateDetail getDetail() const;

    // Classification (see certificate.cpp for the exact rules).
    // Not marked as a CA by OpenSSL, no decodable basicConstraints, subject equal to issuer.
    bool isSelfIssuedNonCa() const;
    // isSelfIssuedNonCa(), or OpenSSL's CA check says it is a CA.
    bool isCertificateAuthority() const;
    // OpenSSL's self-signed flag.
    bool isSelfSigned() const;
    // isSelfIssuedNonCa(), or an authority that is self-signed.
    bool isRoot() const;
    // basicConstraints absent/undecodable: true; cA false: false; no pathLen: true; pathLen > 0.
    bool allowsSubordinateAuthorities() const;

    // Brings a thumbprint written another way ("AB:CD:EF", "abcdef", "AB CD EF") to the
    // fingerprint form ("ab cd ef"). An odd last character stands alone.
    static std::string normalizeFingerprint(const std::string& text);

    // Reads 20 whitespace-separated hexadecimal numbers; the low 8 bits of the i-th become
    // out[i]. Numbers that cannot be read leave zero bytes.
    static void fingerprintToHash(const std::string& text, unsigned char out[20]);

  private:
    class CertificateImpl;
    std::shared_ptr<CertificateImpl> impl_;
};

}  // namespace quor::signer
