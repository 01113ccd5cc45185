// Repository: the common interface of every place that holds certificates and, possibly, their
// private keys (the user's system stores, a PKCS#12 archive in memory).
//
// Callers see one interface: enumerate certificates of chosen kinds, find a certificate by
// fingerprint, by issuer and serial number or by a predicate, find a certificate's issuer, build a
// chain, add a certificate, create a key pair and a certificate request, and sign or decrypt with
// the private key that belongs to a certificate.
//
// The virtual operations below keep a fixed order. Seven are pure (the primitives each concrete
// repository supplies: clone, addCertificate, visitCertificates, generateKeyPair, privateKeyOf,
// signDigestWithKey, decryptWithKey); the others are implemented here once, in terms of the
// virtual operations of the object they run on, so an override takes effect inside them.
//
// Repositories are used from one thread at a time; copies and clones of a concrete repository
// share its state.
#pragma once

#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"

namespace quor::signer {

// Bit set, passed as a plain int, that says which kinds of certificate an enumeration wants. It
// chooses the stores the system repository opens and filters what reaches the visitor:
//   Personal (0x01), OtherPeople (0x02) and the unnamed 0x04, 0x08: end entities;
//   IssuingCa (0x10): authorities, not self-signed, that may not issue further authorities;
//   IntermediateCa (0x20): authorities, not self-signed, that may issue further authorities;
//   RootCa (0x40): roots;
//   0x80: opens the authority store but accepts nothing by itself.
// A certificate passes when it meets the condition of at least one requested bit; with AnyKind
// every certificate passes.
enum CertificateKind : int {
    Personal = 0x01,
    OtherPeople = 0x02,
    IssuingCa = 0x10,
    IntermediateCa = 0x20,
    RootCa = 0x40,
    AnyCa = 0xF0,
    AnyKind = 0xFF,
};

// True when the certificate meets the condition of at least one bit of kinds (see above).
bool matchesKinds(const Certificate& certificate, int kinds);

// Opaque reference to a private key. Only the repository that issued it knows what it points to;
// it is handed back only to that repository.
using PrivateKeyHandle = std::shared_ptr<void>;

// A key pair made by generateKeyPair: the public half as modulus and exponent, the private half
// as a handle of the repository that made it.
struct KeyPair {
    RsaPublicKey publicKey;
    PrivateKeyHandle privateKey;
};

class Repository {
  public:
    // A visitor's answer. Enumerations compare it with Stop only.
    enum Then { Continue = 0, Stop = 1 };

    using Visitor = std::function<Then(const Certificate&)>;
    using SimpleVisitor = std::function<void(const Certificate&)>;
    using Predicate = std::function<bool(const Certificate&)>;
    using Bytes = std::vector<unsigned char>;

    // Makes sure OpenSSL's error strings are loaded (once per process).
    Repository();

    // A new heap object of the same class sharing this object's state; the caller owns it.
    virtual Repository* clone() const = 0;

    // Opens a protected repository with a pass phrase. Here: nothing to do.
    virtual void login(const std::wstring& passPhrase);
    // Here: nothing to do.
    virtual void logout();

    // Calls visitor for every certificate of the given kinds; the visitor cannot stop the walk.
    // Exceptions of the visitor pass through.
    virtual void forEachCertificate(int kinds, SimpleVisitor visitor);

    // The certificate whose fingerprint text (lower-case hexadecimal pairs separated by single
    // spaces) equals the given text exactly. Throws CertificateNotFoundException
    // ("Certificate not found: Fingerprint: " + text) when there is none.
    virtual Certificate findCertificate(const std::string& fingerprint);

    // The certificate with this serial-number text and issuer name (entry order ignored). Throws
    // CertificateNotFoundException ("Certificate not found: Issuer: <name>, Serial Number: <s>").
    virtual Certificate findByIssuerAndSerial(const DistinguishedName& issuer,
                                              const std::string& serialNumber);

    // The authority whose subject is the certificate's issuer name and whose key verifies the
    // certificate's signature. Throws CertificateNotFoundException with "This Certificate is
    // self-signed" for a root (without enumerating) and "Issuer not found" when none qualifies.
    virtual Certificate findIssuer(const Certificate& certificate);

    // The certificate followed by its issuers up to a root: Valid when a root closes it,
    // IncompleteChain when an issuer is missing (or the issuers run in a cycle). Never throws
    // CertificateNotFoundException; other exceptions pass through.
    virtual CertificateChain buildChain(const Certificate& certificate);

    // Generates a key pair under the alias and returns a PKCS#10 request signed with it.
    virtual std::shared_ptr<X509_REQ> createCertificateRequest(const std::wstring& alias,
                                                               int keySizeBits);

    // Adds a certificate; true when it was added, false when the repository already held it.
    virtual bool addCertificate(const Certificate& certificate) = 0;

    // Signs data with the private key of the signer certificate. Any failure is reported as
    // SignatureException.
    virtual Bytes sign(const Bytes& data, const Certificate& signer, const char* hashName);
    // Signs a digest already computed with hashName. Any failure is SignatureException.
    virtual Bytes signDigest(const Bytes& digest, const Certificate& signer, const char* hashName);
    // Decrypts data with the private key of the recipient certificate. Any failure is
    // DecryptionException.
    virtual Bytes decrypt(const Bytes& data, const Certificate& recipient);

    // Calls visitor for every certificate of the given kinds until it answers Stop.
    virtual void visitCertificates(int kinds, Visitor visitor) = 0;

    // The first certificate (in enumeration order, all kinds) for which predicate holds. Throws
    // CertificateNotFoundException ("Certificate not found: ") when there is none.
    virtual Certificate findFirst(Predicate predicate);

    // Creates a new RSA key pair under the alias.
    virtual KeyPair generateKeyPair(const std::wstring& alias, int keySizeBits) = 0;

    // The private key that belongs to a certificate of this repository.
    virtual PrivateKeyHandle privateKeyOf(const Certificate& certificate) = 0;

    // Digests data with the named hash and signs the digest with the key.
    virtual Bytes signWithKey(const Bytes& data, PrivateKeyHandle key, const char* hashName);
    // Signs a digest (PKCS#1 v1.5). Note the argument order: hash name, digest, key.
    virtual Bytes signDigestWithKey(const char* hashName, const Bytes& digest,
                                    PrivateKeyHandle key) = 0;
    // Decrypts PKCS#1 v1.5 encrypted data with the key.
    virtual Bytes decryptWithKey(const Bytes& data, PrivateKeyHandle key) = 0;

    // Lets a clone be deleted through a Repository pointer.
    virtual ~Repository();

  protected:
    Repository(const Repository&) = default;
    Repository& operator=(const Repository&) = default;
};

}  // namespace quor::signer
