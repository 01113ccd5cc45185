// getDetail of a DER certificate: ICP-Brasil holder fields, names, policies, key usages.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "signer/model/certificate.h"
#include "signer/model/certificate_detail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const quor::signer::Certificate certificate(data, static_cast<long>(size));
        const quor::signer::CertificateDetail detail = certificate.getDetail();
        std::size_t touched = detail.subjectName.size() + detail.issuerName.size() +
                              detail.email.size() + detail.policies.size();
        if (const auto* person = detail.person())
            touched += person->cpf.size() + person->voterPlace.size();
        if (const auto* company = detail.company())
            touched += company->cnpj.size() + company->responsibleName.size();
        (void)touched;
    } catch (const std::exception&) {
    }
    return 0;
}
