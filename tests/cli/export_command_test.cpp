// quor-certs export, checked with the programs that read its files: curl with the PEM bundle
// against a loopback HTTPS server under a generated authority, the openssl command and Java's
// keytool (and a Java client, where a JDK is installed) with the PKCS#12 trust store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_identity.h"

namespace {

namespace fs = std::filesystem;
using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::ProcessResult;
using quor::test::TestCert;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string& kProgram = quor::test::kQuorCerts;

const auto run = quor::test::runQuorCerts;

using quor::test::shellQuoted;

const auto shell = quor::test::runShell;

bool haveCommand(const std::string& name) {
    return shell("command -v " + name + " >/dev/null").exitCode == 0;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// SHA-256 of a certificate as keytool prints it ("AB:CD:..."), from the openssl command.
std::string sha256Colons(const TestCert& certificate) {
    const std::string out =
        quor::test::opensslCommand("x509 -noout -fingerprint -sha256", certificate.pem());
    std::string value = out.substr(out.find('=') + 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

// A loopback HTTPS server whose certificate is issued by a fresh test authority, the authority
// alone in a file, and a user whose stores are a temporary folder.
class ExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        identity = quor::test::makeServerIdentity(dir.path(), "servidor", {});
        server.emplace(identity);
        server->serve("/ok", {200, {{"Content-Type", "text/plain"}}, "chegou"});
        authorityFile = quor::test::writeAuthorityFile(identity, dir.path() / "autoridade.crt");
        url = "https://127.0.0.1:" + std::to_string(server->port()) + "/ok";
    }

    ProcessResult curl(const fs::path& bundle) {
        return shell("curl -sS --max-time 20 --noproxy '*' --cacert " + shellQuoted(bundle.string()) +
                     " " + shellQuoted(url));
    }

    quor::test::ScopedDataHome home;
    quor::test::TempDir dir;
    quor::test::TlsIdentity identity;
    std::optional<quor::test::HttpServer> server;
    fs::path authorityFile;
    std::string url;
    const std::string icpRoot = quor::test::fixture("icp-brasil/ICP-Brasilv10.crt").string();
};

TEST_F(ExportTest, CurlReachesTheServerWithThePemBundleAndNotWithoutItsAuthority) {
    ASSERT_EQ(run({"add", "--yes", icpRoot}).exitCode, 0);
    const fs::path onlyIcp = dir.path() / "so-icp.pem";
    ProcessResult exported = run({"export", "-o", onlyIcp.string()});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const ProcessResult refused = curl(onlyIcp);
    EXPECT_NE(refused.exitCode, 0) << "the test authority must not be trusted before it is added";

    const ProcessResult added = run({"add", "--yes", authorityFile.string()});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    const fs::path bundle = dir.path() / "cadeias.pem";
    exported = run({"export", "--format", "pem", "-o", bundle.string()});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_THAT(exported.out, HasSubstr("2 certificados gravados em " + bundle.string()));
    const std::string pem = quor::test::readFile(bundle);
    EXPECT_EQ(count(pem, "-----BEGIN CERTIFICATE-----"), 2u) << pem;
    EXPECT_THAT(pem, HasSubstr("# Autoridade Certificadora Raiz Brasileira v10\n# SHA-1: "));

    const ProcessResult reached = curl(bundle);
    EXPECT_EQ(reached.exitCode, 0) << reached.err;
    EXPECT_EQ(reached.out, "chegou");
    // OpenSSL reads the same file as its CA file.
    const ProcessResult verified =
        shell("openssl verify -CAfile " + shellQuoted(bundle.string()) + " " +
              shellQuoted(authorityFile.string()));
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
}

TEST_F(ExportTest, Pkcs12StoreHoldsEveryCertificateAsATrustedEntryThatJavaReads) {
    // Two roots with the same name still become two entries (Java aliases must differ).
    const TestCert first = CertBuilder(Name::cn("Raiz Repetida")).key(quor::test::testKey(5))
                               .ca().selfSigned();
    const TestCert second = CertBuilder(Name::cn("Raiz Repetida")).key(quor::test::testKey(6))
                                .serial(2).ca().selfSigned();
    const fs::path firstFile = dir.path() / "r1.crt";
    const fs::path secondFile = dir.path() / "r2.crt";
    quor::test::writeFile(firstFile, first.pem());
    quor::test::writeFile(secondFile, second.pem());
    const ProcessResult added = run({"add", "--yes", authorityFile.string(), icpRoot,
                                     firstFile.string(), secondFile.string()});
    ASSERT_EQ(added.exitCode, 0) << added.err;

    const fs::path store = dir.path() / "confianca.p12";
    const ProcessResult exported =
        run({"export", "--format", "pkcs12", "-o", store.string(), "--json"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const nlohmann::json summary = nlohmann::json::parse(exported.out);
    EXPECT_EQ(summary.at("format"), "pkcs12");
    EXPECT_EQ(summary.at("certificates").size(), 4u);

    // The openssl command: four certificate bags, each with the Java trust attribute, and
    // nothing else.
    const ProcessResult info = shell("openssl pkcs12 -info -noout -passin pass: -in " +
                                     shellQuoted(store.string()) + " 2>&1");
    EXPECT_EQ(info.exitCode, 0) << info.out;
    EXPECT_EQ(count(info.out, "Certificate bag"), 4u) << info.out;
    EXPECT_THAT(info.out, Not(HasSubstr("Key bag"))) << info.out;
    EXPECT_THAT(info.out, Not(HasSubstr("Shrouded Keybag"))) << info.out;
    const ProcessResult attributes = shell("openssl pkcs12 -nokeys -passin pass: -in " +
                                           shellQuoted(store.string()) + " 2>&1");
    EXPECT_EQ(count(attributes.out, "2.16.840.1.113894.746875.1.1"), 4u) << attributes.out;

    if (!haveCommand("keytool"))
        GTEST_SKIP() << "keytool (openjdk) is not installed: Java's reading is not checked";
    const ProcessResult listed = shell("keytool -list -storetype PKCS12 -storepass '' -keystore " +
                                       shellQuoted(store.string()) + " 2>&1");
    EXPECT_EQ(listed.exitCode, 0) << listed.out;
    EXPECT_THAT(listed.out, HasSubstr("Your keystore contains 4 entries")) << listed.out;
    EXPECT_EQ(count(listed.out, "trustedCertEntry"), 4u) << listed.out;
    EXPECT_EQ(count(listed.out, "PrivateKeyEntry"), 0u) << listed.out;
    for (const TestCert* root : {&first, &second})
        EXPECT_THAT(listed.out, HasSubstr(sha256Colons(*root))) << listed.out;

    if (!haveCommand("javac"))
        GTEST_SKIP() << "no JDK (javac): the Java client check is left out";
    const fs::path client = dir.path() / "Cliente.java";
    quor::test::writeFile(client, R"(
import java.io.InputStream;
import java.net.URL;
import javax.net.ssl.HttpsURLConnection;
public class Cliente {
    public static void main(String[] args) throws Exception {
        HttpsURLConnection connection = (HttpsURLConnection) new URL(args[0]).openConnection();
        try (InputStream in = connection.getInputStream()) {
            System.out.print(new String(in.readAllBytes(), "UTF-8"));
        }
    }
}
)");
    const std::string java = "java -Djava.net.useSystemProxies=false -Djavax.net.ssl.trustStore=";
    const ProcessResult trusted =
        shell(java + shellQuoted(store.string()) + " -Djavax.net.ssl.trustStoreType=PKCS12 " +
              shellQuoted(client.string()) + " " + shellQuoted(url) + " 2>&1");
    EXPECT_EQ(trusted.exitCode, 0) << trusted.out;
    EXPECT_EQ(trusted.out, "chegou");
    // Java's own trust store does not know the test authority: the export is what made it work.
    const ProcessResult untrusted =
        shell("java " + shellQuoted(client.string()) + " " + shellQuoted(url) + " 2>&1");
    EXPECT_NE(untrusted.exitCode, 0) << untrusted.out;
    EXPECT_THAT(untrusted.out, HasSubstr("PKIX path building failed")) << untrusted.out;
}

TEST_F(ExportTest, NeverWritesAPrivateKeyEvenFromThePersonalStore) {
    const TestCert root = CertBuilder(Name::cn("Raiz da Pessoa")).ca().selfSigned();
    const TestCert holder = CertBuilder(Name{{"C", "BR"}, {"CN", "Fulano de Tal"}})
                                .key(quor::test::testKey(3))
                                .keyUsage("digitalSignature")
                                .signedBy(root);
    const fs::path p12 = dir.path() / "fulano.p12";
    quor::test::writeFile(p12, quor::test::pkcs12(holder, "senha", {root}, "Fulano"));
    const ProcessResult imported =
        shell("printf 'senha\\n' | " + shellQuoted(kProgram) + " import " + shellQuoted(p12.string()));
    ASSERT_EQ(imported.exitCode, 0) << imported.err;

    const fs::path pem = dir.path() / "my.pem";
    const fs::path store = dir.path() / "my.p12";
    ASSERT_EQ(run({"export", "MY", "-o", pem.string()}).exitCode, 0);
    ASSERT_EQ(run({"export", "MY", "--format", "pkcs12", "-o", store.string()}).exitCode, 0);
    const ProcessResult listed = run({"list", "--json", "MY"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const std::size_t inMy =
        nlohmann::json::parse(listed.out).at("stores").at(0).at("certificates").size();
    ASSERT_GE(inMy, 1u);
    const std::string text = quor::test::readFile(pem);
    EXPECT_EQ(count(text, "-----BEGIN CERTIFICATE-----"), inMy) << text;
    EXPECT_THAT(text, HasSubstr("# Fulano de Tal\n"));
    EXPECT_THAT(text, Not(HasSubstr("PRIVATE KEY")));
    const ProcessResult info = shell("openssl pkcs12 -info -noout -passin pass: -in " +
                                     shellQuoted(store.string()) + " 2>&1");
    EXPECT_EQ(count(info.out, "Certificate bag"), inMy) << info.out;
    EXPECT_THAT(info.out, Not(HasSubstr("Key bag")));
    EXPECT_THAT(info.out, Not(HasSubstr("Shrouded Keybag")));
}

TEST_F(ExportTest, FailuresSayWhyAndLeaveAnExistingFileAsItWas) {
    const fs::path existing = dir.path() / "existente.pem";
    quor::test::writeFile(existing, "conteúdo anterior\n");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases{
        // Nothing stored yet: an empty trust store would silently trust nothing.
        {{"export", "-o", existing.string()}, 1, "nenhum certificado em ROOT, CA"},
        {{"export", "--format", "jks", "-o", existing.string()}, 2, ""},
        {{"export", "CAX", "-o", existing.string()}, 2, ""},
        {{"export"}, 2, ""},
    };
    for (const Case& c : cases) {
        const ProcessResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args.back() << ": " << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(quor::test::readFile(existing), "conteúdo anterior\n");
    }

    ASSERT_EQ(run({"add", "--yes", icpRoot}).exitCode, 0);
    const std::vector<Case> unwritable{
        {{"export", "-o", (dir.path() / "nao-existe" / "x.pem").string()}, 1,
         "não foi possível gravar"},
        {{"export", "-o", dir.path().string()}, 1, "é uma pasta"},
    };
    for (const Case& c : unwritable) {
        const ProcessResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args.back() << ": " << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.message));
    }
    // No temporary file is left beside the names that could not be written.
    for (const auto& item : fs::directory_iterator(dir.path()))
        EXPECT_EQ(item.path().string().find(".quor-tmp-"), std::string::npos) << item.path();

    // A successful export replaces the file whole.
    const ProcessResult replaced = run({"export", "-o", existing.string()});
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    const std::string pem = quor::test::readFile(existing);
    EXPECT_EQ(pem.find("conteúdo anterior"), std::string::npos);
    EXPECT_EQ(count(pem, "-----BEGIN CERTIFICATE-----"), 1u);
}

}  // namespace
