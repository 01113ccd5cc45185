#include "installer/install_step.h"

#include "signer/repository/system_repository.h"

namespace quor::installer {

void installChainStep(const int& progress, InstallerControls& controls, const std::wstring& name,
                      detection::ChainOrCertificate& item, detection::CertValidation& validation) {
    setProgress(controls, progress);
    if (validation.code == detection::CertValidation::Installed) {
        writeLog(controls, (L"Cadeia em " + name + L" já está instalada.").c_str());
        return;
    }
    writeLog(controls, (L"Instalando cadeia em " + name + L".").c_str());

    // One verdict decides for the whole file; a certificate the stores already hold is simply
    // not added again, so the results of the additions are not looked at.
    signer::SystemRepository repository;
    if (item.chain) {
        for (const signer::Certificate& certificate : item.chain->certificates) {
            repository.addCertificate(certificate);
        }
    }
    if (item.certificate) {
        repository.addCertificate(*item.certificate);
    }
}

}  // namespace quor::installer
