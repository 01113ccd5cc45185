// Signing with a stored key through SystemRepository against plain OpenSSL with the same key,
// and the cost of a 2048-bit certificate request.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_BUILD_BENCHMARKS=ON
//   cmake --build build-bench --target keys_bench && build-bench/benchmarks/keys_bench
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "signer/repository/archive_repository.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_issuance.h"

namespace {

using quor::signer::Certificate;
using quor::signer::SystemRepository;

// A 2048-bit key and its self-signed certificate, imported into a store in a temporary home.
struct StoredKey {
    std::filesystem::path home;
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;

    StoredKey() {
        char pattern[] = "/tmp/quor-keys-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp");
        home = pattern;
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        // Adds are mirrored into the NSS databases under HOME: keep them in the temporary home.
        setenv("HOME", home.c_str(), 1);
        key = EVP_RSA_gen(2048);
        certificate = X509_new();
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Bench"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_set_pubkey(certificate, key);
        X509_sign(certificate, key, EVP_sha256());
        PKCS12* p12 = PKCS12_create("bench", nullptr, key, certificate, nullptr, 0, 0, 0, 0, 0);
        unsigned char* der = nullptr;
        const int length = i2d_PKCS12(p12, &der);
        std::istringstream in(std::string(reinterpret_cast<char*>(der), length));
        OPENSSL_free(der);
        PKCS12_free(p12);
        SystemRepository repository;
        quor::signer::importPkcs12IntoPersonalStore(repository, in, L"bench");
    }
    ~StoredKey() {
        EVP_PKEY_free(key);
        X509_free(certificate);
        std::filesystem::remove_all(home);
    }
};

StoredKey& storedKey() {
    static StoredKey stored;
    return stored;
}

const std::vector<unsigned char> kData(1024, 0x42);

void BM_SignThroughSystemRepository(benchmark::State& state) {
    StoredKey& stored = storedKey();
    SystemRepository repository;
    const Certificate signer(stored.certificate);
    for (auto _ : state) {
        benchmark::DoNotOptimize(repository.sign(kData, signer, "SHA256"));
    }
}
BENCHMARK(BM_SignThroughSystemRepository)->Unit(benchmark::kMicrosecond);

void BM_SignWithEvpDigestSign(benchmark::State& state) {
    StoredKey& stored = storedKey();
    std::vector<unsigned char> signature(256);
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, stored.key);
        std::size_t length = signature.size();
        EVP_DigestSign(context, signature.data(), &length, kData.data(), kData.size());
        EVP_MD_CTX_free(context);
        benchmark::DoNotOptimize(signature.data());
    }
}
BENCHMARK(BM_SignWithEvpDigestSign)->Unit(benchmark::kMicrosecond);

// The parts of a request: the key generation alone, and the whole request.
void BM_GenerateKeyPair2048(benchmark::State& state) {
    for (auto _ : state) {
        quor::signer::ArchiveRepository archive;
        benchmark::DoNotOptimize(archive.generateKeyPair(L"bench", 2048));
    }
}
BENCHMARK(BM_GenerateKeyPair2048)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_CreateCertificateRequest2048(benchmark::State& state) {
    for (auto _ : state) {
        quor::signer::ArchiveRepository archive;
        benchmark::DoNotOptimize(archive.createCertificateRequest(L"bench", 2048));
    }
}
BENCHMARK(BM_CreateCertificateRequest2048)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
