// getDetail on an ICP-Brasil person certificate: the summary the system store computes after
// adding each certificate (names, policies with their descriptions, key usages, holder data).
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "signer/model/certificate_detail.h"
#include "signer/model/openssl_ptr.h"
#include "tests/support/pki_builder.h"

namespace {

using quor::signer::Certificate;
using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::StringType;

// DER of a certificatePolicies extension value with the given policy OIDs.
std::vector<unsigned char> certificatePoliciesDer(const std::vector<std::string>& oids) {
    const quor::openssl::CertificatePoliciesPtr policies{sk_POLICYINFO_new_null()};
    if (!policies)
        throw std::bad_alloc();
    for (const std::string& oid : oids) {
        std::unique_ptr<POLICYINFO, quor::openssl::FreeWith<POLICYINFO_free>> info{
            POLICYINFO_new()};
        if (!info)
            throw std::bad_alloc();
        ASN1_OBJECT_free(info->policyid);
        info->policyid = OBJ_txt2obj(oid.c_str(), 1);
        if (info->policyid == nullptr)
            throw std::invalid_argument("policy OID " + oid);
        if (sk_POLICYINFO_push(policies.get(), info.get()) <= 0)
            throw std::bad_alloc();
        info.release();
    }
    unsigned char* der = nullptr;
    const int length = i2d_CERTIFICATEPOLICIES(policies.get(), &der);
    if (length <= 0)
        throw std::runtime_error("certificatePolicies encoding");
    const quor::openssl::OpenSslMemoryPtr owned{der};
    return std::vector<unsigned char>(der, der + length);
}

Certificate personCertificate() {
    const quor::test::TestCert made =
        CertBuilder(Name{{"C", "BR"},
                         {"O", "ICP-Brasil"},
                         {"OU", "Autoridade de Registro"},
                         {"OU", "Pessoa Fisica A3"},
                         {"CN", "FULANO DE TAL:52998224725"}})
            .keyUsage("digitalSignature,nonRepudiation,keyEncipherment")
            .extendedKeyUsage("clientAuth,emailProtection")
            .rawExtension("2.5.29.32",
                          certificatePoliciesDer({"2.16.76.1.2.3.7", "2.16.76.1.1.12"}))
            .email("fulano@example.com")
            .otherName("2.16.76.1.3.1", std::string("31121975") + "52998224725" + "12056412547" +
                                            "000000012345678" + "SSP-SP")
            .otherName("2.16.76.1.3.6", "000000000000")
            .otherName("2.16.76.1.3.5", "0043567890121230456SAO PAULOSP", StringType::Printable)
            .selfSigned();
    return Certificate(made.x509());
}

void BM_GetDetailPerson(benchmark::State& state) {
    const Certificate certificate = personCertificate();
    for (auto _ : state) {
        auto detail = certificate.getDetail();
        benchmark::DoNotOptimize(detail);
    }
}
BENCHMARK(BM_GetDetailPerson);

void BM_DescribePolicy(benchmark::State& state) {
    const std::string oid = "2.16.76.1.2.304.7";
    for (auto _ : state) {
        auto description = quor::signer::describePolicy(oid);
        benchmark::DoNotOptimize(description);
    }
}
BENCHMARK(BM_DescribePolicy);

}  // namespace

BENCHMARK_MAIN();
