// Reading a ".p7b" chain file into an ordered chain: bundles of one chain of issuance stored in
// shuffled order, from 3 certificates (a usual ICP-Brasil chain file) to 2,000. The time per
// certificate should stay nearly flat as bundles grow (issuers are found by name index, not by
// scanning the rest of the bundle).
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_BUILD_BENCHMARKS=ON
//   cmake --build build-bench --target chain_bench && build-bench/benchmarks/chain_bench
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "detection/certificate_chain_reader.h"
#include "signer/model/certificate_chain.h"
#include "platform/openssl_ptr.h"

namespace {

using quor::openssl::EvpPkeyPtr;
using quor::openssl::X509Ptr;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("benchmark set-up failed: ") + what);
}

EvpPkeyPtr makeKey() {
    quor::openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    check(context && EVP_PKEY_keygen_init(context.get()) == 1, "keygen init");
    check(EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 1024) == 1, "key size");
    EVP_PKEY* key = nullptr;
    check(EVP_PKEY_keygen(context.get(), &key) == 1, "keygen");
    return EvpPkeyPtr(key);
}

X509Ptr makeCertificate(const std::string& subject, const std::string& issuer, long serial,
                        EVP_PKEY* key) {
    X509Ptr certificate(X509_new());
    check(certificate != nullptr, "X509_new");
    auto name = [](const std::string& commonName) {
        quor::openssl::X509NamePtr built(X509_NAME_new());
        check(built &&
                  X509_NAME_add_entry_by_txt(
                      built.get(), "CN", MBSTRING_UTF8,
                      reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
              "name");
        return built;
    };
    check(X509_set_version(certificate.get(), 2) == 1, "version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial) == 1, "serial");
    check(X509_set_subject_name(certificate.get(), name(subject).get()) == 1, "subject");
    check(X509_set_issuer_name(certificate.get(), name(issuer).get()) == 1, "issuer");
    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365L * 24 * 3600) != nullptr,
          "notAfter");
    check(X509_set_pubkey(certificate.get(), key) == 1, "key");
    check(X509_sign(certificate.get(), key, EVP_sha256()) > 0, "sign");
    return certificate;
}

// DER PKCS#7 bundle of one chain of `length` certificates (level k issued by level k-1), stored
// in a shuffled order. Made once per length.
const std::string& shuffledBundle(int length) {
    static std::map<int, std::string> made;
    auto found = made.find(length);
    if (found != made.end())
        return found->second;

    const EvpPkeyPtr key = makeKey();
    std::vector<X509Ptr> chain;
    for (int level = 0; level < length; ++level) {
        const std::string subject = "Nivel " + std::to_string(level);
        const std::string issuer = level == 0 ? subject : "Nivel " + std::to_string(level - 1);
        chain.push_back(makeCertificate(subject, issuer, level + 1, key.get()));
    }
    std::mt19937 random(12345);
    std::shuffle(chain.begin(), chain.end(), random);

    quor::openssl::Pkcs7Ptr pkcs7(PKCS7_new());
    check(pkcs7 && PKCS7_set_type(pkcs7.get(), NID_pkcs7_signed) == 1, "PKCS7_set_type");
    check(PKCS7_content_new(pkcs7.get(), NID_pkcs7_data) == 1, "PKCS7_content_new");
    for (const X509Ptr& certificate : chain) {
        check(PKCS7_add_certificate(pkcs7.get(), certificate.get()) == 1, "add certificate");
    }
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7(pkcs7.get(), &der);
    check(size > 0, "i2d_PKCS7");
    quor::openssl::OpenSslMemoryPtr owner(der);
    return made[length] = std::string(reinterpret_cast<const char*>(der), size);
}

// The whole read: decoding the DER structure, ordering, and one Certificate copy per entry.
void BM_ReadShuffledBundle(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    const std::string& bundle = shuffledBundle(length);
    for (auto _ : state) {
        std::istringstream in(bundle);
        quor::signer::CertificateChain chain(in);
        if (chain.status != quor::signer::ChainStatus::Valid ||
            chain.certificates.size() != static_cast<std::size_t>(length)) {
            state.SkipWithError("the bundle was not read into one valid chain");
            break;
        }
        benchmark::DoNotOptimize(chain.certificates.front());
    }
    state.SetComplexityN(length);
    state.SetItemsProcessed(state.iterations() * length);
}
BENCHMARK(BM_ReadShuffledBundle)
    ->Arg(3)
    ->Arg(200)
    ->Arg(2000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

// The ordering alone, on certificates already decoded.
void BM_OrderShuffledCertificates(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    const std::string& bundle = shuffledBundle(length);
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bundle.data());
    quor::openssl::Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(bundle.size())));
    std::vector<X509*> stored;
    for (int k = 0; pkcs7 && k < sk_X509_num(pkcs7->d.sign->cert); ++k) {
        stored.push_back(sk_X509_value(pkcs7->d.sign->cert, k));
    }
    for (auto _ : state) {
        std::vector<X509*> certificates = stored;
        benchmark::DoNotOptimize(quor::detection::orderCertificates(certificates));
    }
    state.SetComplexityN(length);
    state.SetItemsProcessed(state.iterations() * length);
}
BENCHMARK(BM_OrderShuffledCertificates)
    ->Arg(3)
    ->Arg(200)
    ->Arg(2000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

}  // namespace

BENCHMARK_MAIN();
