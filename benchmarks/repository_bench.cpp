// System repository benchmarks, through SystemRepository as the installer and quor-certs use it.
//
//   BM_FindCertificate/N   findCertificate by fingerprint text in stores holding N end-entity
//                          certificates ("AddressBook", the second store searched). Lookups
//                          cycle through 64 different certificates so the cache of the last
//                          certificate found never answers. Target: 10,000 within 2x of 100.
//   BM_FindAndBuildChain/N findCertificate then buildChain, as chain detection does, for
//                          authority certificates of a store holding N of them ("CA"), each
//                          under one intermediate ("CA") and one root ("ROOT"). Lookups cycle
//                          through 64 of them. Target: 10,000 within 2x of 100.
//   BM_AddCertificate      addCertificate of 1,000 distinct certificates into a new store, one
//                          per iteration; the time per iteration is the per-add time. With
//                          nss_mirror:1 each change is also copied into the shared NSS database.
//
// Runs against a temporary XDG_DATA_HOME.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"
#include "signer/repository/system_repository.h"

namespace {

using quor::signer::Certificate;
using quor::signer::SystemRepository;

// A temporary data home (XDG_DATA_HOME) and home folder (HOME), removed afterwards. Every
// committed change is also copied into the NSS databases of that home (the shared one at
// $XDG_DATA_HOME/pki/nssdb); with nssMirror false a plain file stands where the pki folder would
// go, so the copy fails at once and what is measured is the repository and its store alone.
class TempHome {
  public:
    explicit TempHome(bool nssMirror) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quor-repo-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
        std::filesystem::create_directories(path_ / "home");
        if (!nssMirror) {
            std::filesystem::create_directories(path_ / "data");
            std::ofstream(path_ / "data" / "pki") << "no NSS mirror here\n";
        }
        use();
    }
    ~TempHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    // Points the stores (and their NSS mirrors) at this home.
    void use() const {
        ::setenv("XDG_DATA_HOME", (path_ / "data").c_str(), 1);
        ::setenv("HOME", (path_ / "home").c_str(), 1);
    }

  private:
    std::filesystem::path path_;
};

EVP_PKEY* benchKey() {
    static std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024),
                                                                   &EVP_PKEY_free);
    return key.get();
}

// count distinct end-entity certificates issued by one name, starting at serial first.
std::vector<Certificate> makeCertificates(int count, int first) {
    std::vector<Certificate> certificates;
    certificates.reserve(static_cast<std::size_t>(count));
    for (int i = first; i < first + count; ++i) {
        std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), &X509_free);
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1000000 + i);
        const std::string cn = "Titular " + std::to_string(i);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_NAME_add_entry_by_txt(X509_get_issuer_name(x.get()), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("AC Bench"), -1, -1, 0);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600);
        X509_set_pubkey(x.get(), benchKey());
        if (X509_sign(x.get(), benchKey(), EVP_sha256()) <= 0)
            throw std::runtime_error("sign");
        certificates.emplace_back(x.get());
    }
    return certificates;
}

// A store of one size, made once: Google Benchmark runs a benchmark function several times
// while it settles the iteration count.
struct FindFixture {
    explicit FindFixture(int size) : certificates(makeCertificates(size, 0)) {
        for (const Certificate& c : certificates) {
            if (!repository.addCertificate(c))
                throw std::runtime_error("not added");
        }
        // Targets spread over the whole store, each looked up by its own fingerprint text.
        for (int i = 0; i < 64; ++i) {
            targets.push_back(
                certificates[static_cast<std::size_t>(i * size / 64)].getFingerprint());
        }
    }
    TempHome home{false};
    std::vector<Certificate> certificates;
    SystemRepository repository;
    std::vector<std::string> targets;
};

void BM_FindCertificate(benchmark::State& state) {
    static std::map<int, std::unique_ptr<FindFixture>> fixtures;
    const int size = static_cast<int>(state.range(0));
    std::unique_ptr<FindFixture>& fixture = fixtures[size];
    if (!fixture)
        fixture = std::make_unique<FindFixture>(size);
    fixture->home.use();
    std::size_t next = 0;
    for (auto _ : state) {
        Certificate found = fixture->repository.findCertificate(fixture->targets[next]);
        benchmark::DoNotOptimize(found);
        next = (next + 1) % fixture->targets.size();
    }
}
BENCHMARK(BM_FindCertificate)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// One certificate of the chain fixture: subject, issuer name, serial, CA or not.
Certificate makeCertificate(const std::string& subject, const std::string& issuer, long serial,
                            bool ca) {
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), &X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(subject.c_str()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(x.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(issuer.c_str()), -1, -1, 0);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600);
    X509_set_pubkey(x.get(), benchKey());
    if (ca) {
        std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> constraints(
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE"),
            &X509_EXTENSION_free);
        if (!constraints || X509_add_ext(x.get(), constraints.get(), -1) != 1)
            throw std::runtime_error("extension");
    }
    if (X509_sign(x.get(), benchKey(), EVP_sha256()) <= 0)
        throw std::runtime_error("sign");
    return Certificate(x.get());
}

// A root, an intermediate under it and size authorities under the intermediate, all in the
// user's stores; made once per size.
struct ChainFixture {
    explicit ChainFixture(int size) {
        // The root goes into "ROOT" without anyone to ask.
        quor::platform::setRootAddHandler([](const quor::platform::RootAddRequest&) { return true; });
        const Certificate root = makeCertificate("Raiz Bancada", "Raiz Bancada", 1, true);
        const Certificate intermediate = makeCertificate("AC Intermediaria", "Raiz Bancada", 2, true);
        if (!repository.addCertificate(root) || !repository.addCertificate(intermediate))
            throw std::runtime_error("not added");
        for (int i = 0; i < size; ++i) {
            certificates.push_back(makeCertificate("AC Final " + std::to_string(i),
                                                   "AC Intermediaria", 100 + i, true));
            if (!repository.addCertificate(certificates.back()))
                throw std::runtime_error("not added");
        }
        for (int i = 0; i < 64; ++i) {
            targets.push_back(
                certificates[static_cast<std::size_t>(i * size / 64)].getFingerprint());
        }
    }
    TempHome home{false};
    SystemRepository repository;
    std::vector<Certificate> certificates;
    std::vector<std::string> targets;
};

void BM_FindAndBuildChain(benchmark::State& state) {
    static std::map<int, std::unique_ptr<ChainFixture>> fixtures;
    const int size = static_cast<int>(state.range(0));
    std::unique_ptr<ChainFixture>& fixture = fixtures[size];
    if (!fixture)
        fixture = std::make_unique<ChainFixture>(size);
    fixture->home.use();
    std::size_t next = 0;
    for (auto _ : state) {
        Certificate found = fixture->repository.findCertificate(fixture->targets[next]);
        quor::signer::CertificateChain chain = fixture->repository.buildChain(found);
        if (chain.status != quor::signer::ChainStatus::Valid || chain.certificates.size() != 3) {
            state.SkipWithError("the chain was not built whole");
            break;
        }
        benchmark::DoNotOptimize(chain);
        next = (next + 1) % fixture->targets.size();
    }
}
BENCHMARK(BM_FindAndBuildChain)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_AddCertificate(benchmark::State& state) {
    const TempHome home(state.range(0) != 0);
    const std::vector<Certificate> certificates = makeCertificates(1000, 50000);
    SystemRepository repository;
    std::size_t next = 0;
    for (auto _ : state) {
        if (!repository.addCertificate(certificates[next++])) {
            state.SkipWithError("a distinct certificate was not added");
            break;
        }
    }
}
// nss_mirror:0 measures the repository and store; nss_mirror:1 includes the copy of each change
// into a fresh shared NSS database, as a user's addition really costs.
BENCHMARK(BM_AddCertificate)
    ->ArgName("nss_mirror")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
