// SystemRepository key operations and the issuance cycle, over the real store database in a
// temporary home; signatures and files checked with the openssl command.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_store.h"
#include "platform/last_error.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_impl.h"
#include "signer/repository/system_repository_issuance.h"
#include "signer/repository/windows_private_key_ref.h"
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

bool inStore(std::string_view store, const TestCert& made) {
    return static_cast<bool>(
        platform::openSystemStore(store)->findBySha1(platform::sha1Of(made.derBytes())));
}

class SystemRepositoryKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ca = CertBuilder(Name::cn("AC Emissora")).ca(0).key(test::testKey(8)).selfSigned();
        holder = CertBuilder(Name::cn("Titular")).key(test::testKey(9)).signedBy(ca);
        baseline = platform::keyHandlesInUse();
    }

    // Puts holder into "MY" with its key in the provider the flags choose.
    void importHolder(std::uint32_t flags) {
        platform::CertStorePtr temporary =
            platform::importPkcs12(bytesOf(test::pkcs12(holder, "senha")), "senha", flags);
        ASSERT_TRUE(temporary);
        platform::CertContextPtr context = temporary->next(nullptr);
        ASSERT_TRUE(context);
        ASSERT_TRUE(platform::openSystemStore(platform::kPersonalStore)->addContext(*context));
    }

    test::ScopedDataHome home;
    TestCert ca;
    TestCert holder;
    std::size_t baseline = 0;
};

TEST_F(SystemRepositoryKeysTest, BothProvidersSignSoThatOpensslVerifies) {
    for (const std::uint32_t flags : {0u, platform::kImportLegacyProvider}) {
        SCOPED_TRACE(flags == 0 ? "key storage" : "legacy");
        importHolder(flags);
        SystemRepository repository;
        const Certificate signer = certificateOf(holder);
        {
            PrivateKeyHandle key = repository.privateKeyOf(signer);
            const auto& ref = *static_cast<WindowsPrivateKeyRef*>(key.get());
            EXPECT_EQ(ref.ncryptKey != 0, flags == 0);
            EXPECT_EQ(ref.cryptProvider != 0, flags != 0);
        }
        const Bytes data = bytesOf("documento");
        for (const char* hash : {"SHA1", "SHA256", "SHA384", "SHA512"}) {
            SCOPED_TRACE(hash);
            std::string lower = hash;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(c));
            EXPECT_TRUE(test::opensslVerifies(holder.pem(), data,
                                              repository.sign(data, signer, hash), lower));
        }
        // Every operation released what it acquired.
        EXPECT_EQ(platform::keyHandlesInUse(), baseline);
        platform::openSystemStore(platform::kPersonalStore)
            ->remove(*platform::openSystemStore(platform::kPersonalStore)
                          ->findBySha1(platform::sha1Of(holder.derBytes())));
    }
}

TEST_F(SystemRepositoryKeysTest, DigestSigningAndDecryptionWithAKeyStorageKey) {
    importHolder(0);
    SystemRepository repository;
    const Certificate signer = certificateOf(holder);
    const Bytes data = bytesOf("documento");
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), digest.data());
    const Bytes signature = repository.signDigest(digest, signer, "SHA256");
    EXPECT_TRUE(test::opensslVerifies(holder.pem(), data, signature));
    // No hash name: the prepared DigestInfo is signed as it is, giving the same bytes; and the
    // same bytes as openssl's own raw PKCS#1 signature of that block.
    const Bytes info = test::digestInfo("sha256", digest);
    EXPECT_EQ(repository.signDigest(info, signer, ""), signature);
    EXPECT_EQ(test::opensslRawSign(holder.key.privatePem(), info), signature);

    const Bytes secret = bytesOf("segredo");
    EXPECT_EQ(repository.decrypt(test::opensslEncrypt(holder.pem(), secret), signer), secret);
    EXPECT_EQ(platform::keyHandlesInUse(), baseline);
}

TEST_F(SystemRepositoryKeysTest, FailuresArriveAsTheOperationsCategoryAndReleaseTheKey) {
    importHolder(0);
    SystemRepository repository;
    const Certificate signer = certificateOf(holder);
    const Bytes digest(32, 0x5A);
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string expected;
    };
    const Case cases[] = {
        {"hash name unknown to the provider", [&] { repository.signDigest(digest, signer, "MD5"); },
         "Error at signing: Invalid algorithm specified. (NCryptSignHash)"},
        {"digest of the wrong length",
         [&] { repository.signDigest(Bytes(7, 1), signer, "SHA256"); },
         "Error at signing: The parameter is incorrect. (NCryptSignHash)"},
        {"hash name unknown to the digest", [&] { repository.sign(digest, signer, "XYZ"); },
         "Error at signing: Invalid option for hash"},
        {"data that do not decrypt", [&] { repository.decrypt(Bytes(128, 0x33), signer); },
         "Error at decrypting: Bad Data. (NCryptDecrypt)"},
        {"data of the wrong size", [&] { repository.decrypt(Bytes(3, 0x33), signer); },
         "Error at decrypting: Bad Data. (NCryptDecrypt)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const BaseException& e) {
            EXPECT_EQ(std::string(e.what()), c.expected);
        }
        EXPECT_EQ(platform::keyHandlesInUse(), baseline);
        EXPECT_EQ(platform::lastError(), 0u);
    }
}

TEST_F(SystemRepositoryKeysTest, LegacyKeysSignDataButRefuseDigestSigningAndDecryptionAtOnce) {
    importHolder(platform::kImportLegacyProvider);
    SystemRepository repository;
    const Certificate signer = certificateOf(holder);
    EXPECT_EQ(messageOf<SignatureException>(
                  [&] { repository.signDigest(Bytes(32, 1), signer, "SHA256"); }),
              "Error at signing: the certificate's key is held by the legacy provider, which "
              "offers only data signing");
    EXPECT_EQ(messageOf<DecryptionException>([&] { repository.decrypt(Bytes(128, 1), signer); }),
              "Error at decrypting: the certificate's key is held by the legacy provider, which "
              "offers only data signing");
    // The legacy path takes the hash names exactly.
    EXPECT_EQ(
        messageOf<SignatureException>([&] { repository.sign(bytesOf("x"), signer, "sha256"); }),
        "Error at signing: Invalid algorithm specified. (CryptCreateHash)");
    EXPECT_EQ(platform::keyHandlesInUse(), baseline);
}

TEST_F(SystemRepositoryKeysTest, AHandleServesOneOperation) {
    importHolder(0);
    SystemRepository repository;
    PrivateKeyHandle key = repository.privateKeyOf(certificateOf(holder));
    const Bytes digest(32, 2);
    EXPECT_NO_THROW(repository.signDigestWithKey("SHA256", digest, key));
    EXPECT_EQ(
        messageOf<SignatureException>([&] { repository.signDigestWithKey("SHA256", digest, key); }),
        "Error at signing: the key handle was already used by an earlier operation");
    // A handle that was never used is released with its last reference.
    {
        PrivateKeyHandle unused = repository.privateKeyOf(certificateOf(holder));
        EXPECT_EQ(platform::keyHandlesInUse(), baseline + 1);
    }
    EXPECT_EQ(platform::keyHandlesInUse(), baseline);
}

TEST_F(SystemRepositoryKeysTest, CertificatesWithoutKeyOrNotStored) {
    SystemRepository repository;
    // An authority stored without any key.
    ASSERT_TRUE(platform::openSystemStore(platform::kCaStore)->addEncoded(ca.derBytes()));
    const std::string noKey = messageOf<SignatureException>(
        [&] { repository.sign(bytesOf("x"), certificateOf(ca), "SHA256"); });
    EXPECT_EQ(noKey, "Error at signing: Object was not found. (CryptAcquireCertificatePrivateKey)");
    EXPECT_THROW(repository.privateKeyOf(certificateOf(ca)), CapiException);

    const std::string missing = messageOf<SignatureException>(
        [&] { repository.sign(bytesOf("x"), certificateOf(holder), "SHA256"); });
    EXPECT_EQ(missing,
              "Error at signing: Certificate not found: Fingerprint: " + holder.sha1Text());
    EXPECT_THROW(repository.privateKeyOf(certificateOf(holder)), CertificateNotFoundException);
}

TEST_F(SystemRepositoryKeysTest, KeysThatAreNotRsaReportTheLibrarysError) {
    SystemRepository repository;
    struct Case {
        const char* file;
        const char* expected;
    };
    // v4: ECDSA, v6: Ed448, v7: an algorithm OpenSSL cannot even unpack.
    for (const Case& c : {Case{"ICP-Brasilv4.crt", "Cannot get RSA key from private key"},
                          Case{"ICP-Brasilv6.crt", "Cannot get RSA key from private key"},
                          Case{"ICP-Brasilv7.crt", "Error unpacking public key"}}) {
        SCOPED_TRACE(c.file);
        const Certificate root(test::readFile(test::fixture(std::string("icp-brasil/") + c.file)));
        ArchiveRepository archive;
        archive.generateKeyPair(L"a", 1024);
        EXPECT_EQ(messageOf<CertificateAdditionException>([&] { archive.addCertificate(root); }),
                  std::string("Error at adding certificate: ") + c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Issuance.

std::string pemOf(X509_REQ* request) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(bio, request);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

// The authority's answer to a request: a certificate for the request's key.
TestCert issue(const TestCert& authority, X509_REQ* request, const std::string& cn) {
    return CertBuilder(Name{{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", cn}})
        .key(test::Key::fromPkey(X509_REQ_get0_pubkey(request)))
        .keyUsage("digitalSignature,keyEncipherment")
        .serial(77)
        .signedBy(authority);
}

TEST_F(SystemRepositoryKeysTest, IssuedCertificateLandsInPersonalStoreWithItsKeyAndName) {
    SystemRepository repository;
    std::shared_ptr<X509_REQ> request = repository.createCertificateRequest(L"meu-alias", 1024);
    const test::RequestVerdict verdict = test::verifyRequest(pemOf(request.get()));
    EXPECT_TRUE(verdict.library);
    EXPECT_TRUE(verdict.command) << verdict.commandText;
    ASSERT_EQ(repository.impl().pendingArchives.size(), 1u);
    const TestCert issued = issue(ca, request.get(), "Jo\xC3\xA3o da Silva");

    // Another end-entity certificate is not taken by the pending request.
    TestCert stranger = CertBuilder(Name::cn("Estranho")).key(test::testKey(10)).signedBy(ca);
    EXPECT_TRUE(repository.addCertificate(certificateOf(stranger)));
    EXPECT_TRUE(inStore(platform::kAddressBookStore, stranger));
    EXPECT_EQ(repository.impl().pendingArchives.size(), 1u);

    EXPECT_TRUE(repository.addCertificate(certificateOf(issued)));
    EXPECT_TRUE(repository.impl().pendingArchives.empty());
    EXPECT_TRUE(inStore(platform::kPersonalStore, issued));
    EXPECT_FALSE(inStore(platform::kAddressBookStore, issued));

    platform::CertContextPtr context = platform::openSystemStore(platform::kPersonalStore)
                                           ->findBySha1(platform::sha1Of(issued.derBytes()));
    ASSERT_TRUE(context);
    EXPECT_EQ(platform::friendlyName(*context), std::u16string(u"Jo\u00e3o da Silva"));

    // The key is exportable and is the private half of the issued certificate.
    platform::KeyStorageHandle key = 0;
    ASSERT_TRUE(platform::acquirePrivateKey(*context, platform::kAcquireOnlyKeyStorage, &key,
                                            nullptr, nullptr, nullptr));
    Bytes pkcs8;
    EXPECT_EQ(platform::keyStorageExportKey(key, &pkcs8), 0u);
    platform::freeKeyStorageKey(key);
    const std::string keyPub =
        test::opensslCommand("pkey -inform DER -pubout", std::string(pkcs8.begin(), pkcs8.end()));
    EXPECT_EQ(keyPub, test::opensslCommand("x509 -pubkey -noout", issued.pem()));

    // A new repository object (another run of the program) signs with it.
    SystemRepository later;
    const Bytes data = bytesOf("assinado com a chave emitida");
    EXPECT_TRUE(test::opensslVerifies(issued.pem(), data,
                                      later.sign(data, certificateOf(issued), "SHA256")));
    EXPECT_EQ(platform::keyHandlesInUse(), baseline);
}

TEST_F(SystemRepositoryKeysTest, PendingRequestsAreMatchedByKeyInAnyOrder) {
    SystemRepository repository;
    std::shared_ptr<X509_REQ> first = repository.createCertificateRequest(L"a", 1024);
    std::unique_ptr<Repository> clone(repository.clone());
    std::shared_ptr<X509_REQ> second = clone->createCertificateRequest(L"b", 1024);
    ASSERT_EQ(repository.impl().pendingArchives.size(), 2u);

    const TestCert forSecond = issue(ca, second.get(), "Segundo");
    EXPECT_TRUE(repository.addCertificate(certificateOf(forSecond)));
    ASSERT_EQ(repository.impl().pendingArchives.size(), 1u);
    // The one left is the first request's.
    const TestCert forFirst = issue(ca, first.get(), "Primeiro");
    EXPECT_TRUE(repository.impl().pendingArchives.front().publicKey() ==
                certificateOf(forFirst).getPublicKey());
    EXPECT_TRUE(clone->addCertificate(certificateOf(forFirst)));
    EXPECT_TRUE(repository.impl().pendingArchives.empty());
    EXPECT_TRUE(inStore(platform::kPersonalStore, forFirst));
    EXPECT_TRUE(inStore(platform::kPersonalStore, forSecond));
}

TEST_F(SystemRepositoryKeysTest, FailedKeyGenerationLeavesNothingThatBlocksLaterAdditions) {
    SystemRepository repository;
    EXPECT_THROW(repository.createCertificateRequest(L"a", 100), KeyPairGenerationException);
    EXPECT_TRUE(repository.impl().pendingArchives.empty());
    EXPECT_TRUE(repository.addCertificate(certificateOf(holder)));
    EXPECT_TRUE(inStore(platform::kAddressBookStore, holder));
}

TEST_F(SystemRepositoryKeysTest, ImportOfAUsersFileKeepsOnePersonalCertificateWithItsKey) {
    SystemRepository repository;
    const std::string file = test::pkcs12(holder, "frase secreta", {ca}, "apelido do arquivo");
    {
        std::istringstream wrong(file);
        EXPECT_EQ(messageOf<CertificateAdditionException>(
                      [&] { importPkcs12IntoPersonalStore(repository, wrong, L"errada"); }),
                  "Error at adding certificate: The specified network password is not correct. "
                  "(PFXImportCertStore)");
    }
    EXPECT_FALSE(inStore(platform::kPersonalStore, holder));

    // Importing twice is harmless; the second import links the new key again.
    for (int round = 0; round < 2; ++round) {
        std::istringstream in(file);
        importPkcs12IntoPersonalStore(repository, in, L"frase secreta");
    }
    platform::CertContextPtr context = platform::openSystemStore(platform::kPersonalStore)
                                           ->findBySha1(platform::sha1Of(holder.derBytes()));
    ASSERT_TRUE(context);
    // The friendly name goes to the certificate with the key, even with an authority after it.
    EXPECT_EQ(platform::friendlyName(*context), std::u16string(u"Titular"));
    const Bytes data = bytesOf("importado");
    EXPECT_TRUE(test::opensslVerifies(holder.pem(), data,
                                      repository.sign(data, certificateOf(holder), "SHA256")));
}

// The repository remembers the last certificate it found; another program removing that
// certificate must not make a later import of it fail on the remembered copy.
TEST_F(SystemRepositoryKeysTest, ImportAfterAnotherProgramRemovedTheCertificateSucceeds) {
    SystemRepository repository;
    const std::string file = test::pkcs12(holder, "senha", {}, "apelido");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::istringstream in(file);
        ASSERT_NO_THROW(importPkcs12IntoPersonalStore(repository, in, L"senha"));
        EXPECT_NO_THROW(repository.findCertificate(holder.sha1Text()));
        platform::CertStorePtr my = platform::openSystemStore(platform::kPersonalStore);
        platform::CertContextPtr context = my->findBySha1(platform::sha1Of(holder.derBytes()));
        ASSERT_TRUE(context);
        EXPECT_EQ(platform::friendlyName(*context), std::u16string(u"Titular"));
        ASSERT_TRUE(my->remove(*context));  // as another program would
    }
}

}  // namespace
}  // namespace quor::signer
