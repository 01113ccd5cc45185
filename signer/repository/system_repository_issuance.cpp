// Certificate issuance through the system repository: a request's key pair waits in an archive
// until its certificate is added, then both go to "MY" together.
#include "signer/repository/system_repository_issuance.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_store.h"
#include "platform/last_error.h"
#include "signer/model/certificate_detail.h"
#include "signer/model/text.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository_impl.h"

namespace quor::signer {

namespace err = platform::error;
using Impl = SystemRepository::SystemRepositoryImpl;

namespace {

// Reads UTF-8 one character at a time; a byte that does not start a valid sequence stands for
// its Latin-1 character, so no text is lost.
template <typename Emit>
void decodeUtf8(const std::string& bytes, Emit emit) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        char32_t code = extra == 3 ? lead & 0x07 : extra == 2 ? lead & 0x0F : lead & 0x1F;
        bool valid = extra > 0 && lead < 0xF8 && i + extra < bytes.size();
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            emit(static_cast<char32_t>(lead));
            ++i;
            continue;
        }
        i += extra + 1;
        emit(code);
    }
}

// Display names are the certificate's own bytes, normally UTF-8 (UTF8String) or ASCII; the
// friendly-name property is UTF-16. Valid UTF-8 is decoded as such, so accented names read
// right in other programs; any other byte stands for its Latin-1 character.
std::u16string friendlyNameOf(const std::string& bytes) {
    std::u16string out;
    decodeUtf8(bytes, [&](char32_t code) {
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    });
    return out;
}

std::wstring wideOfUtf8(const std::string& bytes) {
    std::wstring out;
    decodeUtf8(bytes, [&](char32_t code) { out += static_cast<wchar_t>(code); });
    return out;
}

// Pending key pairs are RSA: a certificate for another kind of key can be no request's answer
// (and asking an archive about it would only fail on the key type).
bool hasRsaKey(const Certificate& certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate.nativeHandle());
    ERR_clear_error();
    return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}

}  // namespace

std::shared_ptr<X509_REQ> SystemRepository::createCertificateRequest(const std::wstring& alias,
                                                                     int keySizeBits) {
    impl_->pendingArchives.emplace_back(std::wstring());
    // A copy shares the archive, and stays valid whatever happens to the vector.
    ArchiveRepository archive = impl_->pendingArchives.back();
    std::shared_ptr<X509_REQ> request;
    try {
        request = archive.createCertificateRequest(alias, keySizeBits);
    } catch (...) {
        // An archive whose key pair was never made can take no certificate; kept pending, it
        // would only make every later end-entity addition fail on it.
        // The archive is still the last one: nothing else ran in between.
        if (archive.state() == ArchiveState::Empty)
            impl_->pendingArchives.pop_back();
        throw;
    }
    // The certificate may come back long after this process has ended: the key waits in the
    // user's key storage too, where any later program that adds the certificate finds it.
    // A request whose key could not be kept is not handed out, since its certificate could
    // never be used.
    try {
        if (!platform::storePendingKey(archive.privateKeyDer(), toUtf8Text(alias)))
            throwSystemError({}, "PFXImportCertStore");
    } catch (const BaseException& error) {
        impl_->pendingArchives.pop_back();
        throw KeyPairGenerationException(error.what());
    }
    return request;
}

bool Impl::acceptIntoPendingArchive(const Certificate& certificate) {
    if (!hasRsaKey(certificate))
        return false;
    const auto importArchive = [this](ArchiveRepository& archive) {
        std::stringstream transfer;
        archive.save(kTransientPkcs12PassPhrase, transfer);
        try {
            importPkcs12(transfer, kTransientPkcs12PassPhrase);
        } catch (const CapiException& error) {
            // A store failure is reported like any other failed addition, not as the
            // platform's internal error type.
            throw CertificateAdditionException(error.what());
        }
    };
    for (auto it = pendingArchives.begin(); it != pendingArchives.end(); ++it) {
        if (!it->addCertificate(certificate))
            continue;
        importArchive(*it);
        pendingArchives.erase(it);
        return true;
    }

    // A request made by an earlier process (or by another program): its key waits in the key
    // storage. It meets its certificate the same way, through an archive and the import, which
    // takes the waiting key's row over.
    platform::Bytes privateKey;
    // The key's bytes do not outlive the archive made from them, whatever happens below.
    struct Cleanse {
        platform::Bytes& bytes;
        ~Cleanse() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    } cleanse{privateKey};
    std::string alias;
    if (!platform::findPendingKey(certificate.getEncoded(), &privateKey, &alias)) {
        if (platform::lastError() == err::kNotFound) {
            platform::setLastError(err::kSuccess);
            return false;
        }
        // Reaching the key storage is opening the user's stores.
        try {
            throwSystemError({}, "CertOpenSystemStore");
        } catch (const CapiException& error) {
            throw CertificateAdditionException(error.what());
        }
    }
    ArchiveRepository archive;
    try {
        archive = ArchiveRepository::withKeyPair(privateKey, wideOfUtf8(alias));
    } catch (const BaseException& error) {
        throw CertificateAdditionException(error.what());
    }
    if (!archive.addCertificate(certificate))
        return false;
    importArchive(archive);
    return true;
}

void Impl::importPkcs12(std::istream& in, const std::wstring& passPhrase) {
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    // Key, certificates, key link and friendly name are one change: a failure or a killed
    // process leaves all of it or none (never a key without its certificate, or the reverse).
    platform::StoreTransaction transaction;
    if (!transaction.ok())
        throwSystemError({}, "PFXImportCertStore");
    platform::CertStorePtr imported =
        platform::importPkcs12(bytes, toNarrowText(passPhrase), platform::kImportExportable);
    if (!imported)
        throwSystemError({}, "PFXImportCertStore");

    platform::CertStorePtr personal = openStore(platform::kPersonalStore);
    std::string keptFingerprint;
    platform::Sha1Hash keptSha1{};
    // A rolled-back import must not stay behind in the context cache either.
    struct ForgetUnlessCommitted {
        Impl& impl;
        const std::string& fingerprint;
        bool committed = false;
        ~ForgetUnlessCommitted() {
            const ContextSlot& found = impl.foundSlot();
            if (!committed && found.context && !fingerprint.empty() &&
                found.fingerprint == fingerprint) {
                impl.forgetFound(found.context->sha1());
            }
        }
    } forget{*this, keptFingerprint};
    std::u16string keptName;
    bool keptHasKey = false;
    enumerateStore(
        *imported, [&](Certificate& certificate, const platform::CertContextPtr& context) {
            platform::CertContextPtr added;
            const bool stored = personal->addContext(*context, &added);
            if (!stored) {
                throwSystemError({err::kExists}, "CertAddCertificateContextToStore");
            }
            platform::Bytes link;
            const bool hasKey =
                platform::getCertificateProperty(*context, platform::CertProperty::KeyLink, &link);
            platform::setLastError(err::kSuccess);
            if (hasKey && !stored) {
                // Already in "MY" (with the same or a later start): the copy there must still end
                // up with the key just imported, or the import would leave it without one.
                platform::CertContextPtr present = personal->findBySha1(context->sha1());
                if (!present)
                    throwSystemError({}, "CertFindCertificateInStore");
                if (!platform::setCertificateProperty(*present, platform::CertProperty::KeyLink,
                                                      &link)) {
                    throwSystemError({}, "CertSetCertificateContextProperty");
                }
            }
            // The name goes to the certificate that has the key; without any key, to the last one.
            if (hasKey || !keptHasKey) {
                keptSha1 = context->sha1();
                keptFingerprint = certificate.getFingerprint();
                keptName = friendlyNameOf(certificate.getDetail().subjectName);
                keptHasKey = keptHasKey || hasKey;
            }
            return Repository::Continue;
        });
    imported.reset();
    personal.reset();
    if (!keptFingerprint.empty()) {
        // The cache may still hold this certificate as it was before the import (removed by
        // another program meanwhile, for instance): the name goes to the one in "MY" now.
        forgetFound(keptSha1);
        const StoreContext found = findContext(keptFingerprint);
        platform::setLastError(err::kSuccess);
        if (!platform::setFriendlyName(*found.context, keptName)) {
            throwSystemError({}, "CertSetCertificateContextProperty");
        }
    }
    if (!transaction.commit())
        throwSystemError({}, "PFXImportCertStore");
    forget.committed = true;
}

void importPkcs12IntoPersonalStore(SystemRepository& repository, std::istream& in,
                                   const std::wstring& passPhrase) {
    try {
        repository.impl().importPkcs12(in, passPhrase);
    } catch (const CapiException& error) {
        throw CertificateAdditionException(error.what());
    } catch (const std::range_error& error) {
        throw CertificateAdditionException(error.what());
    }
}

}  // namespace quor::signer
