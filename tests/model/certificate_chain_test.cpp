#include "signer/model/certificate_chain.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/pki_builder.h"

namespace quor::signer {
namespace {

using test::CertBuilder;
using test::Name;

std::vector<std::string> fingerprints(const CertificateChain& chain) {
    std::vector<std::string> texts;
    for (const Certificate& certificate : chain.certificates) {
        texts.push_back(certificate.getFingerprint());
    }
    return texts;
}

TEST(CertificateChainTest, RangeConstructorKeepsOrderAndStatus) {
    const test::TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const test::TestCert inter = CertBuilder(Name::cn("Inter")).ca(0).signedBy(root);
    const test::TestCert leaf = CertBuilder(Name::cn("Leaf")).signedBy(inter);
    const std::vector<Certificate> certificates = {
        Certificate(leaf.pem()), Certificate(inter.pem()), Certificate(root.pem())};
    const std::vector<std::string> expected = {leaf.sha1Text(), inter.sha1Text(), root.sha1Text()};

    struct Case {
        std::size_t first, last;
        ChainStatus status;
    };
    const std::vector<Case> cases = {
        {0, 3, ChainStatus::Valid},           {0, 0, ChainStatus::Unverified},
        {0, 2, ChainStatus::IncompleteChain},  // held as given even though it does not close
        {1, 3, ChainStatus::Expired},         {0, 3, ChainStatus::Unverified},
    };
    for (const Case& c : cases) {
        const CertificateChain chain(certificates.data() + c.first, certificates.data() + c.last,
                                     c.status);
        EXPECT_EQ(chain.status, c.status);
        EXPECT_EQ(fingerprints(chain),
                  std::vector<std::string>(expected.begin() + static_cast<long>(c.first),
                                           expected.begin() + static_cast<long>(c.last)));
    }
}

TEST(CertificateChainTest, CopiesShareTheCertificates) {
    const test::TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const test::TestCert leaf = CertBuilder(Name::cn("Leaf")).signedBy(root);
    const std::vector<Certificate> certificates = {Certificate(leaf.pem()),
                                                   Certificate(root.pem())};
    const CertificateChain chain(certificates.data(), certificates.data() + 2, ChainStatus::Valid);
    const CertificateChain copy = chain;
    EXPECT_EQ(copy.status, ChainStatus::Valid);
    EXPECT_EQ(fingerprints(copy), fingerprints(chain));
    EXPECT_EQ(copy.certificates.front().nativeHandle(), certificates.front().nativeHandle());
    EXPECT_EQ(static_cast<int>(ChainStatus::Unverified), 999);
    EXPECT_EQ(static_cast<int>(ChainStatus::Expired), 2);
}

}  // namespace
}  // namespace quor::signer
