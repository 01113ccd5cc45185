#include "detection/detection.h"

#include <iterator>
#include <new>
#include <stdexcept>
#include <string_view>

#include "detection/certificate_chain_reader.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"

namespace quor::detection {

namespace {

bool endsWith(const std::wstring& name, std::wstring_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file name for an English error text: Latin-1 characters as they are (the library's narrow
// text rule), anything beyond as '?', so reporting a bad file never fails on its name.
std::string nameForMessage(const std::wstring& name) {
    std::string text;
    text.reserve(name.size());
    for (wchar_t c : name)
        text += (c >= 0 && c <= 0xFF) ? static_cast<char>(c) : '?';
    return text;
}

// A ".p7b" must give at least one certificate: a file from which none can be read (an error
// page served in its place, a bundle without certificates) is reported with the file's name,
// never taken for an installed or installable chain.
signer::CertificateChain readBundle(std::istream& stream, const std::wstring& name) {
    const std::string problem =
        "No certificate could be read from chain file " + nameForMessage(name);
    try {
        signer::CertificateChain chain = readCertificateBundle(stream);
        if (chain.certificates.empty())
            throw std::runtime_error(problem);
        return chain;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const BundleReadError& error) {
        throw std::runtime_error(problem + ": " + error.what());
    }
}

// The verdict on a bundle: its reference certificate's, and not Installed while the stores miss
// any other certificate of the file. A bundle that lacks an intermediate authority is ordered
// root first, so its reference can be a root the user already trusts while the certificates
// under it were never added: judged on the reference alone, such a file would be reported as
// installed and never installed.
CertValidation validateBundle(const signer::CertificateChain& chain,
                              signer::Repository& repository) {
    CertValidation validation = validateInstallation(chain.certificates.front(), repository);
    if (validation.code != CertValidation::Installed)
        return validation;
    for (auto it = std::next(chain.certificates.begin()); it != chain.certificates.end(); ++it) {
        try {
            repository.findCertificate(it->getFingerprint());
        } catch (const signer::CertificateNotFoundException&) {
            validation.code = CertValidation::NotFound;
            break;
        }
    }
    return validation;
}

void deliver(const DetectionCallback& callback, ChainOrCertificate item, std::int32_t code) {
    CertValidation validation;
    validation.code = code;
    callback(item, validation);
}

}  // namespace

CertValidation validateInstallation(const signer::Certificate& reference,
                                    signer::Repository& repository) {
    CertValidation validation;
    try {
        const std::string fingerprint = reference.getFingerprint();
        const signer::Certificate found = repository.findCertificate(fingerprint);
        const signer::CertificateChain chain = repository.buildChain(found);
        switch (chain.status) {
            case signer::ChainStatus::Valid:
            case signer::ChainStatus::Expired:
                validation.code = CertValidation::Installed;
                break;
            case signer::ChainStatus::IncompleteChain:
                validation.code = CertValidation::PartialChain;
                break;
            default:
                validation.code = CertValidation::ChainError;
                break;
        }
    } catch (const signer::CertificateNotFoundException&) {
        validation.code = CertValidation::NotFound;
    }
    return validation;
}

void detect(std::istream& stream, DetectionCallback callback, std::wstring name) {
    signer::SystemRepository repository;
    if (endsWith(name, L".p7b")) {
        const signer::CertificateChain chain = readBundle(stream, name);
        const CertValidation validation = validateBundle(chain, repository);
        ChainOrCertificate item;
        item.chain = std::make_shared<signer::CertificateChain>(chain);
        item.name = name;
        deliver(callback, std::move(item), validation.code);
    } else if (endsWith(name, L".crt")) {
        const std::string content{std::istreambuf_iterator<char>(stream),
                                  std::istreambuf_iterator<char>()};
        const signer::Certificate certificate(content);
        const CertValidation validation = validateInstallation(certificate, repository);
        ChainOrCertificate item;
        item.certificate = std::make_shared<signer::Certificate>(certificate);
        item.name = name;
        deliver(callback, std::move(item), validation.code);
    }
}

}  // namespace quor::detection
