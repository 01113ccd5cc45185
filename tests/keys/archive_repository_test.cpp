// ArchiveRepository: states, keys, signatures and the saved PKCS#12, checked with openssl.
#include "signer/repository/archive_repository.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <sstream>
#include <string>
#include <vector>

#include "signer/repository/errors.h"
#include "tests/keys/key_oracle.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::signer {
namespace {

using test::bytesOf;
using test::CertBuilder;
using test::Name;
using test::TestCert;
using Bytes = std::vector<unsigned char>;

// A certificate for the archive's key, issued by a test authority.
struct IssuedFor {
    TestCert ca;
    TestCert certificate;
};

IssuedFor issueFor(ArchiveRepository& archive, const std::string& cn = "Titular") {
    // The public half of the archive's key, as OpenSSL reads it back from a request.
    std::shared_ptr<X509_REQ> request = archive.createCertificateRequest(L"apelido", 1024);
    EVP_PKEY* key = X509_REQ_get0_pubkey(request.get());
    IssuedFor issued;
    issued.ca = CertBuilder(Name::cn("AC de Teste")).ca(0).key(test::testKey(5)).selfSigned();
    issued.certificate = CertBuilder(Name::cn(cn))
                             .key(test::Key::fromPkey(key))
                             .keyUsage("digitalSignature,keyEncipherment")
                             .signedBy(issued.ca);
    return issued;
}

Certificate certificateOf(const TestCert& made) {
    return Certificate(made.x509());
}

template <typename Exception, typename Call>
std::string messageOf(Call call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong exception type: ") + e.what();
    }
    return "no exception";
}

TEST(ArchiveRepositoryTest, NewArchiveRefusesEverythingThatNeedsContent) {
    ArchiveRepository archive;
    EXPECT_EQ(archive.state(), ArchiveState::Empty);
    TestCert any = CertBuilder(Name::cn("Qualquer")).selfSigned();
    std::ostringstream out;
    EXPECT_EQ(messageOf<CertificateSearchingException>([&] {
                  archive.visitCertificates(
                      AnyKind, [](const Certificate&) { return Repository::Continue; });
              }),
              "Error while searching certificates at repository: PKCS#12's Content is empty or "
              "user was not logged in");
    EXPECT_EQ(messageOf<SerializationException>([&] { archive.save(L"senha", out); }),
              "Error while serializing: Cannot save. It lacks either certificate, private key or "
              "CA.");
    EXPECT_EQ(messageOf<SignatureException>([&] { archive.privateKeyOf(certificateOf(any)); }),
              "Error at signing: There isn't any private key");
    EXPECT_EQ(messageOf<CertificateAdditionException>(
                  [&] { archive.addCertificate(certificateOf(any)); }),
              "Error at adding certificate: Cannot extract public key. It lacks a public key.");
    EXPECT_EQ(messageOf<BaseException>([&] { archive.publicKey(); }),
              "Cannot extract public key. It lacks a public key.");
    EXPECT_TRUE(out.str().empty());
}

TEST(ArchiveRepositoryTest, GeneratedKeyPairWaitsForItsCertificate) {
    ArchiveRepository archive;
    const KeyPair pair = archive.generateKeyPair(L"apelido", 2048);
    EXPECT_EQ(archive.state(), ArchiveState::KeyPairOnly);
    EXPECT_EQ(pair.publicKey.modulus.size(), 256u);
    EXPECT_EQ(pair.publicKey.exponent, (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(archive.publicKey(), pair.publicKey);
    TestCert any = CertBuilder(Name::cn("Qualquer")).selfSigned();
    EXPECT_EQ(messageOf<SignatureException>([&] { archive.privateKeyOf(certificateOf(any)); }),
              "Error at signing: Certificate not present");
    std::ostringstream out;
    EXPECT_THROW(archive.save(L"senha", out), SerializationException);
    // Personal certificates are asked for, but there is none yet: nothing is visited.
    int visits = 0;
    archive.visitCertificates(AnyKind, [&](const Certificate&) {
        ++visits;
        return Repository::Continue;
    });
    EXPECT_EQ(visits, 0);
}

TEST(ArchiveRepositoryTest, KeySizesTheKeyGenerationCannotMakeFail) {
    for (const int bits : {0, -1, 256}) {
        SCOPED_TRACE(bits);
        ArchiveRepository archive;
        EXPECT_THROW(archive.generateKeyPair(L"a", bits), KeyPairGenerationException);
        EXPECT_EQ(archive.state(), ArchiveState::Empty);
    }
}

// A failed generation drops what the archive held before it fails; the archive must then say
// it is empty, not claim a key or a certificate that are gone.
TEST(ArchiveRepositoryTest, FailedGenerationOverContentLeavesAnEmptyArchive) {
    struct Case {
        const char* name;
        bool complete;
        bool save;
        ArchiveState before;
    };
    const Case cases[] = {
        {"key pair only", false, false, ArchiveState::KeyPairOnly},
        {"completed", true, false, ArchiveState::Completed},
        {"open after saving", true, true, ArchiveState::Open},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveRepository archive;
        const IssuedFor issued = issueFor(archive);
        if (c.complete) {
            ASSERT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
        }
        if (c.save) {
            std::ostringstream out;
            archive.save(L"senha", out);
        }
        ASSERT_EQ(archive.state(), c.before);
        EXPECT_THROW(archive.generateKeyPair(L"b", 256), KeyPairGenerationException);
        EXPECT_EQ(archive.state(), ArchiveState::Empty);
        EXPECT_EQ(messageOf<CertificateAdditionException>(
                      [&] { archive.addCertificate(certificateOf(issued.certificate)); }),
                  "Error at adding certificate: Cannot extract public key. It lacks a public key.");
        EXPECT_EQ(messageOf<SignatureException>(
                      [&] { archive.privateKeyOf(certificateOf(issued.certificate)); }),
                  "Error at signing: There isn't any private key");
        std::ostringstream out;
        EXPECT_THROW(archive.save(L"senha", out), SerializationException);
        EXPECT_THROW(archive.visitCertificates(AnyKind, [](const Certificate&) {
            return Repository::Continue;
        }),
                     CertificateSearchingException);
    }
}

TEST(ArchiveRepositoryTest, CertificatesAreTakenByKeyOrAsAuthorities) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive);
    TestCert stranger = CertBuilder(Name::cn("Outro")).key(test::testKey(6)).signedBy(issued.ca);
    TestCert intermediate =
        CertBuilder(Name::cn("AC Intermediaria")).ca(0).key(test::testKey(7)).signedBy(issued.ca);

    EXPECT_FALSE(archive.addCertificate(certificateOf(stranger)));
    EXPECT_EQ(archive.state(), ArchiveState::KeyPairOnly);
    EXPECT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
    EXPECT_EQ(archive.state(), ArchiveState::Completed);
    EXPECT_TRUE(archive.addCertificate(certificateOf(issued.ca)));
    EXPECT_TRUE(archive.addCertificate(certificateOf(intermediate)));

    EXPECT_NO_THROW(archive.privateKeyOf(certificateOf(issued.certificate)));
    EXPECT_EQ(messageOf<SignatureException>([&] { archive.privateKeyOf(certificateOf(stranger)); }),
              "Error at signing: Certificate not match in this archive");

    struct Case {
        const char* name;
        int kinds;
        bool stopAtFirst;
        std::vector<std::string> expected;
    };
    const std::string own = issued.certificate.sha1Text();
    const std::string root = issued.ca.sha1Text();
    const std::string inter = intermediate.sha1Text();
    const Case cases[] = {
        {"personal only: the list holds authorities", Personal, false, {own}},
        {"personal and roots", Personal | RootCa, false, {own, root}},
        {"a stop for the own certificate does not end the walk",
         Personal | RootCa,
         true,
         {own, root}},
        {"authorities only", AnyCa, false, {root, inter}},
        {"a stop in the list ends the walk", AnyCa, true, {root}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> seen;
        archive.visitCertificates(c.kinds, [&](const Certificate& certificate) {
            seen.push_back(certificate.getFingerprint());
            return c.stopAtFirst ? Repository::Stop : Repository::Continue;
        });
        EXPECT_EQ(seen, c.expected);
    }

    // A visitor's failure arrives as a search failure.
    EXPECT_THROW(archive.visitCertificates(AnyKind,
                                           [](const Certificate&) -> Repository::Then {
                                               throw std::runtime_error("falhou");
                                           }),
                 CertificateSearchingException);
}

TEST(ArchiveRepositoryTest, SignaturesVerifyWithTheCertificateKeyForEveryHash) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive);
    ASSERT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
    const Certificate signer = certificateOf(issued.certificate);
    const Bytes data = bytesOf("contrato");
    for (const char* hash : {"SHA1", "SHA256", "SHA384", "SHA512", "sha256"}) {
        SCOPED_TRACE(hash);
        std::string lower = hash;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(c));
        EXPECT_TRUE(test::opensslVerifies(issued.certificate.pem(), data,
                                          archive.sign(data, signer, hash), lower));
    }

    // The empty hash name signs a prepared block as it is: with a DigestInfo, the same bytes.
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), digest.data());
    const Bytes withHash = archive.signDigest(digest, signer, "SHA256");
    const Bytes prepared = archive.signDigest(test::digestInfo("sha256", digest), signer, "");
    EXPECT_EQ(prepared, withHash);

    EXPECT_EQ(messageOf<SignatureException>([&] { archive.signDigest(digest, signer, "XYZ"); }),
              "Error at signing: Hash algorithm not found");
    // A digest whose length does not fit the hash is refused by OpenSSL.
    EXPECT_THROW(archive.signDigest(Bytes(5, 1), signer, "SHA256"), SignatureException);
}

TEST(ArchiveRepositoryTest, DecryptsWhatOpensslEncryptedAndRefusesDamagedData) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive);
    ASSERT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
    const Certificate recipient = certificateOf(issued.certificate);
    const Bytes secret = bytesOf("chave de sessao");
    const Bytes encrypted = test::opensslEncrypt(issued.certificate.pem(), secret);
    EXPECT_EQ(archive.decrypt(encrypted, recipient), secret);
    Bytes damaged = encrypted;
    damaged[3] ^= 0x01;
    EXPECT_THROW(archive.decrypt(damaged, recipient), DecryptionException);
    EXPECT_THROW(archive.decrypt(Bytes(), recipient), DecryptionException);
}

TEST(ArchiveRepositoryTest, SavedArchiveOpensWithOpensslAndWithLogin) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive, "Fulano de Tal");
    ASSERT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
    ASSERT_TRUE(archive.addCertificate(certificateOf(issued.ca)));
    std::ostringstream out;
    archive.save(L"s3nh@", out);
    EXPECT_EQ(archive.state(), ArchiveState::Open);
    const std::string der = out.str();

    const std::string dump = test::opensslCommand("pkcs12 -passin pass:s3nh@ -nodes -info", der);
    EXPECT_NE(dump.find("friendlyName: apelido"), std::string::npos) << dump;
    EXPECT_NE(dump.find("subject=CN = Fulano de Tal"), std::string::npos) << dump;
    EXPECT_NE(dump.find("subject=CN = AC de Teste"), std::string::npos) << dump;
    EXPECT_NE(dump.find("BEGIN PRIVATE KEY"), std::string::npos);
    // The key in the file is the archive's: its public half matches the certificate's.
    const std::string keyPub = test::opensslCommand(
        "pkey -pubout", test::opensslCommand("pkcs12 -passin pass:s3nh@ -nodes -nocerts", der));
    EXPECT_EQ(keyPub, test::opensslCommand("x509 -pubkey -noout", issued.certificate.pem()));
    EXPECT_THROW(test::opensslCommand("pkcs12 -passin pass:errada -nodes -info", der),
                 std::runtime_error);

    ArchiveRepository loaded(bytesOf(der), L"");
    EXPECT_EQ(loaded.state(), ArchiveState::Locked);
    EXPECT_EQ(messageOf<SignatureException>(
                  [&] { loaded.privateKeyOf(certificateOf(issued.certificate)); }),
              "Error at signing: Not logged");
    const std::string wrong = messageOf<RepositoryAccessException>([&] { loaded.login(L"x"); });
    EXPECT_EQ(wrong.rfind("Error while doing login at repository: ", 0), 0u) << wrong;
    EXPECT_NE(wrong.find("(PKCS12_parse)"), std::string::npos) << wrong;
    EXPECT_EQ(loaded.state(), ArchiveState::Locked);
    loaded.login(L"s3nh@");
    EXPECT_EQ(loaded.state(), ArchiveState::Open);
    const Bytes data = bytesOf("depois do login");
    EXPECT_TRUE(
        test::opensslVerifies(issued.certificate.pem(), data,
                              loaded.sign(data, certificateOf(issued.certificate), "SHA256")));
    EXPECT_THROW(ArchiveRepository(bytesOf("lixo"), L""), RepositoryAccessException);
}

TEST(ArchiveRepositoryTest, SaveToAFailingStreamReportsIt) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive);
    ASSERT_TRUE(archive.addCertificate(certificateOf(issued.certificate)));
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    EXPECT_THROW(archive.save(L"senha", out), SerializationException);
    // A pass phrase the library cannot narrow is reported as a serialization failure.
    std::ostringstream fine;
    EXPECT_THROW(archive.save(L"\u20ac", fine), SerializationException);
}

TEST(ArchiveRepositoryTest, CopiesAndClonesShareTheKey) {
    ArchiveRepository archive;
    const IssuedFor issued = issueFor(archive);
    ArchiveRepository copy = archive;
    std::unique_ptr<Repository> clone(archive.clone());
    ASSERT_TRUE(copy.addCertificate(certificateOf(issued.certificate)));
    EXPECT_EQ(archive.state(), ArchiveState::Completed);
    const Bytes data = bytesOf("x");
    EXPECT_TRUE(
        test::opensslVerifies(issued.certificate.pem(), data,
                              clone->sign(data, certificateOf(issued.certificate), "SHA256")));
}

}  // namespace
}  // namespace quor::signer
