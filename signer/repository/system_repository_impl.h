// Internal: the state shared by all copies of a SystemRepository, and the store operations its
// public operations and key operations are built from. Not for callers outside
// signer/repository.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "signer/repository/archive_repository.h"
#include "signer/repository/system_repository.h"

namespace quor::signer {

class SystemRepository::SystemRepositoryImpl {
  public:
    // A certificate located in a store: the open store and the certificate's context. The store
    // is borrowed from the cache slot or from the enumeration that produced it.
    struct StoreContext {
        platform::CertStore* store = nullptr;
        platform::CertContextPtr context;
    };

    // One slot of the context cache: the fingerprint text it answers to, and where that
    // certificate is. An empty slot has an empty text and no store or context.
    struct ContextSlot {
        std::string fingerprint;
        platform::CertStore* store = nullptr;
        platform::CertContextPtr context;
    };

    using ContextVisitor =
        std::function<Repository::Then(Certificate&, const platform::CertContextPtr&)>;

    // Starts with empty cache slots and clears the thread's last error.
    SystemRepositoryImpl();
    // Releases the found slot; never throws.
    ~SystemRepositoryImpl();
    SystemRepositoryImpl(const SystemRepositoryImpl&) = delete;
    SystemRepositoryImpl& operator=(const SystemRepositoryImpl&) = delete;

    // The certificate with this fingerprint: first the certificate an enumeration is visiting,
    // then the one found last (exact text comparison), else a search of "MY", "AddressBook",
    // "CA" and "ROOT" in this order by the SHA-1 the text gives (any case, any white space).
    // The result stays valid until the found slot is replaced or the enumeration moves on.
    // Throws CertificateNotFoundException when no store holds it and CapiException when a store
    // cannot be opened or searched.
    StoreContext findContext(const std::string& fingerprint);

    // Walks an open store in its order, calling visitor with each certificate and its context
    // until it answers Stop; the visit slot describes the certificate being visited meanwhile.
    // Throws CapiException when the walk fails; the visitor's exceptions pass through.
    void enumerateStore(platform::CertStore& store, const ContextVisitor& visitor);

    // Offers an end-entity certificate to the key pairs waiting for their certificate (made by
    // createCertificateRequest). True when one of them took it and it was imported into "MY"
    // with its key; false when none waits for it.
    bool acceptIntoPendingArchive(const Certificate& certificate);

    // Opens a store by name; throws CapiException ("CertOpenSystemStore") when it cannot be
    // opened, whatever the last error says.
    static platform::CertStorePtr openStore(std::string_view name);

    // Forgets the found slot when it holds a certificate with this SHA-1 (used after a removal,
    // so the cache never answers with a certificate that is gone).
    void forgetFound(const platform::Sha1Hash& sha1) noexcept;

    // Issuance (system_repository_issuance.cpp): the archives of certificate requests whose
    // certificate has not been added yet, in creation order, and the import of a DER PKCS#12
    // under its pass phrase into "MY", key and friendly name included.
    std::vector<ArchiveRepository> pendingArchives;
    void importPkcs12(std::istream& in, const std::wstring& passPhrase);

    const ContextSlot& foundSlot() const { return foundSlot_; }
    const ContextSlot& visitSlot() const { return visitSlot_; }

  private:
    void replaceFoundSlot(std::string fingerprint, platform::CertStorePtr store,
                          platform::CertContextPtr context) noexcept;
    void releaseFoundSlot() noexcept;

    // The store of the found slot is owned here; the slot itself only points at it.
    platform::CertStorePtr foundStore_;
    ContextSlot foundSlot_;
    ContextSlot visitSlot_;
};

}  // namespace quor::signer
