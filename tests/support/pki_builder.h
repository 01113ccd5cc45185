// Test PKI builder: keys, certificates, PKCS#7 bundles and PKCS#12 files made with OpenSSL.
//
// Everything here is for tests: failures throw std::runtime_error with OpenSSL's error text, and
// every OpenSSL object is owned (shared_ptr / unique_ptr), so tests never free anything.
//
// Typical use:
//
//     using namespace quor::test;
//     TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
//     TestCert inter = CertBuilder(Name::cn("Inter")).ca(0).signedBy(root);
//     TestCert leaf = CertBuilder(Name{{"C", "BR"}, {"CN", "Fulano"}})
//                         .keyUsage("digitalSignature")
//                         .otherName("2.16.76.1.3.1", "01011970123456789010000000000000000000000")
//                         .email("fulano@example.com")
//                         .signedBy(inter);
//     std::string pem = leaf.pem();
//     std::string p7b = pkcs7Der({root, leaf, inter});   // any order
//     std::string p12 = pkcs12(leaf, "senha", {inter, root});
//
// Keys: Key::rsa(bits) generates a fresh RSA key (512 or 1024 bits keep tests fast);
// testKey(i) returns one of a few cached 1024-bit keys (generated once per process), which is
// what CertBuilder uses unless .key(...) is given. Keys are shared and immutable.
// Mind that certificates built without .key(...) all share testKey(0), so any of them verifies
// under any other's key: give distinct keys where a test checks signatures or key matching.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quor::test {

// A private key (and its public half). Cheap to copy; copies share the OpenSSL object.
class Key {
  public:
    static Key rsa(int bits = 1024, unsigned long exponent = 65537);
    static Key ec(const std::string& curve = "prime256v1");
    static Key ed25519();
    // Wraps an existing key (takes a new reference; the caller keeps its own).
    static Key fromPkey(EVP_PKEY* pkey);

    EVP_PKEY* get() const { return pkey_.get(); }
    // PKCS#8 PEM of the private key (unencrypted) and SubjectPublicKeyInfo DER of the public key.
    std::string privatePem() const;
    std::string publicDer() const;

  private:
    std::shared_ptr<EVP_PKEY> pkey_;
};

// One of a small pool of cached 1024-bit RSA keys (index 0..15), generated on first use.
// Different indexes are different keys. Thread-safe.
Key testKey(int index = 0);

// ASN.1 string types for name entries and otherName values.
enum class StringType {
    Utf8,       // UTF8String
    Printable,  // PrintableString
    Ia5,        // IA5String
    Bmp,        // BMPString (value given as UTF-8, stored as UCS-2)
    Teletex,    // T61String (bytes as given)
    OctetString,
};

// One attribute of an X.509 name: field is a short name ("CN", "O", "C", "OU", "emailAddress")
// or dotted OID text ("2.5.4.3", "1.2.3.4.5"); value is given as bytes.
struct NameEntry {
    std::string field;
    std::string value;
    StringType type = StringType::Utf8;
};

// An X.509 name in encoded order.
class Name {
  public:
    Name() = default;
    Name(std::initializer_list<NameEntry> entries) : entries_(entries) {}
    // CN only.
    static Name cn(const std::string& commonName);

    Name& add(const std::string& field, const std::string& value,
              StringType type = StringType::Utf8);
    const std::vector<NameEntry>& entries() const { return entries_; }

    // A new OpenSSL name with the entries (throws on an unknown field or bad value).
    X509_NAME* toX509Name() const;

  private:
    std::vector<NameEntry> entries_;
};

// A made certificate with the key of its subject. Copies share the OpenSSL objects.
struct TestCert {
    std::shared_ptr<X509> cert;
    Key key;

    X509* x509() const { return cert.get(); }
    std::string pem() const;  // "-----BEGIN CERTIFICATE-----" block
    std::string der() const;  // DER bytes in a string
    std::vector<unsigned char> derBytes() const;
    std::string base64() const;  // Base64 of the DER, 64-character lines, no armour
    // Values that the openssl command would print for the certificate, computed by OpenSSL
    // itself: SHA-1 of the DER as "ab cd ..." text.
    std::string sha1Text() const;
};

// Builds one certificate. All setters return *this. Defaults: version 3, serial 1, valid from one
// day ago to 365 days ahead, key testKey(0), signature sha256, subject as given, no extensions.
class CertBuilder {
  public:
    explicit CertBuilder(Name subject);

    CertBuilder& subject(Name name);
    // Overrides the issuer name written into the certificate (signing still uses the key given to
    // signedBy/selfSigned). Without it: the issuer's subject, or the own subject if self-signed.
    CertBuilder& issuerName(Name name);
    CertBuilder& key(Key subjectKey);

    CertBuilder& serial(long value);  // negative values give a negative INTEGER
    // Serial from big-endian magnitude bytes, e.g. {0x00, 0x80} or 20 bytes.
    CertBuilder& serialBytes(const std::vector<unsigned char>& magnitude, bool negative = false);

    // Validity as ASN.1 time text: 13 characters "YYMMDDHHMMSSZ" are written as UTCTime (any
    // year, "991231235959Z" is 1999 under RFC 5280), 15 characters "YYYYMMDDHHMMSSZ" as
    // GeneralizedTime. Other texts are written as given in a GeneralizedTime (for bad-time tests).
    CertBuilder& notBefore(const std::string& asn1Text);
    CertBuilder& notAfter(const std::string& asn1Text);
    // Validity relative to now, in seconds (OpenSSL chooses UTCTime before 2050).
    CertBuilder& validFor(long secondsBeforeNow, long secondsAfterNow);
    // Already expired: notBefore 2 days ago, notAfter 1 day ago.
    CertBuilder& expired();

    // basicConstraints cA=TRUE, pathLenConstraint when given; critical.
    CertBuilder& ca(std::optional<long> pathLen = std::nullopt);
    // basicConstraints cA=FALSE (present, critical).
    CertBuilder& notCa();
    // basicConstraints extension with raw (possibly undecodable) DER value bytes.
    CertBuilder& rawBasicConstraints(const std::vector<unsigned char>& valueDer);
    // keyUsage in OpenSSL's configuration syntax: "keyCertSign,cRLSign", "digitalSignature".
    CertBuilder& keyUsage(const std::string& usages);
    // extendedKeyUsage in configuration syntax: "serverAuth,clientAuth".
    CertBuilder& extendedKeyUsage(const std::string& usages);
    // certificatePolicies with the given policy OIDs, in order.
    CertBuilder& policies(const std::vector<std::string>& oids);
    // subjectAltName otherName entry (type-id oid, [0] EXPLICIT value of the given type).
    // ICP-Brasil fields: 2.16.76.1.3.1 (natural person data), .2, .3 (CNPJ), .4, .5, .6, .7, .8.
    CertBuilder& otherName(const std::string& oid, const std::string& value,
                           StringType type = StringType::OctetString);
    // subjectAltName rfc822Name entry.
    CertBuilder& email(const std::string& address);
    // subjectAltName dNSName entry.
    CertBuilder& dnsName(const std::string& name);
    // subjectKeyIdentifier (hash) and authorityKeyIdentifier (keyid of the issuer).
    CertBuilder& keyIdentifiers();
    // Any extension with raw DER value bytes.
    CertBuilder& rawExtension(const std::string& oid, const std::vector<unsigned char>& valueDer,
                              bool critical = false);
    // Signature digest: "sha256" (default), "sha1", ...
    CertBuilder& digest(const std::string& name);

    TestCert selfSigned() const;
    TestCert signedBy(const TestCert& issuer) const;
    // Signs with signerKey but writes issuer as the issuer name (for wrong-signature tests).
    TestCert signedWith(const Key& signerKey, const Name& issuer) const;

  private:
    struct OtherName {
        std::string oid;
        std::string value;
        StringType type;
    };
    struct RawExtension {
        std::string oid;
        std::vector<unsigned char> value;
        bool critical;
    };
    TestCert build(const X509_NAME* issuer, EVP_PKEY* signer, X509* issuerCert) const;

    Name subject_;
    std::optional<Name> issuerName_;
    std::optional<Key> key_;
    std::vector<unsigned char> serial_{1};
    bool serialNegative_ = false;
    std::optional<std::string> notBefore_;
    std::optional<std::string> notAfter_;
    long beforeNow_ = 24 * 3600;
    long afterNow_ = 365L * 24 * 3600;
    std::optional<std::string> basicConstraints_;  // configuration text
    std::optional<std::string> keyUsage_;
    std::optional<std::string> extendedKeyUsage_;
    std::vector<std::string> policies_;
    std::vector<OtherName> otherNames_;
    std::vector<std::string> emails_;
    std::vector<std::string> dnsNames_;
    bool keyIdentifiers_ = false;
    std::vector<RawExtension> rawExtensions_;
    std::string digest_ = "sha256";
};

// DER PKCS#7 signed-data "certs only" bundle holding the certificates in the given order.
std::string pkcs7Der(const std::vector<TestCert>& certificates);
std::string pkcs7Der(const std::vector<X509*>& certificates);
// The same bundle as PEM ("-----BEGIN PKCS7-----").
std::string pkcs7Pem(const std::vector<TestCert>& certificates);

// DER PKCS#12 with the key and certificate of holder, the extra certificates, the pass phrase
// and optional friendly name (3DES/SHA-1 legacy or AES defaults of OpenSSL 3, as OpenSSL picks).
std::string pkcs12(const TestCert& holder, const std::string& passPhrase,
                   const std::vector<TestCert>& extra = {}, const std::string& friendlyName = "");

// ASN.1 DER helpers for raw extension values.
// The DER of an OCTET STRING holding value (for extension values wrapped once more).
std::vector<unsigned char> derOctetString(const std::string& value);

// Runs the openssl command with args (a shell-quoted argument string) and stdin from input;
// returns its standard output. Throws when it exits non-zero. E.g.
// opensslCommand("x509 -noout -fingerprint -sha1", cert.pem()).
std::string opensslCommand(const std::string& args, const std::string& input = "");

}  // namespace quor::test
