// Certificate issuance through the system repository: a request's key pair waits in an archive
// until its certificate is added, then both go to "MY" together.
#include "signer/repository/system_repository_issuance.h"

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

// Display names are the certificate's own bytes, normally UTF-8 (UTF8String) or ASCII; the
// friendly-name property is UTF-16. Valid UTF-8 is decoded as such, so accented names read
// right in other programs; any other byte stands for its Latin-1 character.
std::u16string friendlyNameOf(const std::string& bytes) {
    std::u16string out;
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
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<X509_REQ> SystemRepository::createCertificateRequest(const std::wstring& alias,
                                                                     int keySizeBits) {
    impl_->pendingArchives.emplace_back(std::wstring());
    // A copy shares the archive, and stays valid whatever happens to the vector.
    ArchiveRepository archive = impl_->pendingArchives.back();
    try {
        return archive.createCertificateRequest(alias, keySizeBits);
    } catch (...) {
        // An archive whose key pair was never made can take no certificate; kept pending, it
        // would only make every later end-entity addition fail on it.
        // The archive is still the last one: nothing else ran in between.
        if (archive.state() == ArchiveState::Empty)
            impl_->pendingArchives.pop_back();
        throw;
    }
}

bool Impl::acceptIntoPendingArchive(const Certificate& certificate) {
    for (auto it = pendingArchives.begin(); it != pendingArchives.end(); ++it) {
        if (!it->addCertificate(certificate))
            continue;
        std::stringstream transfer;
        it->save(kTransientPkcs12PassPhrase, transfer);
        try {
            importPkcs12(transfer, kTransientPkcs12PassPhrase);
        } catch (const CapiException& error) {
            // A store failure is reported like any other failed addition, not as the
            // platform's internal error type.
            throw CertificateAdditionException(error.what());
        }
        pendingArchives.erase(it);
        return true;
    }
    return false;
}

void Impl::importPkcs12(std::istream& in, const std::wstring& passPhrase) {
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    platform::CertStorePtr imported =
        platform::importPkcs12(bytes, toNarrowText(passPhrase), platform::kImportExportable);
    if (!imported)
        throwSystemError({}, "PFXImportCertStore");

    platform::CertStorePtr personal = openStore(platform::kPersonalStore);
    std::string keptFingerprint;
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
                keptFingerprint = certificate.getFingerprint();
                keptName = friendlyNameOf(certificate.getDetail().subjectName);
                keptHasKey = keptHasKey || hasKey;
            }
            return Repository::Continue;
        });
    imported.reset();
    personal.reset();
    if (keptFingerprint.empty())
        return;  // a file without certificates

    const StoreContext found = findContext(keptFingerprint);
    platform::setLastError(err::kSuccess);
    if (!platform::setFriendlyName(*found.context, keptName)) {
        throwSystemError({}, "CertSetCertificateContextProperty");
    }
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
