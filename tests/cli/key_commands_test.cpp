// quor-certs import and sign, run as a user runs them: a PKCS#12 file goes into the personal
// store of a temporary XDG_DATA_HOME with its key, and the signature the program writes is
// checked by the openssl command with the certificate's public key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::ProcessResult;
using quor::test::TestCert;
using ::testing::HasSubstr;

const std::string& kProgram = quor::test::kQuorCerts;

const auto runWithInput = quor::test::runQuorCertsWithInput;

class KeyCommandsTest : public ::testing::Test {
  protected:
    quor::test::ScopedDataHome home;
    TestCert root = CertBuilder(Name::cn("Raiz de Teste")).ca().selfSigned();
    TestCert holder = CertBuilder(Name{{"C", "BR"}, {"CN", "Fulano de Tal"}})
                          .key(quor::test::testKey(3))
                          .keyUsage("digitalSignature,keyEncipherment")
                          .signedBy(root);

    std::string writeP12(const std::string& passPhrase) {
        const auto path = home.home() / "fulano.p12";
        quor::test::writeFile(path, quor::test::pkcs12(holder, passPhrase, {root}, "Fulano"));
        return path.string();
    }
};

TEST_F(KeyCommandsTest, ImportedKeySignsWhatOpensslVerifiesForEveryHash) {
    const ProcessResult imported =
        runWithInput("senha secreta\n", {"import", writeP12("senha secreta")});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;

    const auto data = home.home() / "contrato.txt";
    quor::test::writeFile(data, "Contrato de prestação de serviços\n");
    const auto publicKey = home.home() / "chave.pem";
    quor::test::writeFile(publicKey,
                          quor::test::opensslCommand("x509 -noout -pubkey", holder.pem()));

    struct HashCase {
        std::string option;
        std::string opensslDigest;
    };
    for (const HashCase& hash : {HashCase{"SHA1", "-sha1"}, HashCase{"SHA256", "-sha256"},
                                 HashCase{"SHA384", "-sha384"}, HashCase{"SHA512", "-sha512"}}) {
        SCOPED_TRACE(hash.option);
        const auto signature = home.home() / ("contrato." + hash.option + ".sig");
        const ProcessResult signedRun =
            quor::test::runProcess(kProgram, {"sign", holder.sha1Text(), data.string(), "--hash",
                                              hash.option, "-o", signature.string()});
        ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err;
        const ProcessResult verified = quor::test::runProcess(
            "/usr/bin/openssl", {"dgst", hash.opensslDigest, "-verify", publicKey.string(),
                                 "-signature", signature.string(), data.string()});
        EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
        EXPECT_THAT(verified.out, HasSubstr("Verified OK"));
    }
}

TEST_F(KeyCommandsTest, WrongPassPhraseFailsAndStoresNothing) {
    const ProcessResult imported = runWithInput("errada\n", {"import", writeP12("certa")});
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_TRUE(imported.out.empty()) << imported.out;
    EXPECT_FALSE(imported.err.empty());

    // Nothing reached the personal store: signing with that certificate finds no certificate.
    const auto data = home.home() / "dados.bin";
    quor::test::writeFile(data, "x");
    const ProcessResult signedRun =
        quor::test::runProcess(kProgram, {"sign", holder.sha1Text(), data.string()});
    EXPECT_EQ(signedRun.exitCode, 1);
    EXPECT_TRUE(signedRun.out.empty());
}

TEST_F(KeyCommandsTest, SigningWithACertificateWithoutKeyFails) {
    // A certificate added without a key (an authority through add) cannot sign.
    const auto rootFile = home.home() / "raiz.crt";
    quor::test::writeFile(rootFile, root.pem());
    const ProcessResult added =
        quor::test::runProcess(kProgram, {"add", "--yes", rootFile.string()});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    const auto data = home.home() / "dados.bin";
    quor::test::writeFile(data, "x");
    const ProcessResult signedRun =
        quor::test::runProcess(kProgram, {"sign", root.sha1Text(), data.string()});
    EXPECT_EQ(signedRun.exitCode, 1);
    EXPECT_TRUE(signedRun.out.empty());
    EXPECT_FALSE(signedRun.err.empty());
}

}  // namespace
