#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <string>

#include "platform/cert_store.h"
#include "tests/platform/store_test_support.h"

namespace quor::platform::testing {
namespace {

using test::CertBuilder;
using test::Name;
using test::TestCert;

struct OpensslVerdict {
    bool ok;
    std::string output;
};

// The openssl command's verdict on the same chain: anchors as -CAfile, the others as
// -untrusted, no system trust store.
OpensslVerdict opensslVerify(const std::vector<Bytes>& anchors, const std::vector<Bytes>& others,
                             const Bytes& target) {
    test::TempDir dir;
    auto pemFile = [&](const char* name, const std::vector<Bytes>& certs) {
        std::string pem;
        for (const Bytes& der : certs) {
            pem += test::opensslCommand("x509 -inform DER", std::string(der.begin(), der.end()));
        }
        const auto path = dir.path() / name;
        test::writeFile(path, pem);
        return path.string();
    };
    std::string command = "openssl verify -no-CApath -no-CAstore";
    command += anchors.empty() ? " -no-CAfile" : " -CAfile " + pemFile("anchors.pem", anchors);
    if (!others.empty())
        command += " -untrusted " + pemFile("untrusted.pem", others);
    command += " " + pemFile("target.pem", {target}) + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("popen");
    std::string output;
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe))
        output += buffer.data();
    const int status = ::pclose(pipe);
    return {status == 0, output};
}

class ChainEngineTest : public StoreTest {
  protected:
    // Fills the stores and returns the chain of target (stored in "AddressBook" unless it is
    // already in one of the lists).
    CertChain chainOf(const std::vector<Bytes>& roots, const std::vector<Bytes>& cas,
                      const Bytes& target) {
        for (const Bytes& der : roots)
            EXPECT_TRUE(open("ROOT")->addEncoded(der));
        for (const Bytes& der : cas)
            EXPECT_TRUE(open("CA")->addEncoded(der));
        CertContextPtr context;
        for (const char* store : {"ROOT", "CA", "AddressBook"}) {
            if ((context = open(store)->findBySha1(sha1Of(target))))
                break;
        }
        if (!context) {
            EXPECT_TRUE(open("AddressBook")->addEncoded(target, &context));
        }
        auto chain = getCertificateChain(*context);
        EXPECT_TRUE(chain) << std::hex << lastError();
        return chain.value_or(CertChain{});
    }
};

TEST_F(ChainEngineTest, GeneratedChainsAgreeWithOpensslVerify) {
    const TestCert root = CertBuilder(Name::cn("Raiz")).key(test::testKey(1)).ca().selfSigned();
    const TestCert inter =
        CertBuilder(Name::cn("Intermediaria")).key(test::testKey(2)).ca().signedBy(root);
    const TestCert leaf = CertBuilder(Name::cn("Fulano")).key(test::testKey(3)).signedBy(inter);
    const TestCert expiredLeaf =
        CertBuilder(Name::cn("Vencido")).key(test::testKey(3)).expired().signedBy(inter);
    const TestCert forged = CertBuilder(Name::cn("Forjado"))
                                .key(test::testKey(3))
                                .signedWith(test::testKey(4), Name::cn("Intermediaria"));
    const TestCert selfSignedLeaf =
        CertBuilder(Name::cn("Avulso")).key(test::testKey(5)).selfSigned();
    const Bytes r = root.derBytes(), i = inter.derBytes(), l = leaf.derBytes();

    using namespace chain_error;
    struct Case {
        const char* what;
        std::vector<Bytes> roots, cas;
        Bytes target;
        std::uint32_t status;
        std::vector<Bytes> elements;
        std::vector<const char*> opensslErrors;  // empty: openssl says OK
    };
    const std::vector<Case> cases = {
        {"sound chain", {r}, {i}, l, kNone, {l, i, r}, {}},
        {"the root itself", {r}, {}, r, kNone, {r}, {}},
        {"issuer missing", {r}, {}, l, kPartialChain, {l}, {"unable to get local issuer"}},
        {"root missing", {}, {i}, l, kPartialChain, {l, i}, {"unable to get local issuer"}},
        {"expired end entity",
         {r},
         {i},
         expiredLeaf.derBytes(),
         kNotTimeValid,
         {expiredLeaf.derBytes(), i, r},
         {"certificate has expired"}},
        {"root only in CA",
         {},
         {i, r},
         l,
         kUntrustedRoot,
         {l, i, r},
         {"self-signed certificate in certificate chain"}},
        {"self-signed end entity not trusted",
         {},
         {},
         selfSignedLeaf.derBytes(),
         kUntrustedRoot,
         {selfSignedLeaf.derBytes()},
         {"self-signed certificate"}},
        {"bad signature",
         {r},
         {i},
         forged.derBytes(),
         kNotSignatureValid,
         {forged.derBytes(), i, r},
         {"certificate signature failure"}},
        // openssl verify stops at the first of the two; the engine reports both.
        {"expired and untrusted root reported together",
         {},
         {i, r},
         expiredLeaf.derBytes(),
         kNotTimeValid | kUntrustedRoot,
         {expiredLeaf.derBytes(), i, r},
         {"self-signed certificate in certificate chain"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScopedDataHome caseHome;
        const CertChain chain = chainOf(c.roots, c.cas, c.target);
        EXPECT_EQ(chain.errorStatus, c.status) << std::hex << chain.errorStatus;
        EXPECT_EQ(chain.elements, c.elements);

        const OpensslVerdict verdict = opensslVerify(c.roots, c.cas, c.target);
        EXPECT_EQ(verdict.ok, c.opensslErrors.empty()) << verdict.output;
        for (const char* text : c.opensslErrors) {
            EXPECT_THAT(verdict.output, ::testing::HasSubstr(text));
        }
    }
}

// Issuers are looked up through the store's index, not by reading every stored certificate;
// the lookup must still find every issuer verification accepts (names equal once case and
// spacing are folded, an issuer without a key identifier) and pick, among certificates sharing
// a name, the one whose key identifier matches, wherever it stands in the store.
TEST_F(ChainEngineTest, IndexedIssuerLookupFindsWhatVerificationAccepts) {
    const TestCert root =
        CertBuilder(Name::cn("AC Raiz Indice")).key(test::testKey(1)).ca().keyIdentifiers().selfSigned();
    // Written with another case and spacing than the root's subject.
    const TestCert foldedName = CertBuilder(Name::cn("Folha Dobrada"))
                                    .key(test::testKey(3))
                                    .signedWith(test::testKey(1), Name::cn("ac  RAIZ   indice"));
    const TestCert oldKey = CertBuilder(Name::cn("AC Dupla"))
                                .key(test::testKey(4))
                                .ca()
                                .keyIdentifiers()
                                .signedBy(root);
    const TestCert newKey = CertBuilder(Name::cn("AC Dupla"))
                                .key(test::testKey(5))
                                .ca()
                                .keyIdentifiers()
                                .serial(77)
                                .signedBy(root);
    const TestCert byNewKey =
        CertBuilder(Name::cn("Folha Nova")).key(test::testKey(3)).keyIdentifiers().signedBy(newKey);
    // The leaf names its issuer's key; the issuer carries no key identifier at all.
    const TestCert plainIssuer =
        CertBuilder(Name::cn("AC Sem Identificador")).key(test::testKey(6)).ca().signedBy(root);
    std::vector<unsigned char> authorityKeyId = {0x30, 0x16, 0x80, 0x14};
    authorityKeyId.resize(authorityKeyId.size() + 20, 0xAB);
    const TestCert byPlainIssuer = CertBuilder(Name::cn("Folha Identificada"))
                                       .key(test::testKey(3))
                                       .rawExtension("2.5.29.35", authorityKeyId)
                                       .signedBy(plainIssuer);
    const Bytes r = root.derBytes();
    // Unrelated certificates around them, so the lookup has something to leave out.
    std::vector<Bytes> noise = distinctCertificates(6, "Ruido");

    struct Case {
        const char* what;
        std::vector<Bytes> cas;
        Bytes target;
        std::vector<Bytes> elements;
    };
    const std::vector<Case> cases = {
        {"issuer name in another case and spacing", {}, foldedName.derBytes(),
         {foldedName.derBytes(), r}},
        {"key identifier picks the second of two same-named issuers",
         {oldKey.derBytes(), newKey.derBytes()}, byNewKey.derBytes(),
         {byNewKey.derBytes(), newKey.derBytes(), r}},
        {"key identifier picks the first of two same-named issuers",
         {newKey.derBytes(), oldKey.derBytes()}, byNewKey.derBytes(),
         {byNewKey.derBytes(), newKey.derBytes(), r}},
        {"issuer without a key identifier", {plainIssuer.derBytes()}, byPlainIssuer.derBytes(),
         {byPlainIssuer.derBytes(), plainIssuer.derBytes(), r}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScopedDataHome caseHome;
        std::vector<Bytes> cas = noise;
        cas.insert(cas.begin() + 3, c.cas.begin(), c.cas.end());
        const CertChain chain = chainOf({r}, cas, c.target);
        EXPECT_EQ(chain.errorStatus, chain_error::kNone) << std::hex << chain.errorStatus;
        EXPECT_EQ(chain.elements, c.elements);
        const OpensslVerdict verdict = opensslVerify({r}, cas, c.target);
        EXPECT_TRUE(verdict.ok) << verdict.output;
    }
}

// A store database written before the issuer index existed: opening it fills the index from
// the stored certificates, once, and its chains are built as before.
TEST_F(ChainEngineTest, DatabaseOfTheEarlierLayoutGetsTheIssuerIndexAndKeepsItsChains) {
    const TestCert root = CertBuilder(Name::cn("Raiz Antiga")).key(test::testKey(1)).ca().keyIdentifiers().selfSigned();
    const TestCert inter = CertBuilder(Name::cn("AC Antiga"))
                               .key(test::testKey(2))
                               .ca()
                               .keyIdentifiers()
                               .signedBy(root);
    const TestCert leaf =
        CertBuilder(Name::cn("Folha Antiga")).key(test::testKey(3)).keyIdentifiers().signedBy(inter);
    ASSERT_TRUE(open("ROOT")->addEncoded(root.derBytes()));
    ASSERT_TRUE(open("CA")->addEncoded(inter.derBytes()));
    ASSERT_TRUE(open("AddressBook")->addEncoded(leaf.derBytes()));

    auto sql = [&](const char* statement) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(home.storePath().c_str(), &db), SQLITE_OK);
        std::string value;
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(
                      db, statement,
                      [](void* out, int, char** columns, char**) {
                          *static_cast<std::string*>(out) = columns[0] ? columns[0] : "NULL";
                          return 0;
                      },
                      &value, &message),
                  SQLITE_OK)
            << (message ? message : "");
        sqlite3_free(message);
        sqlite3_close(db);
        return value;
    };
    // Every store handle is closed: the next open is a new connection that reads the file anew.
    sql("DROP INDEX certificates_by_subject;"
        "ALTER TABLE certificates DROP COLUMN subject_hash;"
        "ALTER TABLE certificates DROP COLUMN key_id;"
        "PRAGMA user_version=1");
    ASSERT_EQ(sql("PRAGMA user_version"), "1");

    CertContextPtr context = open("AddressBook")->findBySha1(sha1Of(leaf.derBytes()));
    ASSERT_TRUE(context);
    const auto chain = getCertificateChain(*context);
    ASSERT_TRUE(chain) << std::hex << lastError();
    EXPECT_EQ(chain->errorStatus, 0u);
    EXPECT_EQ(chain->elements,
              (std::vector<Bytes>{leaf.derBytes(), inter.derBytes(), root.derBytes()}));
    context.reset();
    EXPECT_EQ(sql("PRAGMA user_version"), "2");
    EXPECT_EQ(sql("SELECT count(*) FROM certificates WHERE subject_hash IS NULL"), "0");
    EXPECT_EQ(sql("SELECT count(*) FROM certificates WHERE key_id IS NOT NULL"), "3");
    EXPECT_EQ(sql("PRAGMA integrity_check"), "ok");
}

TEST_F(ChainEngineTest, RealIcpBrasilChainsAgreeWithOpensslVerify) {
    const Bytes v5 = fixtureDer("icp-brasil/ICP-Brasilv5.crt");
    const Bytes rfb = fixtureDer("icp-brasil/AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt");
    const Bytes prodesp = fixtureDer("icp-brasil/AC-PRODESP-RFB-v1.crt");
    const Bytes v10 = fixtureDer("icp-brasil/ICP-Brasilv10.crt");
    const Bytes serpro = fixtureDer("icp-brasil/AC-SERPRO-SSLv1-v10.crt");
    struct Case {
        const char* what;
        std::vector<Bytes> roots, cas;
        Bytes target;
        std::uint32_t status;
        std::vector<Bytes> elements;
    };
    const std::vector<Case> cases = {
        {"PRODESP under RFB v4 under v5", {v5}, {rfb, prodesp}, prodesp, 0, {prodesp, rfb, v5}},
        {"SERPRO SSL under v10", {v10}, {serpro}, serpro, 0, {serpro, v10}},
        {"PRODESP without its root",
         {},
         {rfb, prodesp},
         prodesp,
         chain_error::kPartialChain,
         {prodesp, rfb}},
        {"SERPRO under the wrong root",
         {v5},
         {serpro},
         serpro,
         chain_error::kPartialChain,
         {serpro}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScopedDataHome caseHome;
        const CertChain chain = chainOf(c.roots, c.cas, c.target);
        EXPECT_EQ(chain.errorStatus, c.status) << std::hex << chain.errorStatus;
        EXPECT_EQ(chain.elements, c.elements);
        std::vector<Bytes> others;
        for (const Bytes& der : c.cas) {
            if (der != c.target)
                others.push_back(der);
        }
        const OpensslVerdict verdict = opensslVerify(c.roots, others, c.target);
        EXPECT_EQ(verdict.ok, c.status == 0) << verdict.output;
    }
}

// Roots whose keys OpenSSL cannot fully decode (explicit-parameter ECDSA, Ed448, an unknown
// algorithm) give a chain status, never a failed call or a crash: as trusted roots, as roots
// only in "CA", and as the named issuer of a certificate.
TEST_F(ChainEngineTest, RootsWithUndecodableKeysGiveAStatus) {
    for (const char* file : {"icp-brasil/ICP-Brasilv4.crt", "icp-brasil/ICP-Brasilv6.crt",
                             "icp-brasil/ICP-Brasilv7.crt"}) {
        SCOPED_TRACE(file);
        const Bytes rootDer = fixtureDer(file);
        {
            test::ScopedDataHome caseHome;
            const CertChain trusted = chainOf({rootDer}, {}, rootDer);
            ASSERT_FALSE(trusted.elements.empty());
            EXPECT_EQ(trusted.elements[0], rootDer);
            EXPECT_EQ(trusted.errorStatus & chain_error::kPartialChain, 0u);
        }
        {
            test::ScopedDataHome caseHome;
            const CertChain untrusted = chainOf({}, {rootDer}, rootDer);
            ASSERT_FALSE(untrusted.elements.empty());
            EXPECT_EQ(untrusted.elements[0], rootDer);
            EXPECT_NE(untrusted.errorStatus, 0u);
        }
        {
            test::ScopedDataHome caseHome;
            // A certificate naming the root as issuer, signed by some other key.
            const auto* p = rootDer.data();
            X509* x = d2i_X509(nullptr, &p, static_cast<long>(rootDer.size()));
            ASSERT_NE(x, nullptr);
            Name issuerName;
            X509_NAME* name = X509_get_subject_name(x);
            for (int e = 0; e < X509_NAME_entry_count(name); ++e) {
                const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, e);
                char oid[80];
                OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(entry), 1);
                const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
                issuerName.add(
                    oid,
                    std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                static_cast<std::size_t>(ASN1_STRING_length(value))),
                    test::StringType::Printable);
            }
            X509_free(x);
            ASSERT_FALSE(issuerName.entries().empty());
            const Bytes child =
                CertBuilder(Name::cn("Filho")).signedWith(test::testKey(6), issuerName).derBytes();
            const CertChain chain = chainOf({rootDer}, {}, child);
            ASSERT_FALSE(chain.elements.empty());
            EXPECT_EQ(chain.elements[0], child);
            EXPECT_NE(
                chain.errorStatus & (chain_error::kPartialChain | chain_error::kNotSignatureValid),
                0u)
                << std::hex << chain.errorStatus;
        }
    }
}

TEST_F(ChainEngineTest, ContextOfATemporaryStoreIsChainedAgainstTheUserStores) {
    const TestCert root = CertBuilder(Name::cn("Raiz T")).key(test::testKey(7)).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name::cn("Folha T")).key(test::testKey(8)).signedBy(root);
    ASSERT_TRUE(open("ROOT")->addEncoded(root.derBytes()));
    CertStorePtr temporary = openMemoryStore();
    CertContextPtr context;
    ASSERT_TRUE(temporary->addEncoded(leaf.derBytes(), &context));
    const auto chain = getCertificateChain(*context);
    ASSERT_TRUE(chain);
    EXPECT_EQ(chain->errorStatus, 0u);
    EXPECT_EQ(chain->elements, (std::vector<Bytes>{leaf.derBytes(), root.derBytes()}));
}

TEST_F(ChainEngineTest, UnreadableStoreDatabaseFailsTheCallWithACode) {
    CertStorePtr temporary = openMemoryStore();
    CertContextPtr context;
    ASSERT_TRUE(temporary->addEncoded(distinctCertificates(1)[0], &context));
    std::filesystem::create_directories(home.storePath().parent_path());
    test::writeFile(home.storePath(), std::string(2048, 'z'));
    setLastError(0);
    EXPECT_FALSE(getCertificateChain(*context));
    EXPECT_EQ(lastError(), error::kDatabaseError);
}

}  // namespace
}  // namespace quor::platform::testing
