// Reading ".p7b" bundles into ordered chains: generated PKIs in every order, the real ICP-Brasil
// chains, broken and hostile input.
#include "detection/certificate_chain_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "platform/openssl_ptr.h"
#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

using quor::detection::BundleProblem;
using quor::detection::BundleReadError;
using quor::detection::orderCertificates;
using quor::detection::readCertificateBundle;
using quor::signer::CertificateChain;
using quor::signer::ChainStatus;
using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::pkcs7Der;
using quor::test::TestCert;

// Fingerprints of a chain, in chain order.
std::vector<std::string> fingerprintsOf(const CertificateChain& chain) {
    std::vector<std::string> out;
    for (const auto& certificate : chain.certificates)
        out.push_back(certificate.getFingerprint());
    return out;
}

std::vector<std::string> fingerprintsOf(const std::vector<TestCert>& certificates) {
    std::vector<std::string> out;
    for (const auto& certificate : certificates)
        out.push_back(certificate.sha1Text());
    return out;
}

CertificateChain readChain(const std::string& bytes) {
    std::istringstream in(bytes);
    return CertificateChain(in);
}

// A small PKI: root R, intermediate I (issued by R), leaf L (issued by I), each with its own key.
struct ThreeLevels {
    TestCert root =
        CertBuilder(Name::cn("Raiz de teste")).key(quor::test::testKey(1)).ca().selfSigned();
    TestCert inter =
        CertBuilder(Name::cn("AC intermediaria")).key(quor::test::testKey(2)).ca(0).signedBy(root);
    TestCert leaf = CertBuilder(Name{{"C", "BR"}, {"CN", "Fulano de Tal"}})
                        .key(quor::test::testKey(3))
                        .signedBy(inter);
};

const ThreeLevels& pki() {
    static const ThreeLevels levels;
    return levels;
}

TEST(BundleOrder, EveryOrderOfThreeLevelsGivesLeafIntermediateRoot) {
    const auto& p = pki();
    std::vector<TestCert> bundle{p.root, p.inter, p.leaf};
    std::sort(bundle.begin(), bundle.end(),
              [](const TestCert& a, const TestCert& b) { return a.sha1Text() < b.sha1Text(); });
    int orders = 0;
    do {
        SCOPED_TRACE(::testing::PrintToString(fingerprintsOf(bundle)));
        const CertificateChain chain = readChain(pkcs7Der(bundle));
        EXPECT_EQ(chain.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf({p.leaf, p.inter, p.root}));
        ++orders;
    } while (std::next_permutation(
        bundle.begin(), bundle.end(),
        [](const TestCert& a, const TestCert& b) { return a.sha1Text() < b.sha1Text(); }));
    EXPECT_EQ(orders, 6);
}

struct OrderCase {
    const char* name;
    std::vector<TestCert> bundle;
    std::vector<TestCert> expected;
    ChainStatus status;
};

std::vector<OrderCase> orderCases() {
    const auto& p = pki();
    const TestCert expiredInter = CertBuilder(Name::cn("AC intermediaria"))
                                      .key(quor::test::testKey(2))
                                      .ca(0)
                                      .expired()
                                      .signedBy(p.root);
    const TestCert expiredLeaf =
        CertBuilder(Name::cn("Vencido")).key(quor::test::testKey(3)).expired().signedBy(p.inter);
    const TestCert otherRoot =
        CertBuilder(Name::cn("Outra raiz")).key(quor::test::testKey(4)).ca().selfSigned();
    return {
        {"single certificate", {p.leaf}, {p.leaf}, ChainStatus::Valid},
        {"single expired certificate", {expiredLeaf}, {expiredLeaf}, ChainStatus::Expired},
        {"root stored first",
         {p.root, p.inter, p.leaf},
         {p.leaf, p.inter, p.root},
         ChainStatus::Valid},
        // Without the intermediate the chain does not close, and the walk still moves the last
        // segment in front.
        {"root then leaf, no intermediate",
         {p.root, p.leaf},
         {p.leaf, p.root},
         ChainStatus::IncompleteChain},
        {"leaf then root, no intermediate",
         {p.leaf, p.root},
         {p.root, p.leaf},
         ChainStatus::IncompleteChain},
        {"no root", {p.inter, p.leaf}, {p.leaf, p.inter}, ChainStatus::Valid},
        {"expired intermediate",
         {p.root, expiredInter, p.leaf},
         {p.leaf, expiredInter, p.root},
         ChainStatus::Expired},
        {"expired wins over incomplete",
         {expiredLeaf, p.root},
         {p.root, expiredLeaf},
         ChainStatus::Expired},
        // Exact copies stay, right after the first one, and do not break the chain apart.
        {"root twice",
         {p.root, p.leaf, p.inter, p.root},
         {p.leaf, p.inter, p.root, p.root},
         ChainStatus::Valid},
        {"intermediate twice",
         {p.leaf, p.inter, p.inter, p.root},
         {p.leaf, p.inter, p.inter, p.root},
         ChainStatus::Valid},
        {"leaf three times",
         {p.leaf, p.root, p.leaf, p.inter, p.leaf},
         {p.leaf, p.leaf, p.leaf, p.inter, p.root},
         ChainStatus::Valid},
        {"two unrelated roots",
         {p.root, otherRoot},
         {otherRoot, p.root},
         ChainStatus::IncompleteChain},
    };
}

TEST(BundleOrder, TableOfBundles) {
    for (const OrderCase& c : orderCases()) {
        SCOPED_TRACE(c.name);
        const CertificateChain chain = readChain(pkcs7Der(c.bundle));
        EXPECT_EQ(chain.status, c.status);
        EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf(c.expected));
    }
}

// Every certificate of the input, and nothing else, is in the output.
void expectSameCertificates(const std::vector<std::string>& got,
                            const std::vector<std::string>& bundle) {
    EXPECT_THAT(got, ::testing::UnorderedElementsAreArray(bundle));
}

// The oracle: the issuance walk written out step by step, position by position, without any
// index, in O(n^2) name comparisons. orderCertificates must put every bundle in the same order
// and give the same status.
bool issuedBy(X509* certificate, X509* issuer) {
    return X509_NAME_cmp(X509_get_issuer_name(certificate), X509_get_subject_name(issuer)) == 0;
}

ChainStatus literalWalk(std::vector<X509*>& v) {
    if (v.empty())
        return ChainStatus::Unverified;
    ChainStatus status = ChainStatus::Valid;
    const std::size_t n = v.size();
    if (n > 1) {
        std::size_t i = 0;
        std::optional<std::size_t> marker;
        while (i < n - 1) {
            // The first later certificate whose subject is v[i]'s issuer.
            std::size_t k = i + 1;
            while (k < n && !issuedBy(v[i], v[k]))
                ++k;
            if (k < n) {
                std::swap(v[i + 1], v[k]);
                ++i;
            } else if (!marker) {
                // End of the first segment, 0 .. i.
                marker = i;
                ++i;
            } else {
                // A further segment, *marker + 1 .. i, goes in front of the first one; the old
                // top of the first segment, now at i, is looked at again.
                if (!issuedBy(v[i], v[0]))
                    status = ChainStatus::IncompleteChain;
                std::rotate(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(*marker + 1),
                            v.begin() + static_cast<std::ptrdiff_t>(i + 1));
                marker.reset();
            }
        }
        if (marker) {
            if (!issuedBy(v[n - 1], v[0]))
                status = ChainStatus::IncompleteChain;
            std::rotate(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(*marker + 1), v.end());
        }
    }
    for (X509* certificate : v) {
        if (X509_cmp_time(X509_get0_notAfter(certificate), nullptr) < 0)
            status = ChainStatus::Expired;
    }
    return status;
}

// The reader's one rule beyond the walk: exact copies (same DER encoding) are set aside, the
// walk orders the distinct certificates, and each copy is put back right after its first
// occurrence (by name alone a copied intermediate would end a segment and split the chain).
ChainStatus literalOrder(std::vector<X509*>& certificates) {
    std::vector<X509*> distinct;
    std::vector<std::vector<X509*>> copiesOf;
    for (X509* certificate : certificates) {
        const auto first = std::find_if(distinct.begin(), distinct.end(), [&](X509* other) {
            return X509_cmp(other, certificate) == 0;
        });
        if (first != distinct.end()) {
            copiesOf[static_cast<std::size_t>(first - distinct.begin())].push_back(certificate);
        } else {
            distinct.push_back(certificate);
            copiesOf.emplace_back();
        }
    }
    std::vector<X509*> walked = distinct;
    const ChainStatus status = literalWalk(walked);
    certificates.clear();
    for (X509* certificate : walked) {
        certificates.push_back(certificate);
        const auto at = std::find(distinct.begin(), distinct.end(), certificate) - distinct.begin();
        const auto& copies = copiesOf[static_cast<std::size_t>(at)];
        certificates.insert(certificates.end(), copies.begin(), copies.end());
    }
    return status;
}

std::vector<X509*> pointersOf(const std::vector<TestCert>& certificates) {
    std::vector<X509*> out;
    for (const auto& certificate : certificates)
        out.push_back(certificate.x509());
    return out;
}

std::vector<std::string> fingerprintsOf(const std::vector<X509*>& certificates) {
    std::vector<std::string> out;
    for (X509* certificate : certificates)
        out.push_back(quor::signer::Certificate(certificate).getFingerprint());
    return out;
}

// What the walk makes of a bundle, as fingerprints in order, with its status.
std::pair<std::vector<std::string>, ChainStatus> literallyOrdered(
    const std::vector<TestCert>& bundle) {
    std::vector<X509*> pointers = pointersOf(bundle);
    const ChainStatus status = literalOrder(pointers);
    return {fingerprintsOf(pointers), status};
}

// Certificates naming each other as issuer (cross-certification loops) must not make the walk
// run forever or lose a certificate.
TEST(BundleOrder, IssuanceCyclesEndAndKeepEveryCertificate) {
    const auto key = quor::test::testKey(5);
    auto issuedBy = [&](const char* subject, const char* issuer) {
        return CertBuilder(Name::cn(subject)).ca().signedWith(key, Name::cn(issuer));
    };
    const TestCert a = issuedBy("A", "B");
    const TestCert b = issuedBy("B", "A");
    const TestCert c = issuedBy("C", "A");
    const TestCert x = issuedBy("X", "Y");
    const TestCert y = issuedBy("Y", "Z");
    const TestCert z = issuedBy("Z", "X");
    const TestCert leaf = CertBuilder(Name::cn("folha")).signedWith(key, Name::cn("X"));

    struct CycleCase {
        const char* name;
        std::vector<TestCert> bundle;
        std::optional<std::vector<TestCert>> expected;
    };
    const std::vector<CycleCase> cases{
        {"two issue each other", {a, b}, std::vector<TestCert>{a, b}},
        {"three in a ring", {x, y, z}, std::vector<TestCert>{x, y, z}},
        {"ring stored backwards", {z, y, x}, std::vector<TestCert>{z, x, y}},
        {"ring under a leaf", {leaf, y, z, x}, std::nullopt},
        {"leaf between ring members", {y, leaf, z, x}, std::nullopt},
        {"ring with a branch", {c, a, b}, std::nullopt},
        {"everything", {c, x, leaf, a, z, b, y}, std::nullopt},
    };
    for (const CycleCase& cycle : cases) {
        SCOPED_TRACE(cycle.name);
        const CertificateChain chain = readChain(pkcs7Der(cycle.bundle));
        expectSameCertificates(fingerprintsOf(chain), fingerprintsOf(cycle.bundle));
        const auto [order, status] = literallyOrdered(cycle.bundle);
        EXPECT_EQ(fingerprintsOf(chain), order);
        EXPECT_EQ(chain.status, status);
        if (cycle.expected) {
            EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf(*cycle.expected));
            EXPECT_EQ(chain.status, ChainStatus::Valid);
        }
    }
}

// One small key for the large bundles: 2,000 certificates take little time to make, and names
// are all the ordering looks at.
const quor::test::Key& smallKey() {
    static const quor::test::Key key = quor::test::Key::rsa(512);
    return key;
}

// A long chain in random order: each certificate must be followed by its issuer.
std::vector<TestCert> longChain(int length) {
    std::vector<TestCert> chain;  // chain[0] is the root
    chain.push_back(CertBuilder(Name::cn("Nivel 0")).key(smallKey()).ca().selfSigned());
    for (int level = 1; level < length; ++level) {
        chain.push_back(CertBuilder(Name::cn("Nivel " + std::to_string(level)))
                            .key(smallKey())
                            .ca()
                            .signedBy(chain.back()));
    }
    std::reverse(chain.begin(), chain.end());  // lowest first: the order the reader must give
    return chain;
}

TEST(BundleOrder, TwoThousandShuffledCertificatesComeBackInIssuanceOrder) {
    const std::vector<TestCert> ordered = longChain(2000);
    std::vector<TestCert> shuffled = ordered;
    std::mt19937 random(20240611);
    std::shuffle(shuffled.begin(), shuffled.end(), random);

    const CertificateChain chain = readChain(pkcs7Der(shuffled));
    EXPECT_EQ(chain.status, ChainStatus::Valid);
    EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf(ordered));
}

TEST(BundleOrder, TwoThousandUnrelatedCertificatesAreAllKept) {
    std::vector<TestCert> unrelated;
    for (int k = 0; k < 2000; ++k) {
        unrelated.push_back(
            CertBuilder(Name::cn("Avulso " + std::to_string(k))).key(smallKey()).selfSigned());
    }
    std::vector<X509*> pointers;
    for (const auto& certificate : unrelated)
        pointers.push_back(certificate.x509());
    const ChainStatus status = orderCertificates(pointers);
    EXPECT_EQ(status, ChainStatus::IncompleteChain);
    std::vector<X509*> expected = pointersOf(unrelated);
    EXPECT_THAT(pointers, ::testing::UnorderedElementsAreArray(expected));
    EXPECT_EQ(literalOrder(expected), ChainStatus::IncompleteChain);
    EXPECT_EQ(pointers, expected);
}

TEST(BundleOrder, EmptySequenceIsUnverified) {
    std::vector<X509*> none;
    EXPECT_EQ(orderCertificates(none), ChainStatus::Unverified);
    EXPECT_TRUE(none.empty());
}

// Real ICP-Brasil certificates, including roots whose keys OpenSSL cannot fully decode.
TestCert fixtureCert(const std::string& file) {
    const std::string pem = quor::test::readFile(quor::test::fixture("icp-brasil/" + file));
    quor::openssl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509* x509 = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (x509 == nullptr)
        throw std::runtime_error("cannot read fixture " + file);
    return TestCert{std::shared_ptr<X509>(x509, X509_free), quor::test::testKey(0)};
}

TEST(BundleOrder, RealIcpBrasilChainsInEveryOrder) {
    const TestCert prodesp = fixtureCert("AC-PRODESP-RFB-v1.crt");
    const TestCert rfb = fixtureCert("AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt");
    const TestCert v5 = fixtureCert("ICP-Brasilv5.crt");
    std::vector<TestCert> bundle{v5, rfb, prodesp};
    std::vector<int> order{0, 1, 2};
    do {
        std::vector<TestCert> permuted;
        for (int k : order)
            permuted.push_back(bundle[k]);
        const CertificateChain chain = readChain(pkcs7Der(permuted));
        EXPECT_EQ(chain.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(chain), fingerprintsOf({prodesp, rfb, v5}));
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(BundleOrder, RootsWithUndecodableKeysAreReadAndOrderedByName) {
    const TestCert serpro = fixtureCert("AC-SERPRO-SSLv1-v10.crt");
    const TestCert v10 = fixtureCert("ICP-Brasilv10.crt");
    // v4: ECDSA with explicit curve parameters; v6: Ed448; v7: an algorithm unknown to OpenSSL.
    for (const char* file : {"ICP-Brasilv4.crt", "ICP-Brasilv6.crt", "ICP-Brasilv7.crt"}) {
        SCOPED_TRACE(file);
        const TestCert root = fixtureCert(file);
        const CertificateChain alone = readChain(pkcs7Der({root}));
        EXPECT_EQ(alone.status, ChainStatus::Valid);
        EXPECT_EQ(fingerprintsOf(alone), fingerprintsOf({root}));

        // Beside a real chain it is an unrelated root: the chain is not closed.
        const CertificateChain mixed = readChain(pkcs7Der({root, serpro, v10}));
        EXPECT_EQ(mixed.status, ChainStatus::IncompleteChain);
        EXPECT_EQ(fingerprintsOf(mixed), fingerprintsOf({serpro, v10, root}));
    }
}

TEST(BundleOrder, AllRealCertificatesTogetherAreAllRead) {
    std::vector<TestCert> all;
    for (const char* file :
         {"ICP-Brasilv12.crt", "AC-PRODESP-RFB-v1.crt", "ICP-Brasilv4.crt", "ICP-Brasilv10.crt",
          "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt", "ICP-Brasilv6.crt",
          "AC-SERPRO-SSLv1-v10.crt", "ICP-Brasilv7.crt", "ICP-Brasilv5.crt"}) {
        all.push_back(fixtureCert(file));
    }
    const CertificateChain chain = readChain(pkcs7Der(all));
    EXPECT_EQ(chain.status, ChainStatus::IncompleteChain);
    expectSameCertificates(fingerprintsOf(chain), fingerprintsOf(all));
    const auto [order, status] = literallyOrdered(all);
    EXPECT_EQ(fingerprintsOf(chain), order);
    EXPECT_EQ(chain.status, status);
}

// Random bundles drawn from a small pool of names, so that issuers are often found, often
// missing, shared by several certificates, or issued in cycles; with expired certificates,
// self-signed roots, and exact copies (separate objects, so a copy's place is checked too).
TEST(BundleOrder, TheWalkMatchesTheLiteralWalkOnRandomBundles) {
    const char* const names[] = {"N0", "N1", "N2", "N3", "N4", "N5"};
    std::vector<TestCert> pool;
    long serial = 1;
    for (const char* subject : names) {
        for (const char* issuer : names) {
            pool.push_back(CertBuilder(Name::cn(subject))
                               .key(smallKey())
                               .serial(serial++)
                               .signedWith(smallKey(), Name::cn(issuer)));
        }
        pool.push_back(CertBuilder(Name::cn(subject))
                           .key(smallKey())
                           .serial(serial++)
                           .expired()
                           .signedWith(smallKey(), Name::cn(names[0])));
    }
    std::vector<quor::openssl::X509Ptr> copies;
    for (const TestCert& certificate : pool)
        copies.emplace_back(X509_dup(certificate.x509()));

    std::mt19937 random(1301);
    std::uniform_int_distribution<std::size_t> size(1, 12);
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::map<ChainStatus, int> seen;
    for (int round = 0; round < 20000; ++round) {
        std::vector<X509*> bundle;
        std::vector<bool> used(pool.size(), false);
        const std::size_t length = size(random);
        while (bundle.size() < length) {
            const std::size_t k = pick(random);
            bundle.push_back(used[k] ? copies[k].get() : pool[k].x509());
            used[k] = true;
        }
        std::vector<X509*> ordered = bundle;
        std::vector<X509*> expected = bundle;
        const ChainStatus status = orderCertificates(ordered);
        const ChainStatus expectedStatus = literalOrder(expected);
        ++seen[expectedStatus];
        if (ordered != expected || status != expectedStatus) {
            ADD_FAILURE() << "bundle " << round << " of " << bundle.size()
                          << " certificates is ordered differently";
            break;
        }
    }
    // The draw reaches every status a bundle can have.
    EXPECT_GT(seen[ChainStatus::Valid], 0);
    EXPECT_GT(seen[ChainStatus::IncompleteChain], 0);
    EXPECT_GT(seen[ChainStatus::Expired], 0);
}

// Input that holds no certificate: the quiet constructor gives an empty Unverified chain, the
// strict reader names the problem.
struct BadInput {
    const char* name;
    std::string bytes;
    BundleProblem problem;
};

std::string pkcs7OfType(int nid) {
    quor::openssl::Pkcs7Ptr pkcs7(PKCS7_new());
    if (!pkcs7 || PKCS7_set_type(pkcs7.get(), nid) != 1)
        throw std::runtime_error("PKCS7_set_type");
    if (nid == NID_pkcs7_signed && PKCS7_content_new(pkcs7.get(), NID_pkcs7_data) != 1) {
        throw std::runtime_error("PKCS7_content_new");
    }
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(pkcs7.get(), &der);
    if (length <= 0)
        throw std::runtime_error("i2d_PKCS7");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::vector<BadInput> badInputs() {
    const auto& p = pki();
    const std::string bundle = pkcs7Der({p.root, p.inter, p.leaf});
    std::vector<BadInput> cases{
        {"empty stream", "", BundleProblem::NotPkcs7},
        {"an HTML error page", "<html><body><h1>404 Not Found</h1></body></html>\n",
         BundleProblem::NotPkcs7},
        {"PEM armour of a valid bundle", quor::test::pkcs7Pem({p.root, p.inter, p.leaf}),
         BundleProblem::NotPkcs7},
        {"a DER certificate, not a bundle", p.leaf.der(), BundleProblem::NotPkcs7},
        {"zero bytes", std::string(4096, '\0'), BundleProblem::NotPkcs7},
        {"a SEQUENCE claiming 2 GB", std::string("\x30\x84\x7f\xff\xff\xff\x06\x09", 8),
         BundleProblem::NotPkcs7},
        {"signed data without certificates", pkcs7Der(std::vector<TestCert>{}),
         BundleProblem::NoCertificates},
        {"signed data built without a certificate set", pkcs7OfType(NID_pkcs7_signed),
         BundleProblem::NoCertificates},
        {"plain data content", pkcs7OfType(NID_pkcs7_data), BundleProblem::NoCertificates},
    };
    // The bundle cut short at several places, down to its last byte.
    for (std::size_t length :
         {std::size_t{1}, std::size_t{2}, std::size_t{10}, bundle.size() / 2, bundle.size() - 1}) {
        cases.push_back({"truncated bundle", bundle.substr(0, length), BundleProblem::NotPkcs7});
    }
    return cases;
}

TEST(BundleReading, InputWithoutCertificatesIsNeverAValidChain) {
    for (const BadInput& input : badInputs()) {
        SCOPED_TRACE(std::string(input.name) + ", " + std::to_string(input.bytes.size()) +
                     " bytes");
        const CertificateChain chain = readChain(input.bytes);
        EXPECT_EQ(chain.status, ChainStatus::Unverified);
        EXPECT_TRUE(chain.certificates.empty());

        std::istringstream in(input.bytes);
        try {
            readCertificateBundle(in);
            ADD_FAILURE() << "no error for input without certificates";
        } catch (const BundleReadError& error) {
            EXPECT_EQ(error.problem(), input.problem);
            EXPECT_STRNE(error.what(), "");
        }
    }
}

TEST(BundleReading, StrictReaderGivesTheSameChainAsTheConstructor) {
    const auto& p = pki();
    const std::string bytes = pkcs7Der({p.inter, p.root, p.leaf});
    std::istringstream in(bytes);
    const CertificateChain strict = readCertificateBundle(in);
    const CertificateChain quiet = readChain(bytes);
    EXPECT_EQ(strict.status, quiet.status);
    EXPECT_EQ(fingerprintsOf(strict), fingerprintsOf(quiet));
}

// The reader takes exactly one DER structure from the stream: what follows stays unread, so two
// bundles written one after the other are read one at a time.
TEST(BundleReading, ReadsOneStructureAndLeavesTheRestOfTheStream) {
    const auto& p = pki();
    const std::string first = pkcs7Der({p.root, p.leaf, p.inter});
    const std::string second = pkcs7Der({p.root});
    std::istringstream in(first + second + "trailing bytes");
    const CertificateChain one(in);
    const CertificateChain two(in);
    EXPECT_EQ(fingerprintsOf(one), fingerprintsOf({p.leaf, p.inter, p.root}));
    EXPECT_EQ(fingerprintsOf(two), fingerprintsOf({p.root}));
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, "trailing bytes");
}

// A source that delivers its bytes in small pieces and counts how often it is asked for more
// after its end: a reader that loops on end of stream would ask without bound.
class TrickleBuffer : public std::streambuf {
  public:
    TrickleBuffer(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
    int askedAfterEnd() const { return askedAfterEnd_; }

  protected:
    int_type underflow() override {
        if (at_ >= bytes_.size()) {
            ++askedAfterEnd_;
            return traits_type::eof();
        }
        const std::size_t n = std::min(piece_, bytes_.size() - at_);
        char* start = bytes_.data() + at_;
        setg(start, start, start + n);
        at_ += n;
        return traits_type::to_int_type(*start);
    }

  private:
    std::string bytes_;
    std::size_t piece_;
    std::size_t at_ = 0;
    int askedAfterEnd_ = 0;
};

TEST(BundleReading, StreamEndingEarlyFailsPromptly) {
    const auto& p = pki();
    const std::string bundle = pkcs7Der({p.root, p.inter, p.leaf});
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, bundle.size() / 3, bundle.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        TrickleBuffer source(bundle.substr(0, cut), 7);
        std::istream in(&source);
        const CertificateChain chain(in);
        EXPECT_EQ(chain.status, ChainStatus::Unverified);
        EXPECT_TRUE(chain.certificates.empty());
        EXPECT_LE(source.askedAfterEnd(), 4);
    }
    TrickleBuffer whole(bundle, 7);
    std::istream in(&whole);
    const CertificateChain chain(in);
    EXPECT_EQ(chain.certificates.size(), 3u);
}

// A failed read must not leave its errors in OpenSSL's per-thread queue, where the next failing
// OpenSSL call of the program would report them as its own cause; errors queued before stay.
TEST(BundleReading, FailedReadLeavesOpenSslErrorQueueAsItWas) {
    ERR_clear_error();
    for (const BadInput& input : badInputs()) {
        SCOPED_TRACE(input.name);
        readChain(input.bytes);
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
    ERR_raise(ERR_LIB_USER, 42);
    readChain("garbage");
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), 42);
    EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), 42);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

// The chain owns its certificates: it stays usable after the stream and its bytes are gone.
TEST(BundleReading, ChainOutlivesItsStream) {
    const auto& p = pki();
    std::optional<CertificateChain> chain;
    {
        auto bytes = std::make_unique<std::string>(pkcs7Der({p.leaf, p.root, p.inter}));
        auto in = std::make_unique<std::istringstream>(*bytes);
        chain.emplace(*in);
    }
    ASSERT_EQ(chain->certificates.size(), 3u);
    EXPECT_EQ(chain->certificates.front().getFingerprint(), p.leaf.sha1Text());
    EXPECT_EQ(chain->certificates.back().getSerialNumber(),
              CertificateChain(*std::make_unique<std::istringstream>(pkcs7Der({p.root})))
                  .certificates.front()
                  .getSerialNumber());
}

}  // namespace
