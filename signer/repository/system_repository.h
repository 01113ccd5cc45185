// SystemRepository: the Repository over the current user's certificate stores.
//
// It finds certificates by SHA-1 fingerprint, enumerates the stores by certificate kind, builds
// chains with the platform's chain engine, and adds certificates to the store their role calls
// for: roots to "ROOT", other authorities to "CA", other people's end-entity certificates to
// "AddressBook". The personal store "MY" holds the user's own certificates with their keys.
//
// A SystemRepository is a small handle: copies and clones share one implementation object, and
// with it the cache of the last certificate found. Use it from one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "signer/repository/repository.h"

namespace quor::signer {

class SystemRepository : public Repository {
  public:
    class SystemRepositoryImpl;

    // Opens nothing yet: stores are opened by the operations that need them.
    SystemRepository();

    // A new SystemRepository sharing this one's implementation; the caller owns it.
    Repository* clone() const override;

    // Searches "MY", "AddressBook", "CA" and "ROOT", in this order, for the certificate whose
    // SHA-1 hash the text gives (20 hexadecimal numbers separated by white space, either case).
    // Throws CertificateNotFoundException ("Certificate not found: Fingerprint: " + text) when
    // no store holds it and CertificateSearchingException when a store cannot be read.
    Certificate findCertificate(const std::string& fingerprint) override;

    // The platform's chain of a stored certificate at the current time, end entity first. Status:
    // Valid, Expired (only a validity problem), IncompleteChain (only an issuer missing),
    // Unverified (any other problem or combination, or the engine failed: then no certificates).
    // Throws CertificateNotFoundException when the certificate is in no store and
    // CertificateSearchingException when the stores cannot be read.
    CertificateChain buildChain(const Certificate& certificate) override;

    // Request generation for a key that will end up in "MY" once its certificate is added.
    std::shared_ptr<X509_REQ> createCertificateRequest(const std::wstring& alias,
                                                       int keySizeBits) override;

    // Adds the certificate to the store of its role: end entities to "AddressBook", roots to
    // "ROOT", other authorities to "CA" (an end entity whose key waits in a pending request goes
    // to "MY" with its key instead). True when it was added; false when the store already holds
    // it with the same or a later start of validity. Throws CertificateAdditionException when
    // the store refuses it (including a refused confirmation for "ROOT").
    bool addCertificate(const Certificate& certificate) override;

    // Walks the stores the kinds call for ("MY" for Personal, "AddressBook" for OtherPeople, "CA"
    // for any authority kind, "ROOT" for RootCa), visiting each accepted certificate once per
    // store and a root only once overall. Store failures become CertificateSearchingException;
    // the visitor's own exceptions pass through.
    void visitCertificates(int kinds, Visitor visitor) override;

    // The stores make no key pairs on their own: always throws a plain std::exception. Key pairs
    // for requests come through createCertificateRequest.
    KeyPair generateKeyPair(const std::wstring& alias, int keySizeBits) override;

    PrivateKeyHandle privateKeyOf(const Certificate& certificate) override;
    Bytes signWithKey(const Bytes& data, PrivateKeyHandle key, const char* hashName) override;
    Bytes signDigestWithKey(const char* hashName, const Bytes& digest,
                            PrivateKeyHandle key) override;
    Bytes decryptWithKey(const Bytes& data, PrivateKeyHandle key) override;

    // Store management beyond the Repository interface (used by the terminal tool).

    // The store addCertificate puts this certificate in: "AddressBook" for an end entity, "ROOT"
    // for a root, "CA" for any other authority.
    static std::string storeNameFor(const Certificate& certificate);

    // Calls visitor with every certificate of one named store ("MY", "AddressBook", "CA",
    // "ROOT"), unfiltered, in the store's order, until it answers Stop. Store failures become
    // CertificateSearchingException; the visitor's exceptions pass through.
    void visitStore(const std::string& storeName, Visitor visitor);

    // Removes the certificate whose SHA-1 the fingerprint text gives (20 hexadecimal numbers,
    // any case) from every store that holds it; returns those stores' names in search order
    // (empty when none held it). Store failures become CertificateSearchingException.
    std::vector<std::string> removeCertificate(const std::string& fingerprint);

    // The implementation shared by this handle (for the key operations and tests of the cache).
    SystemRepositoryImpl& impl() const { return *impl_; }

  private:
    std::shared_ptr<SystemRepositoryImpl> impl_;
};

}  // namespace quor::signer
