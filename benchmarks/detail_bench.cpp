// getDetail on an ICP-Brasil person certificate: the summary the system store computes after
// adding each certificate (names, policies with their descriptions, key usages, holder data).
// The certificate is made here with plain OpenSSL, so the program needs only the libraries.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "signer/model/certificate_detail.h"
#include "platform/openssl_ptr.h"

namespace {

namespace ossl = quor::openssl;
using quor::signer::Certificate;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("benchmark certificate: ") + what);
}

void addName(X509_NAME* name, const char* field, const std::string& value) {
    check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(value.data()),
                                     static_cast<int>(value.size()), -1, 0) == 1,
          field);
}

// An otherName of the ICP-Brasil profile: type OID and an OCTET STRING value.
void addOtherName(GENERAL_NAMES* names, const char* oid, const std::string& value) {
    ossl::Asn1OctetStringPtr octets{ASN1_OCTET_STRING_new()};
    check(octets && ASN1_OCTET_STRING_set(octets.get(),
                                          reinterpret_cast<const unsigned char*>(value.data()),
                                          static_cast<int>(value.size())) == 1,
          "otherName value");
    std::unique_ptr<ASN1_TYPE, ossl::FreeWith<ASN1_TYPE_free>> any{ASN1_TYPE_new()};
    check(any != nullptr, "otherName value");
    ASN1_TYPE_set(any.get(), V_ASN1_OCTET_STRING, octets.release());
    ossl::Asn1ObjectPtr type{OBJ_txt2obj(oid, 1)};
    std::unique_ptr<GENERAL_NAME, ossl::FreeWith<GENERAL_NAME_free>> name{GENERAL_NAME_new()};
    check(type && name, "otherName");
    check(GENERAL_NAME_set0_othername(name.get(), type.get(), any.get()) == 1, "otherName");
    type.release();
    any.release();
    check(sk_GENERAL_NAME_push(names, name.get()) > 0, "otherName");
    name.release();
}

void addEmail(GENERAL_NAMES* names, const std::string& address) {
    std::unique_ptr<ASN1_IA5STRING, ossl::FreeWith<ASN1_IA5STRING_free>> text{ASN1_IA5STRING_new()};
    check(
        text && ASN1_STRING_set(text.get(), address.data(), static_cast<int>(address.size())) == 1,
        "e-mail");
    std::unique_ptr<GENERAL_NAME, ossl::FreeWith<GENERAL_NAME_free>> name{GENERAL_NAME_new()};
    check(name != nullptr, "e-mail");
    GENERAL_NAME_set0_value(name.get(), GEN_EMAIL, text.release());
    check(sk_GENERAL_NAME_push(names, name.get()) > 0, "e-mail");
    name.release();
}

void addPolicies(X509* x509, const std::vector<const char*>& oids) {
    ossl::CertificatePoliciesPtr policies{sk_POLICYINFO_new_null()};
    check(policies != nullptr, "policies");
    for (const char* oid : oids) {
        std::unique_ptr<POLICYINFO, ossl::FreeWith<POLICYINFO_free>> info{POLICYINFO_new()};
        check(info != nullptr, "policy");
        ASN1_OBJECT_free(info->policyid);
        info->policyid = OBJ_txt2obj(oid, 1);
        check(info->policyid != nullptr, "policy OID");
        check(sk_POLICYINFO_push(policies.get(), info.get()) > 0, "policy");
        info.release();
    }
    check(X509_add1_ext_i2d(x509, NID_certificate_policies, policies.get(), 0, 0) == 1, "policies");
}

void addConfExtension(X509* x509, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, x509, x509, nullptr, nullptr, 0);
    ossl::X509ExtensionPtr extension{
        X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value))};
    check(extension && X509_add_ext(x509, extension.get(), -1) == 1, value);
}

// A self-signed end-entity certificate shaped like an ICP-Brasil A3 certificate of a person.
Certificate personCertificate() {
    ossl::EvpPkeyPtr key{EVP_RSA_gen(1024)};
    check(key != nullptr, "key");
    ossl::X509Ptr x509{X509_new()};
    check(x509 && X509_set_version(x509.get(), 2) == 1, "certificate");
    check(ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 0x1a2b3c4d) == 1, "serial");

    X509_NAME* subject = X509_get_subject_name(x509.get());
    addName(subject, "C", "BR");
    addName(subject, "O", "ICP-Brasil");
    addName(subject, "OU", "Autoridade de Registro");
    addName(subject, "OU", "Pessoa Fisica A3");
    addName(subject, "CN", "FULANO DE TAL:52998224725");
    check(X509_set_issuer_name(x509.get(), subject) == 1, "issuer");
    check(X509_gmtime_adj(X509_getm_notBefore(x509.get()), -86400) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(x509.get()), 3L * 365 * 86400) != nullptr,
          "validity");
    check(X509_set_pubkey(x509.get(), key.get()) == 1, "public key");

    addConfExtension(x509.get(), NID_key_usage,
                     "critical,digitalSignature,nonRepudiation,keyEncipherment");
    addConfExtension(x509.get(), NID_ext_key_usage, "clientAuth,emailProtection");
    addPolicies(x509.get(), {"2.16.76.1.2.3.7", "2.16.76.1.1.12"});

    ossl::GeneralNamesPtr names{sk_GENERAL_NAME_new_null()};
    check(names != nullptr, "subjectAltName");
    addEmail(names.get(), "fulano@example.com");
    addOtherName(
        names.get(), "2.16.76.1.3.1",
        std::string("31121975") + "52998224725" + "12056412547" + "000000012345678" + "SSP-SP");
    addOtherName(names.get(), "2.16.76.1.3.6", "000000000000");
    addOtherName(names.get(), "2.16.76.1.3.5",
                 std::string("004356789012") + "123" + "0456" + "SAO PAULOSP");
    check(X509_add1_ext_i2d(x509.get(), NID_subject_alt_name, names.get(), 0, 0) == 1,
          "subjectAltName");

    check(X509_sign(x509.get(), key.get(), EVP_sha256()) > 0, "signature");
    return Certificate(x509.get());
}

void BM_GetDetailPerson(benchmark::State& state) {
    const Certificate certificate = personCertificate();
    if (!certificate.getDetail().person()) {
        state.SkipWithError("the certificate carries no person data");
        return;
    }
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
