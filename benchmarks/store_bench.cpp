// Certificate store benchmarks.
//
//   BM_FindBySha1/N        find one certificate by SHA-1 in a store of N certificates (the
//                          index must keep 10,000 within 2x of 100)
//   BM_AddDistinct         add 1,000 distinct certificates, one change each; per-add time in the
//                          "per_add" counter
//   BM_CertutilAdd         the same 1,000 certificates added to an NSS database with
//                          `certutil -A`, one process per certificate in one loop (what a
//                          shell loop over certutil does); per-add time in "per_add"
//
// per_add is seconds per certificate; compare the two per_add figures. Runs against a
// temporary XDG_DATA_HOME.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cert_store.h"

namespace {

using quor::platform::Bytes;

// A temporary data home for the benchmark's stores.
class TempHome {
  public:
    TempHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quor-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
        ::setenv("XDG_DATA_HOME", path_.c_str(), 1);
        // Adds are mirrored into the NSS databases under HOME: keep them in the temporary home.
        ::setenv("HOME", path_.c_str(), 1);
    }
    ~TempHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

EVP_PKEY* benchKey() {
    static std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024),
                                                                   &EVP_PKEY_free);
    return key.get();
}

// n distinct self-signed certificates (distinct subject and serial), DER.
std::vector<Bytes> makeCertificates(int count, int first = 0) {
    std::vector<Bytes> certs;
    certs.reserve(static_cast<std::size_t>(count));
    for (int i = first; i < first + count; ++i) {
        std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), &X509_free);
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 100000 + i);
        X509_NAME* name = X509_get_subject_name(x.get());
        const std::string cn = "Bench certificate " + std::to_string(i);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(x.get(), name);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600);
        X509_set_pubkey(x.get(), benchKey());
        X509_sign(x.get(), benchKey(), EVP_sha256());
        unsigned char* der = nullptr;
        const int length = i2d_X509(x.get(), &der);
        certs.emplace_back(der, der + length);
        OPENSSL_free(der);
    }
    return certs;
}

void BM_FindBySha1(benchmark::State& state) {
    TempHome home;
    const auto certs = makeCertificates(static_cast<int>(state.range(0)));
    auto store = quor::platform::openSystemStore("CA");
    if (!store) {
        state.SkipWithError("cannot open the store");
        return;
    }
    for (const Bytes& der : certs)
        store->addEncoded(der);
    std::vector<quor::platform::Sha1Hash> hashes;
    for (const Bytes& der : certs)
        hashes.push_back(quor::platform::sha1Of(der));
    std::size_t i = 0;
    for (auto _ : state) {
        auto found = store->findBySha1(hashes[i++ % hashes.size()]);
        if (!found)
            state.SkipWithError("not found");
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindBySha1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_AddDistinct(benchmark::State& state) {
    const auto certs = makeCertificates(1000);
    for (auto _ : state) {
        state.PauseTiming();
        TempHome home;
        auto store = quor::platform::openSystemStore("CA");
        state.ResumeTiming();
        for (const Bytes& der : certs) {
            if (!store->addEncoded(der))
                state.SkipWithError("add failed");
        }
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    state.counters["per_add"] = benchmark::Counter(
        static_cast<double>(certs.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_AddDistinct)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int run(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::freopen("/dev/null", "w", stdout);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_CertutilAdd(benchmark::State& state) {
    const auto certs = makeCertificates(1000);
    for (auto _ : state) {
        state.PauseTiming();
        TempHome home;
        const std::string db = "sql:" + home.path().string();
        if (run({"certutil", "-N", "-d", db, "--empty-password"}) != 0) {
            state.SkipWithError("certutil -N failed (is libnss3-tools installed?)");
            return;
        }
        std::vector<std::string> files;
        for (std::size_t i = 0; i < certs.size(); ++i) {
            files.push_back((home.path() / ("c" + std::to_string(i) + ".der")).string());
            FILE* f = std::fopen(files.back().c_str(), "wb");
            std::fwrite(certs[i].data(), 1, certs[i].size(), f);
            std::fclose(f);
        }
        state.ResumeTiming();
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (run({"certutil", "-A", "-d", db, "-n", "c" + std::to_string(i), "-t", "C,,", "-i",
                     files[i]}) != 0) {
                state.SkipWithError("certutil -A failed");
            }
        }
    }
    state.counters["per_add"] = benchmark::Counter(
        static_cast<double>(certs.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_CertutilAdd)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
