#include "signer/repository/system_repository.h"

#include <algorithm>
#include <exception>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "platform/last_error.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository_impl.h"

namespace quor::signer {

namespace err = platform::error;
using Impl = SystemRepository::SystemRepositoryImpl;

namespace {

// Search order of a lookup by fingerprint: the user's own certificates first, the trusted roots
// last.
constexpr std::string_view kSearchOrder[] = {platform::kPersonalStore, platform::kAddressBookStore,
                                             platform::kCaStore, platform::kRootStore};

Certificate certificateOf(const platform::CertContext& context) {
    const platform::Bytes& der = context.der();
    return Certificate(der.data(), static_cast<long>(der.size()));
}

platform::Sha1Hash hashOf(const std::string& fingerprint) {
    platform::Sha1Hash hash{};
    Certificate::fingerprintToHash(fingerprint, hash.data());
    return hash;
}

}  // namespace

// ----------------------------------------------------------------------------------------------
// SystemRepositoryImpl

Impl::SystemRepositoryImpl() {
    platform::setLastError(err::kSuccess);
}

Impl::~SystemRepositoryImpl() {
    releaseFoundSlot();
}

platform::CertStorePtr Impl::openStore(std::string_view name) {
    platform::CertStorePtr store = platform::openSystemStore(name);
    // A store that cannot be opened is always an error, even if the layer left no code.
    if (!store)
        throwSystemError({}, "CertOpenSystemStore");
    return store;
}

void Impl::releaseFoundSlot() noexcept {
    // Closing a store of this layer cannot fail, so releasing the slot never needs to report
    // anything (and the destructor that runs it must not throw).
    foundSlot_ = ContextSlot{};
    foundStore_.reset();
}

void Impl::replaceFoundSlot(std::string fingerprint, platform::CertStorePtr store,
                            platform::CertContextPtr context) noexcept {
    releaseFoundSlot();
    foundStore_ = std::move(store);
    foundSlot_.fingerprint = std::move(fingerprint);
    foundSlot_.store = foundStore_.get();
    foundSlot_.context = std::move(context);
}

void Impl::forgetFound(const platform::Sha1Hash& sha1) noexcept {
    if (foundSlot_.context && foundSlot_.context->sha1() == sha1)
        releaseFoundSlot();
}

Impl::StoreContext Impl::findContext(const std::string& fingerprint) {
    if (visitSlot_.context && fingerprint == visitSlot_.fingerprint) {
        return {visitSlot_.store, visitSlot_.context};
    }
    if (foundSlot_.context && fingerprint == foundSlot_.fingerprint) {
        return {foundSlot_.store, foundSlot_.context};
    }
    const platform::Sha1Hash hash = hashOf(fingerprint);
    for (std::string_view name : kSearchOrder) {
        platform::CertStorePtr store = openStore(name);
        platform::CertContextPtr context = store->findBySha1(hash);
        if (context) {
            platform::CertStore* borrowed = store.get();
            replaceFoundSlot(fingerprint, std::move(store), context);
            return {borrowed, std::move(context)};
        }
        // A miss leaves the not-found code, which is no error here; anything else is a store
        // that could not be searched and must not pass for "not there".
        if (platform::lastError() != err::kNotFound) {
            throwSystemError({}, "CertFindCertificateInStore");
        }
        platform::setLastError(err::kSuccess);
    }
    std::ostringstream detail;
    detail << "Fingerprint: " << fingerprint;
    throw CertificateNotFoundException(detail.str());
}

void Impl::enumerateStore(platform::CertStore& store, const ContextVisitor& visitor) {
    // The slot only describes the certificate being visited; it owns nothing worth releasing.
    // However the walk ends it goes back to what it was before: empty, or, when a visitor
    // started this walk (a search inside a visit), the certificate the outer walk is visiting.
    struct VisitSlotGuard {
        ContextSlot& slot;
        ContextSlot saved;
        ~VisitSlotGuard() { slot = std::move(saved); }
    } guard{visitSlot_, visitSlot_};

    platform::CertContextPtr context;
    while (true) {
        context = store.next(context);
        if (!context)
            break;
        Certificate certificate = certificateOf(*context);
        visitSlot_.fingerprint = certificate.getFingerprint();
        visitSlot_.store = &store;
        visitSlot_.context = context;
        if (visitor(certificate, context) == Repository::Stop)
            return;
    }
    // The walk ends with the not-found code; any other code means the store could not be read
    // to its end, which must not pass for a complete walk.
    const platform::ErrorCode code = platform::lastError();
    if (code != err::kNotFound && code != err::kNoMoreFiles && code != err::kFileNotFound) {
        throwSystemError({}, "CertEnumCertificatesInStore");
    }
    platform::setLastError(err::kSuccess);
}

// acceptIntoPendingArchive: system_repository_issuance.cpp.

// ----------------------------------------------------------------------------------------------
// SystemRepository

SystemRepository::SystemRepository() : impl_(std::make_shared<SystemRepositoryImpl>()) {}

Repository* SystemRepository::clone() const {
    return new SystemRepository(*this);
}

Certificate SystemRepository::findCertificate(const std::string& fingerprint) {
    try {
        return certificateOf(*impl_->findContext(fingerprint).context);
    } catch (const CapiException& error) {
        throw CertificateSearchingException(error.what());
    }
}

CertificateChain SystemRepository::buildChain(const Certificate& certificate) {
    try {
        const SystemRepositoryImpl::StoreContext found =
            impl_->findContext(certificate.getFingerprint());
        const std::optional<platform::CertChain> chain =
            platform::getCertificateChain(*found.context);
        if (!chain) {
            // The engine could not build anything: no verdict, no certificates. Its code is
            // consumed here so no later check takes it for its own failure.
            platform::setLastError(err::kSuccess);
            return CertificateChain(nullptr, nullptr, ChainStatus::Unverified);
        }
        ChainStatus status = ChainStatus::Unverified;
        switch (chain->errorStatus) {
            case platform::chain_error::kNone:
                status = ChainStatus::Valid;
                break;
            case platform::chain_error::kNotTimeValid:
                status = ChainStatus::Expired;
                break;
            case platform::chain_error::kPartialChain:
                status = ChainStatus::IncompleteChain;
                break;
            default:
                break;
        }
        std::vector<Certificate> elements;
        elements.reserve(chain->elements.size());
        for (const platform::Bytes& der : chain->elements) {
            elements.emplace_back(der.data(), static_cast<long>(der.size()));
        }
        return CertificateChain(elements.data(), elements.data() + elements.size(), status);
    } catch (const CapiException& error) {
        throw CertificateSearchingException(error.what());
    }
}

std::string SystemRepository::storeNameFor(const Certificate& certificate) {
    if (!certificate.isCertificateAuthority())
        return std::string(platform::kAddressBookStore);
    if (certificate.isRoot())
        return std::string(platform::kRootStore);
    return std::string(platform::kCaStore);
}

bool SystemRepository::addCertificate(const Certificate& certificate) {
    if (!certificate.isCertificateAuthority() && impl_->acceptIntoPendingArchive(certificate)) {
        return true;
    }
    try {
        const std::string storeName = storeNameFor(certificate);
        const std::vector<unsigned char> der = certificate.getEncoded();
        platform::CertStorePtr store = SystemRepositoryImpl::openStore(storeName);
        if (store->addEncoded(der))
            return true;
        // Only "already there with the same or a later start" is an answer; a failure the
        // layer left no code for is still a failure, never a quiet "already present".
        throwSystemError({err::kExists}, "CertAddEncodedCertificateToStore");
        return false;
    } catch (const CapiException& error) {
        throw CertificateAdditionException(error.what());
    }
}

void SystemRepository::visitCertificates(int kinds, Visitor visitor) {
    std::vector<std::string_view> stores;
    if ((kinds & Personal) != 0)
        stores.push_back(platform::kPersonalStore);
    if ((kinds & OtherPeople) != 0)
        stores.push_back(platform::kAddressBookStore);
    if ((kinds & 0xF0) != 0)
        stores.push_back(platform::kCaStore);
    if ((kinds & RootCa) != 0)
        stores.push_back(platform::kRootStore);

    std::set<std::string> rootsSeen;
    // Store failures are converted; whatever the caller's visitor throws is its own and passes
    // through untouched, even when it happens to be a store error of a nested call.
    bool visitorFailed = false;
    try {
        for (std::string_view name : stores) {
            Then last = Continue;
            platform::CertStorePtr store = SystemRepositoryImpl::openStore(name);
            impl_->enumerateStore(*store,
                                  [&](Certificate& certificate, const platform::CertContextPtr&) {
                                      if (!matchesKinds(certificate, kinds))
                                          return Continue;
                                      // A root kept in both "CA" and "ROOT" is visited once.
                                      if (certificate.isRoot() &&
                                          !rootsSeen.insert(certificate.getFingerprint()).second) {
                                          return Continue;
                                      }
                                      try {
                                          last = visitor(certificate);
                                      } catch (...) {
                                          visitorFailed = true;
                                          throw;
                                      }
                                      return last;
                                  });
            if (last == Stop)
                break;
        }
    } catch (const CapiException& error) {
        if (visitorFailed)
            throw;
        throw CertificateSearchingException(error.what());
    }
}

void SystemRepository::visitStore(const std::string& storeName, Visitor visitor) {
    bool visitorFailed = false;
    try {
        platform::CertStorePtr store = SystemRepositoryImpl::openStore(storeName);
        impl_->enumerateStore(*store,
                              [&](Certificate& certificate, const platform::CertContextPtr&) {
                                  try {
                                      return visitor(certificate);
                                  } catch (...) {
                                      visitorFailed = true;
                                      throw;
                                  }
                              });
    } catch (const CapiException& error) {
        if (visitorFailed)
            throw;
        throw CertificateSearchingException(error.what());
    }
}

std::vector<std::string> SystemRepository::removeCertificate(const std::string& fingerprint) {
    const platform::Sha1Hash hash = hashOf(fingerprint);
    std::vector<std::string> removedFrom;
    try {
        for (std::string_view name : kSearchOrder) {
            platform::CertStorePtr store = SystemRepositoryImpl::openStore(name);
            platform::CertContextPtr context = store->findBySha1(hash);
            if (!context) {
                if (platform::lastError() != err::kNotFound) {
                    throwSystemError({}, "CertFindCertificateInStore");
                }
                platform::setLastError(err::kSuccess);
                continue;
            }
            // The cache must not keep answering with a certificate that is gone.
            impl_->forgetFound(hash);
            if (!store->remove(*context)) {
                // Removed meanwhile by someone else: nothing left to do in this store.
                if (throwSystemError({err::kNotFound}, "CertDeleteCertificateFromStore") ==
                    err::kNotFound) {
                    continue;
                }
            }
            removedFrom.emplace_back(name);
        }
    } catch (const CapiException& error) {
        throw CertificateSearchingException(error.what());
    }
    return removedFrom;
}

KeyPair SystemRepository::generateKeyPair(const std::wstring& /*alias*/, int /*keySizeBits*/) {
    throw std::runtime_error(
        "(WINDOWS - SystemRepository::rawSignDigest) unsupported for the rest of our lives");
}

}  // namespace quor::signer
