// Certificate requests: content and signature checked by the openssl command.
#include "signer/repository/certificate_request.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "signer/repository/archive_repository.h"
#include "signer/repository/errors.h"
#include "tests/keys/key_oracle.h"
#include "tests/support/pki_builder.h"

namespace quor::signer {
namespace {

std::string pemOf(X509_REQ* request) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(bio, request);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

std::string derOf(X509_REQ* request) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_REQ(request, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

TEST(CertificateRequestTest, RequestCarriesTheFixedSubjectOneKeyUsageAndAVerifyingSignature) {
    ArchiveRepository archive;
    std::shared_ptr<X509_REQ> request = archive.createCertificateRequest(L"apelido", 2048);
    ASSERT_TRUE(request);
    EXPECT_EQ(archive.state(), ArchiveState::KeyPairOnly);
    const std::string pem = pemOf(request.get());

    // OpenSSL's library and its command check the signature with the request's own key...
    const test::RequestVerdict verdict = test::verifyRequest(pem);
    EXPECT_TRUE(verdict.library);
    EXPECT_TRUE(verdict.command) << verdict.commandText;
    // ...and both refuse the same request with one bit of its signature flipped.
    const test::RequestVerdict damaged = test::verifyRequest(test::withCorruptedSignature(pem));
    EXPECT_FALSE(damaged.library);
    EXPECT_FALSE(damaged.command) << damaged.commandText;

    const std::string subject =
        test::opensslCommand("req -noout -subject -nameopt RFC2253,-esc_msb", pem);
    // RFC 2253 writes the last entry first: C, ST, O, OU, CN in encoded order.
    EXPECT_EQ(subject, "subject=CN=Quorsa Certificadora Digital SA,OU=Produtos,O=" +
                           std::string(kRequestOrganization) + ",ST=Sao Paulo,C=BR\n");

    const std::string text = test::opensslCommand("req -noout -text", pem);
    EXPECT_NE(text.find("Public-Key: (2048 bit)"), std::string::npos) << text;
    EXPECT_NE(text.find("Exponent: 65537 (0x10001)"), std::string::npos) << text;
    EXPECT_NE(text.find("X509v3 Key Usage: critical\n                    Digital Signature, "
                        "Key Encipherment\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Signature Algorithm: sha256WithRSAEncryption"), std::string::npos);
    EXPECT_NE(text.find("Version: 1 (0x0)"), std::string::npos);

    // Exactly one extension in the request.
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request.get());
    ASSERT_NE(extensions, nullptr);
    EXPECT_EQ(sk_X509_EXTENSION_num(extensions), 1);
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);

    // The outer signature algorithm carries no parameters (not even NULL): the identifier is
    // SEQUENCE { OID } only.
    const std::string parsed = test::opensslCommand("asn1parse -inform DER", derOf(request.get()));
    const std::size_t at = parsed.rfind(":sha256WithRSAEncryption");
    ASSERT_NE(at, std::string::npos) << parsed;
    const std::string after = parsed.substr(at);
    const std::size_t nextLine = after.find('\n');
    EXPECT_EQ(after.substr(nextLine + 1).find("NULL"), std::string::npos) << parsed;
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(request.get(), nullptr, &algorithm);
    int parameterType = 0;
    X509_ALGOR_get0(nullptr, &parameterType, nullptr, algorithm);
    EXPECT_EQ(parameterType, V_ASN1_UNDEF);
}

TEST(CertificateRequestTest, SecondRequestReplacesTheKeyOfTheFirst) {
    ArchiveRepository archive;
    std::shared_ptr<X509_REQ> first = archive.createCertificateRequest(L"a", 1024);
    const RsaPublicKey firstKey = archive.publicKey();
    std::shared_ptr<X509_REQ> second = archive.createCertificateRequest(L"b", 1024);
    EXPECT_FALSE(archive.publicKey() == firstKey);
    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(first.get()), X509_REQ_get0_pubkey(second.get())),
              0);
    EXPECT_EQ(archive.alias(), L"b");
    const test::RequestVerdict verdict = test::verifyRequest(pemOf(second.get()));
    EXPECT_TRUE(verdict.library);
    EXPECT_TRUE(verdict.command) << verdict.commandText;
}

// A repository whose signing fails: the request reports it as a key generation failure.
class FailingSigner : public ArchiveRepository {
  public:
    Bytes signDigestWithKey(const char*, const Bytes&, PrivateKeyHandle) override {
        throw SignatureException("assinatura recusada");
    }
};

TEST(CertificateRequestTest, SigningFailureBecomesKeyPairGenerationFailureAndKeepsTheKey) {
    FailingSigner repository;
    try {
        repository.createCertificateRequest(L"a", 1024);
        FAIL() << "no exception";
    } catch (const KeyPairGenerationException& e) {
        EXPECT_STREQ(e.what(),
                     "Error during key pair generation: Error at signing: assinatura recusada");
    }
    EXPECT_EQ(repository.state(), ArchiveState::KeyPairOnly);
}

TEST(CertificateRequestTest, KeyGenerationFailurePassesAsItIs) {
    ArchiveRepository archive;
    EXPECT_THROW(archive.createCertificateRequest(L"a", 100), KeyPairGenerationException);
    EXPECT_EQ(archive.state(), ArchiveState::Empty);
}

}  // namespace
}  // namespace quor::signer
