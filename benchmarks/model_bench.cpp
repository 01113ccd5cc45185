// Reading a certificate from PEM text and taking its fingerprint, against the same work done
// directly with OpenSSL (PEM_read_bio_X509 + X509_digest) on the same certificate.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <sstream>
#include <string>

#include "signer/model/certificate.h"
#include "platform/openssl_ptr.h"

namespace {

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(QUOR_FIXTURES_DIR) + "/icp-brasil/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string& pem() {
    static const std::string text = readFixture("AC-SERPRO-SSLv1-v10.crt");
    return text;
}

void CertificateFromPemWithFingerprint(benchmark::State& state) {
    const std::string& text = pem();
    for (auto _ : state) {
        const quor::signer::Certificate certificate(text);
        std::string fingerprint = certificate.getFingerprint();
        benchmark::DoNotOptimize(fingerprint);
    }
}
BENCHMARK(CertificateFromPemWithFingerprint);

void PlainOpenSslPemAndDigest(benchmark::State& state) {
    const std::string& text = pem();
    const EVP_MD* sha1 = EVP_get_digestbyname("sha1");
    for (auto _ : state) {
        quor::openssl::BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        quor::openssl::X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        X509_digest(x509.get(), sha1, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
}
BENCHMARK(PlainOpenSslPemAndDigest);

void FingerprintOnly(benchmark::State& state) {
    const quor::signer::Certificate certificate(pem());
    for (auto _ : state) {
        std::string fingerprint = certificate.getFingerprint();
        benchmark::DoNotOptimize(fingerprint);
    }
}
BENCHMARK(FingerprintOnly);

}  // namespace

BENCHMARK_MAIN();
