// Private keys across real processes: a certificate request made by one process whose
// certificate is added by another (the real quor-certs among them), and imports killed at every
// step of the way, over the real store database of a temporary home.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_store.h"
#include "platform/sqlite_database.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_impl.h"
#include "signer/repository/system_repository_issuance.h"
#include "tests/cli/run_process.h"
#include "tests/keys/key_oracle.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::signer {
namespace {

using test::CertBuilder;
using test::Name;
using test::TestCert;

const std::string& kProgram = quor::test::kQuorCerts;

// Runs body in a child process and returns its exit status, or 128 + the signal that ended it.
int inChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string pemOf(X509_REQ* request) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(bio, request);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

// The authority's answer to a request read back from its PEM: a certificate for its key.
TestCert issueFor(const TestCert& authority, const std::string& requestPem, const std::string& cn,
                  long serial) {
    BIO* bio = BIO_new_mem_buf(requestPem.data(), static_cast<int>(requestPem.size()));
    X509_REQ* request = PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (request == nullptr)
        throw std::runtime_error("unreadable request");
    TestCert issued = CertBuilder(Name{{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", cn}})
                          .key(test::Key::fromPkey(X509_REQ_get0_pubkey(request)))
                          .keyUsage("digitalSignature,keyEncipherment")
                          .serial(serial)
                          .signedBy(authority);
    X509_REQ_free(request);
    return issued;
}

// Read-only questions to the store database through a connection of its own, so the answers
// are what is on disk, whatever this process holds open. A table that does not exist holds
// nothing.
class DatabaseView {
  public:
    explicit DatabaseView(const std::filesystem::path& path) {
        if (std::filesystem::exists(path))
            sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    }
    ~DatabaseView() { sqlite3_close(db_); }
    DatabaseView(const DatabaseView&) = delete;
    DatabaseView& operator=(const DatabaseView&) = delete;

    long long count(const std::string& sql) const {
        if (db_ == nullptr)
            return 0;
        sqlite3_stmt* statement = nullptr;
        long long value = 0;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
        return value;
    }

  private:
    sqlite3* db_ = nullptr;
};

std::string storesOf(const test::ScopedDataHome& home, const TestCert& cert) {
    std::string found;
    for (std::string_view name : {platform::kPersonalStore, platform::kAddressBookStore,
                                  platform::kCaStore, platform::kRootStore}) {
        if (platform::openSystemStore(name)->findBySha1(platform::sha1Of(cert.derBytes())))
            found += (found.empty() ? "" : ",") + std::string(name);
    }
    (void)home;
    return found;
}

class KeyProcessTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& bytes) {
        const auto path = home.home() / name;
        test::writeFile(path, bytes);
        return path.string();
    }

    // A request made by a process that then ends; its PEM.
    std::string requestInAnotherProcess(const std::wstring& alias) {
        const std::string path = (home.home() / "pedido.pem").string();
        std::filesystem::remove(path);
        const int status = inChild([&] {
            SystemRepository repository;
            std::shared_ptr<X509_REQ> request = repository.createCertificateRequest(alias, 1024);
            test::writeFile(path, pemOf(request.get()));
            return 0;
        });
        EXPECT_EQ(status, 0);
        return test::readFile(path);
    }

    test::ScopedDataHome home;
    TestCert ca = CertBuilder(Name::cn("AC Emissora")).ca(0).key(test::testKey(8)).selfSigned();
};

TEST_F(KeyProcessTest, RequestMadeByOneProcessMeetsItsCertificateAddedByQuorCerts) {
    const std::string requestPem = requestInAnotherProcess(L"pedido de Maria");
    const test::RequestVerdict verdict = test::verifyRequest(requestPem);
    EXPECT_TRUE(verdict.library);
    EXPECT_TRUE(verdict.command) << verdict.commandText;
    // Nothing of the process that made the request is left but its key in the key storage.
    EXPECT_EQ(platform::pendingKeyCount(), std::optional<std::size_t>(1));

    const TestCert issued = issueFor(ca, requestPem, "Maria da Silva", 77);
    const TestCert stranger =
        CertBuilder(Name::cn("Estranho")).key(test::testKey(10)).serial(78).signedBy(ca);
    const test::ProcessResult added = test::runProcess(
        kProgram,
        {"add", write("estranho.pem", stranger.pem()), write("maria.pem", issued.pem())});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_NE(added.out.find("Maria da Silva -> MY (adicionado)"), std::string::npos)
        << added.out;
    EXPECT_NE(added.out.find("Estranho -> AddressBook (adicionado)"), std::string::npos)
        << added.out;

    EXPECT_EQ(storesOf(home, issued), "MY");
    EXPECT_EQ(storesOf(home, stranger), "AddressBook");
    EXPECT_EQ(platform::pendingKeyCount(), std::optional<std::size_t>(0));
    const DatabaseView view(home.storePath());
    EXPECT_EQ(view.count("SELECT count(*) FROM keys"), 1);
    platform::CertContextPtr context = platform::openSystemStore(platform::kPersonalStore)
                                           ->findBySha1(platform::sha1Of(issued.derBytes()));
    ASSERT_TRUE(context);
    EXPECT_EQ(platform::friendlyName(*context), std::u16string(u"Maria da Silva"));

    // The key signs through the real program, and openssl verifies with the certificate.
    const std::string data = "documento assinado com a chave do pedido";
    const std::string signaturePath = (home.home() / "assinatura.bin").string();
    const test::ProcessResult signedIt = test::runProcess(
        kProgram, {"sign", issued.sha1Text(), write("documento.txt", data), "-o", signaturePath});
    ASSERT_EQ(signedIt.exitCode, 0) << signedIt.err;
    const std::string signature = test::readFile(signaturePath);
    EXPECT_TRUE(test::opensslVerifies(issued.pem(), test::bytesOf(data), test::bytesOf(signature)));

    // No request waits for it any more: added again, it is a certificate like any other
    // person's, and its key stays the one in "MY".
    const test::ProcessResult again =
        test::runProcess(kProgram, {"add", write("maria.pem", issued.pem())});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("Maria da Silva -> AddressBook (adicionado)"), std::string::npos)
        << again.out;
    EXPECT_EQ(view.count("SELECT count(*) FROM keys"), 1);
    EXPECT_EQ(storesOf(home, issued), "MY,AddressBook");
}

TEST_F(KeyProcessTest, RequestsOfEarlierProcessesAndOfThisOneAreJoinedInAnyOrder) {
    const std::string first = requestInAnotherProcess(L"primeiro");
    const std::string second = requestInAnotherProcess(L"segundo");
    SystemRepository repository;
    std::shared_ptr<X509_REQ> own = repository.createCertificateRequest(L"deste processo", 1024);
    EXPECT_EQ(platform::pendingKeyCount(), std::optional<std::size_t>(3));

    // Certificates that answer no request, including ones whose key is not RSA, go to
    // "AddressBook" and leave every request waiting.
    const TestCert stranger = CertBuilder(Name::cn("Outro")).key(test::testKey(11)).signedBy(ca);
    const TestCert ecHolder = CertBuilder(Name::cn("Chave EC")).key(test::Key::ec()).signedBy(ca);
    const TestCert edHolder =
        CertBuilder(Name::cn("Chave Ed25519")).key(test::Key::ed25519()).signedBy(ca);
    for (const TestCert* other : {&stranger, &ecHolder, &edHolder}) {
        SCOPED_TRACE(other->sha1Text());
        EXPECT_TRUE(repository.addCertificate(Certificate(other->x509())));
        EXPECT_EQ(storesOf(home, *other), "AddressBook");
    }
    EXPECT_EQ(repository.impl().pendingArchives.size(), 1u);
    EXPECT_EQ(platform::pendingKeyCount(), std::optional<std::size_t>(3));

    const TestCert forSecond = issueFor(ca, second, "Segundo Titular", 2);
    const TestCert forOwn = issueFor(ca, pemOf(own.get()), "Titular Daqui", 3);
    const TestCert forFirst = issueFor(ca, first, "Primeiro Titular", 1);
    for (const TestCert* issued : {&forSecond, &forOwn, &forFirst}) {
        SCOPED_TRACE(issued->sha1Text());
        EXPECT_TRUE(repository.addCertificate(Certificate(issued->x509())));
        EXPECT_EQ(storesOf(home, *issued), "MY");
        const Repository::Bytes data = test::bytesOf("assinado");
        EXPECT_TRUE(test::opensslVerifies(
            issued->pem(), data, repository.sign(data, Certificate(issued->x509()), "SHA256")));
    }
    EXPECT_TRUE(repository.impl().pendingArchives.empty());
    EXPECT_EQ(platform::pendingKeyCount(), std::optional<std::size_t>(0));
    EXPECT_EQ(DatabaseView(home.storePath()).count("SELECT count(*) FROM keys"), 3);
}

const auto runWithInput = test::runQuorCertsWithInput;

std::string secretPrimeOf(const test::Key& key) {
    BIGNUM* prime = nullptr;
    EVP_PKEY_get_bn_param(key.get(), "rsa-factor1", &prime);
    std::string bytes(static_cast<std::size_t>(BN_num_bytes(prime)), '\0');
    BN_bn2bin(prime, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(prime);
    return bytes;
}

TEST_F(KeyProcessTest, AFileImportedThreeTimesKeepsOneKeyAndRemoveTakesItAway) {
    const TestCert holder =
        CertBuilder(Name::cn("Titular Repetido")).key(test::testKey(12)).signedBy(ca);
    const std::string file = write("titular.p12", test::pkcs12(holder, "senha", {ca}, "apelido"));
    for (int round = 0; round < 3; ++round) {
        const test::ProcessResult imported = runWithInput("senha\n", {"import", file});
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
    }
    EXPECT_EQ(DatabaseView(home.storePath()).count("SELECT count(*) FROM keys"), 1);

    const test::ProcessResult removed = test::runProcess(kProgram, {"remove", holder.sha1Text()});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(DatabaseView(home.storePath()).count("SELECT count(*) FROM keys"), 0);
    // Nothing of the key is left in the database's files.
    const std::string secret = secretPrimeOf(holder.key);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::filesystem::path path = home.storePath().string() + suffix;
        if (std::filesystem::exists(path)) {
            EXPECT_EQ(test::readFile(path).find(secret), std::string::npos) << path;
        }
    }
    // The authority that came in the file had no key, and stays.
    EXPECT_EQ(storesOf(home, ca), "MY");
}

// An import is key, certificates into "MY", key link and friendly name. A process killed at any
// statement of it leaves all of it or none of it: the run is repeated, killing the child at the
// first, second, third... statement it sends to the database, until one import completes.
TEST_F(KeyProcessTest, ImportKilledAtAnyStatementLeavesAllOfItOrNone) {
    const TestCert holder = CertBuilder(Name{{"C", "BR"}, {"CN", "Titular Importado"}})
                                .key(test::testKey(9))
                                .signedBy(ca);
    const std::string file = test::pkcs12(holder, "senha", {ca}, "apelido");
    const std::string killedAt = (home.home() / "killed-at.txt").string();

    std::set<std::string> nothingLeftAfter;  // statements a kill left nothing after
    bool completed = false;
    int attempts = 0;
    for (int kill = 1; kill < 400 && !completed; ++kill) {
        ++attempts;
        SCOPED_TRACE(kill);
        const test::ScopedDataHome round;  // every attempt starts from an empty store
        const int status = inChild([&] {
            std::shared_ptr<platform::detail::Database> db =
                platform::detail::Database::openUserDatabase();
            if (!db)
                return 2;
            struct Countdown {
                int left;
                std::string path;
            } countdown{kill, killedAt};
            sqlite3_trace_v2(
                db->handle(), SQLITE_TRACE_STMT,
                [](unsigned, void* context, void* statement, void*) -> int {
                    auto* counter = static_cast<Countdown*>(context);
                    if (--counter->left == 0) {
                        std::ofstream(counter->path)
                            << sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
                        ::raise(SIGKILL);
                    }
                    return 0;
                },
                &countdown);
            SystemRepository repository;
            std::istringstream in(file);
            importPkcs12IntoPersonalStore(repository, in, L"senha");
            return 0;
        });
        const DatabaseView view(round.storePath());
        const long long personal = view.count("SELECT count(*) FROM certificates WHERE store = 'MY'");
        const long long keys = view.count("SELECT count(*) FROM keys");
        const long long linked = view.count(
            "SELECT count(*) FROM certificate_properties p JOIN keys k ON p.value = "
            "CAST(k.container AS BLOB) WHERE p.property_id = 2");
        const long long named =
            view.count("SELECT count(*) FROM certificate_properties WHERE property_id = 11");
        const std::string statement = status == 128 + SIGKILL ? test::readFile(killedAt) : "";
        SCOPED_TRACE("killed at: " + statement);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        const bool none = personal == 0 && keys == 0 && linked == 0 && named == 0;
        const bool all = personal == 2 && keys == 1 && linked == 1 && named == 1;
        EXPECT_TRUE(none || all) << "MY " << personal << ", keys " << keys << ", linked "
                                 << linked << ", named " << named;
        if (none && status != 0)
            nothingLeftAfter.insert(statement.substr(0, statement.find(' ')));
        completed = status == 0 || all;
    }
    EXPECT_TRUE(completed);
    // Every statement of the import before its commit was a kill point (30 or so).
    EXPECT_GT(attempts, 10);
    // The kills fell inside the import's own writes, not only before it began.
    EXPECT_TRUE(nothingLeftAfter.count("INSERT")) << "no kill at an insert";
}

}  // namespace
}  // namespace quor::signer
