// What overwriting deleted rows costs the store database (SQLite's secure_delete, which the
// stores turn on so that removed private keys leave nothing behind). Each benchmark runs with
// the setting as the stores use it (secure_delete:1) and with it turned off on the same
// connection (secure_delete:0); compare the two rows of each pair.
//
//   BM_AddThenRemove/secure_delete:N   add 200 distinct authority certificates to "CA", then
//                                      remove them; per-change time in "per_change"
//   BM_TruncateLogAfterImport          the write-ahead log truncation alone (part of every key
//                                      deletion, with or without secure_delete)
//   BM_ImportThenRemove/secure_delete:N  import a PKCS#12 with its 2048-bit key into "MY" (one
//                                      transaction), then remove the certificate, which deletes
//                                      the key and truncates the write-ahead log; per-cycle
//                                      time in "per_cycle"
//
// The stores' NSS mirrors are kept out of the way (the shared NSS database cannot be created
// in the temporary home), so the figures are the database's own.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_BUILD_BENCHMARKS=ON \
//         -DQUOR_BUILD_TESTS=OFF
//   cmake --build build-bench --target secure_delete_bench
//   build-bench/benchmarks/secure_delete_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/sqlite_database.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_issuance.h"

namespace {

using quor::platform::Bytes;

// A temporary home whose NSS databases cannot be made: XDG_DATA_HOME/pki is a file.
class TempHome {
  public:
    TempHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quor-secure-delete-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
        std::filesystem::create_directories(path_ / "data");
        std::ofstream(path_ / "data" / "pki") << "not a folder";
        ::setenv("XDG_DATA_HOME", (path_ / "data").c_str(), 1);
        ::setenv("HOME", path_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path_ / "config").c_str(), 1);
    }
    ~TempHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

  private:
    std::filesystem::path path_;
};

// The user's store database with secure_delete as the benchmark asks; kept open (and so the
// same connection) for as long as the returned pointer lives.
std::shared_ptr<quor::platform::detail::Database> databaseWith(bool secureDelete) {
    auto db = quor::platform::detail::Database::openUserDatabase();
    if (!db)
        throw std::runtime_error("cannot open the store database");
    sqlite3_exec(db->handle(), secureDelete ? "PRAGMA secure_delete=ON" : "PRAGMA secure_delete=OFF",
                 nullptr, nullptr, nullptr);
    return db;
}

EVP_PKEY* certificateKey() {
    static std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048),
                                                                   &EVP_PKEY_free);
    return key.get();
}

std::unique_ptr<X509, decltype(&X509_free)> makeCertificate(int serial, bool authority) {
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), &X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 500000 + serial);
    X509_NAME* name = X509_get_subject_name(x.get());
    const std::string cn = "Secure delete " + std::to_string(serial);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600);
    if (authority) {
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(x.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_set_pubkey(x.get(), certificateKey());
    X509_sign(x.get(), certificateKey(), EVP_sha256());
    return x;
}

Bytes derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

void BM_AddThenRemove(benchmark::State& state) {
    std::vector<Bytes> certificates;
    for (int i = 0; i < 200; ++i)
        certificates.push_back(derOf(makeCertificate(i, true).get()));
    for (auto _ : state) {
        state.PauseTiming();
        TempHome home;
        auto db = databaseWith(state.range(0) != 0);
        auto store = quor::platform::openSystemStore("CA");
        state.ResumeTiming();
        for (const Bytes& der : certificates) {
            if (!store->addEncoded(der))
                state.SkipWithError("add failed");
        }
        for (const Bytes& der : certificates) {
            auto context = store->findBySha1(quor::platform::sha1Of(der));
            if (!context || !store->remove(*context))
                state.SkipWithError("remove failed");
        }
        state.PauseTiming();
        store.reset();
        db.reset();
        state.ResumeTiming();
    }
    state.counters["per_change"] = benchmark::Counter(
        2.0 * static_cast<double>(certificates.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddThenRemove)
    ->ArgName("secure_delete")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ImportThenRemove(benchmark::State& state) {
    auto certificate = makeCertificate(9999, false);
    PKCS12* p12 = PKCS12_create("bench", "bench", certificateKey(), certificate.get(), nullptr, 0,
                                0, 0, 0, 0);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    const std::string file(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    PKCS12_free(p12);
    const Bytes certificateDer = derOf(certificate.get());

    TempHome home;
    auto db = databaseWith(state.range(0) != 0);
    quor::signer::SystemRepository repository;
    for (auto _ : state) {
        std::istringstream in(file);
        quor::signer::importPkcs12IntoPersonalStore(repository, in, L"bench");
        auto store = quor::platform::openSystemStore("MY");
        auto context = store->findBySha1(quor::platform::sha1Of(certificateDer));
        if (!context || !store->remove(*context))
            state.SkipWithError("remove failed");
    }
    state.counters["per_cycle"] = benchmark::Counter(
        static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ImportThenRemove)
    ->ArgName("secure_delete")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The part of a key deletion that secure_delete does not cover: copying the write-ahead log
// back and truncating it after the commit, timed alone after each import.
void BM_TruncateLogAfterImport(benchmark::State& state) {
    auto certificate = makeCertificate(9998, false);
    PKCS12* p12 = PKCS12_create("bench", "bench", certificateKey(), certificate.get(), nullptr, 0,
                                0, 0, 0, 0);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    const std::string file(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    PKCS12_free(p12);
    const Bytes certificateDer = derOf(certificate.get());

    TempHome home;
    auto db = databaseWith(true);
    quor::signer::SystemRepository repository;
    for (auto _ : state) {
        state.PauseTiming();
        std::istringstream in(file);
        quor::signer::importPkcs12IntoPersonalStore(repository, in, L"bench");
        state.ResumeTiming();
        quor::platform::detail::truncateWriteAheadLog(*db);
        state.PauseTiming();
        auto store = quor::platform::openSystemStore("MY");
        auto context = store->findBySha1(quor::platform::sha1Of(certificateDer));
        if (!context || !store->remove(*context))
            state.SkipWithError("remove failed");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TruncateLogAfterImport)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
