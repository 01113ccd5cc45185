// quor-certs show and chain, run as a user runs them: the real program on real and generated
// files, with the openssl command as the oracle for names, serials, fingerprints and dates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quor::test::CertBuilder;
using quor::test::Name;
using quor::test::ProcessResult;
using quor::test::StringType;
using quor::test::TestCert;
using ::testing::HasSubstr;
using ::testing::Not;

const auto run = quor::test::runQuorCerts;

fs::path icpFixture(const std::string& file) {
    return quor::test::fixture("icp-brasil/" + file);
}

// Runs a command that must succeed with JSON output, and parses it.
json runJson(const std::vector<std::string>& args) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return json::parse(result.out);
}

// "AB:CD:EF" or "0ABC" (openssl's forms) -> "ab cd ef" / "0a bc".
std::string bytePairs(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ':'), hex.end());
    if (hex.size() % 2 == 1)
        hex.insert(hex.begin(), '0');
    std::string out;
    for (std::size_t k = 0; k < hex.size(); k += 2) {
        if (!out.empty())
            out += ' ';
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[k])));
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[k + 1])));
    }
    return out;
}

// The value after "key=" in openssl's output, up to the end of that line.
std::string field(const std::string& output, const std::string& key) {
    const auto at = output.find(key + "=");
    if (at == std::string::npos)
        return "";
    const auto start = at + key.size() + 1;
    return output.substr(start, output.find('\n', start) - start);
}

// What the openssl command says about a PEM certificate, in quor-certs' forms.
struct OpensslView {
    std::string subject, issuer, serial, fingerprint, notBefore, notAfter, basicConstraints;
};

OpensslView opensslView(const std::string& pem) {
    const std::string out = quor::test::opensslCommand(
        "x509 -noout -nameopt compat -subject -issuer -serial -fingerprint -sha1 -startdate "
        "-enddate -dateopt iso_8601 -ext basicConstraints",
        pem);
    auto iso = [](std::string date) {  // "2029-02-20 18:43:42Z" -> "2029-02-20T18:43:42Z"
        std::replace(date.begin(), date.end(), ' ', 'T');
        return date;
    };
    OpensslView view;
    view.subject = field(out, "subject");
    view.issuer = field(out, "issuer");
    view.serial = bytePairs(field(out, "serial"));
    view.fingerprint = bytePairs(field(out, "sha1 Fingerprint"));
    view.notBefore = iso(field(out, "notBefore"));
    view.notAfter = iso(field(out, "notAfter"));
    const auto constraints = out.find("Basic Constraints");
    if (constraints != std::string::npos)
        view.basicConstraints = out.substr(constraints);
    return view;
}

// The role a certificate should have, from openssl's reading of its names and constraints.
std::string expectedKind(const OpensslView& view) {
    if (view.subject == view.issuer && view.basicConstraints.find("CA:TRUE") != std::string::npos) {
        return "RootCa";
    }
    if (view.basicConstraints.find("CA:TRUE") == std::string::npos)
        return "EndEntity";
    return view.basicConstraints.find("pathlen:0") != std::string::npos ? "IssuingCa"
                                                                        : "IntermediateCa";
}

void expectMatchesOpenssl(const json& certificate, const std::string& pem) {
    const OpensslView view = opensslView(pem);
    EXPECT_EQ(certificate.at("subject"), view.subject);
    EXPECT_EQ(certificate.at("issuer"), view.issuer);
    EXPECT_EQ(certificate.at("serialNumber"), view.serial);
    EXPECT_EQ(certificate.at("fingerprint"), view.fingerprint);
    EXPECT_EQ(certificate.at("notBefore"), view.notBefore);
    EXPECT_EQ(certificate.at("notAfter"), view.notAfter);
    EXPECT_EQ(certificate.at("kind"), expectedKind(view));
}

const std::vector<std::string> kIcpFixtures{
    "AC-PRODESP-RFB-v1.crt",
    "AC-SERPRO-SSLv1-v10.crt",
    "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt",
    "ICP-Brasilv10.crt",
    "ICP-Brasilv12.crt",
    "ICP-Brasilv4.crt",
    "ICP-Brasilv5.crt",
    "ICP-Brasilv6.crt",
    "ICP-Brasilv7.crt",
};

TEST(QuorCertsShow, RealIcpBrasilCertificatesAgreeWithOpenssl) {
    for (const std::string& file : kIcpFixtures) {
        SCOPED_TRACE(file);
        const json shown = runJson({"show", "--json", icpFixture(file).string()});
        expectMatchesOpenssl(shown, quor::test::readFile(icpFixture(file)));
        EXPECT_EQ(shown.at("holder"), nullptr);
        EXPECT_EQ(shown.at("holderType"), "NoHolder");
        EXPECT_THAT(shown.at("keyUsages"), ::testing::Contains("Key Cert Sign"));
        EXPECT_FALSE(shown.at("policies").empty());
        EXPECT_EQ(shown.at("isCertificateAuthority"), true);
        EXPECT_EQ(shown.at("isRoot"), shown.at("kind") == "RootCa");
    }
}

TEST(QuorCertsShow, TextForAPersonHasPortugueseLabelsAndTheFacts) {
    const std::string pem = quor::test::readFile(icpFixture("AC-PRODESP-RFB-v1.crt"));
    const OpensslView view = opensslView(pem);
    const ProcessResult result = run({"show", icpFixture("AC-PRODESP-RFB-v1.crt").string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    for (const std::string& expected :
         {std::string("Titular:"), std::string("AC PRODESP RFB v1"), std::string("Emissor:"),
          std::string("AC Secretaria da Receita Federal do Brasil v4"), view.subject, view.issuer,
          std::string("Número de série:"), view.fingerprint, std::string("Válido até:"),
          std::string("20/02/2029 18:43:42 UTC"),
          std::string("autoridade certificadora intermediária"), std::string("Key Cert Sign"),
          std::string("Políticas:")}) {
        EXPECT_THAT(result.out, HasSubstr(expected));
    }
}

// Generated certificates exercise what the real roots do not carry: holders, e-mail, usages,
// policies, odd name encodings.
class QuorCertsGenerated : public ::testing::Test {
  protected:
    fs::path write(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_.path() / name;
        quor::test::writeFile(path, bytes);
        return path;
    }
    quor::test::TempDir dir_;
};

TEST_F(QuorCertsGenerated, EveryCertificateFileFormatGivesTheSameCertificate) {
    const TestCert root = CertBuilder(Name::cn("Raiz Teste")).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name::cn("Leitura")).serial(0x1234).signedBy(root);
    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"pem.crt", leaf.pem()},
             {"der.crt", leaf.der()},
             {"base64.crt", leaf.base64()},
             {"text-before.crt", "Certificado:\n" + leaf.pem()}}) {
        SCOPED_TRACE(name);
        const json shown = runJson({"show", "--json", write(name, bytes).string()});
        expectMatchesOpenssl(shown, leaf.pem());
        EXPECT_EQ(shown.at("serialNumber"), "12 34");
        EXPECT_EQ(shown.at("kind"), "EndEntity");
    }
}

TEST_F(QuorCertsGenerated, HolderUsagesPoliciesAndEmail) {
    const TestCert root = CertBuilder(Name::cn("Raiz Teste")).ca().selfSigned();
    const std::string personData =
        "01021980"
        "12345678901"
        "10987654321"
        "MG1234567890123"
        "SSPMG ";
    const TestCert person = CertBuilder(Name{{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", "Maria"}})
                                .keyUsage("digitalSignature,nonRepudiation")
                                .extendedKeyUsage("clientAuth")
                                .policies({"2.16.76.1.2.1.1", "1.2.3.4.5"})
                                .otherName("2.16.76.1.3.1", personData)
                                .email("maria@example.com.br")
                                .signedBy(root);
    const TestCert company = CertBuilder(Name::cn("Empresa Ltda"))
                                 .otherName("2.16.76.1.3.4", personData)
                                 .otherName("2.16.76.1.3.2", "JOAO DA SILVA")
                                 .otherName("2.16.76.1.3.3", "12345678000199")
                                 .otherName("2.16.76.1.3.7", "123456789012")
                                 .signedBy(root);
    const TestCert issuing =
        CertBuilder(Name{{"O", "Org"}, {"OU", "Unidade emissora"}}).ca(0).signedBy(root);

    const json p = runJson({"show", "--json", write("p.crt", person.pem()).string()});
    EXPECT_EQ(p.at("subjectName"), "Maria");
    EXPECT_EQ(p.at("issuerName"), "Raiz Teste");
    EXPECT_EQ(p.at("email"), "maria@example.com.br");
    EXPECT_EQ(p.at("keyUsages"),
              json({"Digital Signature", "Non-Repudiation", "TLS Web Client Authentication"}));
    ASSERT_EQ(p.at("policies").size(), 2u);
    EXPECT_EQ(p.at("policies")[1], "(1.2.3.4.5)");
    EXPECT_NE(p.at("policies")[0], "(2.16.76.1.2.1.1)");  // described by the policy table
    EXPECT_EQ(p.at("holderType"), "Person");
    EXPECT_EQ(p.at("holder").at("birthDate"), "01021980");
    EXPECT_EQ(p.at("holder").at("cpf"), "12345678901");
    EXPECT_EQ(p.at("holder").at("nis"), "10987654321");
    EXPECT_EQ(p.at("holder").at("rg"), "MG1234567890123");
    EXPECT_EQ(p.at("holder").at("rgIssuer"), "SSPMG ");
    EXPECT_EQ(p.at("kind"), "EndEntity");

    const json c = runJson({"show", "--json", write("c.crt", company.pem()).string()});
    EXPECT_EQ(c.at("holderType"), "Company");
    EXPECT_EQ(c.at("holder").at("responsibleCpf"), "12345678901");
    EXPECT_EQ(c.at("holder").at("responsibleName"), "JOAO DA SILVA");
    EXPECT_EQ(c.at("holder").at("cnpj"), "12345678000199");
    EXPECT_EQ(c.at("holder").at("cei"), "123456789012");

    const json i = runJson({"show", "--json", write("i.crt", issuing.pem()).string()});
    EXPECT_EQ(i.at("subjectName"), "Unidade emissora");
    EXPECT_EQ(i.at("kind"), "IssuingCa");
    EXPECT_EQ(i.at("allowsSubordinateAuthorities"), false);

    const ProcessResult text = run({"show", write("p2.crt", person.pem()).string()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* expected :
         {"pessoa física", "CPF:", "12345678901", "maria@example.com.br",
          "Digital Signature, Non-Repudiation", "(1.2.3.4.5)", "entidade final"}) {
        EXPECT_THAT(text.out, HasSubstr(expected));
    }
}

// Names come from whoever made the certificate: control characters must not reach a terminal
// raw, Latin-1 bytes must come out as UTF-8, and the JSON must stay parseable.
TEST_F(QuorCertsGenerated, HostileAndLegacyNameBytesAreShownSafely) {
    const TestCert root = CertBuilder(Name::cn("Raiz Teste")).ca().selfSigned();
    const TestCert escape = CertBuilder(Name::cn("Evil\x1b]2;pwned\x07Name")).signedBy(root);
    const TestCert latin1 =
        CertBuilder(Name{{"CN", "Jos\xe9 Concei\xe7\xe3o", StringType::Teletex}}).signedBy(root);

    const fs::path escapeFile = write("escape.crt", escape.pem());
    const ProcessResult text = run({"show", escapeFile.string()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.out.find('\x07'), std::string::npos);
    EXPECT_THAT(text.out, HasSubstr("Evil\\x1b]2;pwned\\x07Name"));
    const json escaped = runJson({"show", "--json", escapeFile.string()});
    EXPECT_EQ(escaped.at("subjectName"), "Evil\x1b]2;pwned\x07Name");

    const fs::path latin1File = write("latin1.crt", latin1.pem());
    const json legacy = runJson({"show", "--json", latin1File.string()});
    EXPECT_EQ(legacy.at("subjectName"), "Jos\u00e9 Concei\u00e7\u00e3o");
    const ProcessResult legacyText = run({"show", latin1File.string()});
    EXPECT_THAT(legacyText.out, HasSubstr("Jos\u00e9 Concei\u00e7\u00e3o"));
}

TEST_F(QuorCertsGenerated, UnreadableValidityTimeIsNullNotAnError) {
    const TestCert root = CertBuilder(Name::cn("Raiz Teste")).ca().selfSigned();
    const TestCert odd =
        CertBuilder(Name::cn("Tempo estranho")).notAfter("20301301000000Z").signedBy(root);
    const fs::path file = write("odd.crt", odd.pem());
    const json shown = runJson({"show", "--json", file.string()});
    EXPECT_EQ(shown.at("notAfter"), nullptr);
    EXPECT_NE(shown.at("notBefore"), nullptr);
    const ProcessResult text = run({"show", file.string()});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_THAT(text.out, HasSubstr("(data ilegível)"));
}

// chain: the bundle is ordered lowest first, with its status.
TEST_F(QuorCertsGenerated, ChainOfRealCertificatesIsOrderedAndAgreesWithOpenssl) {
    const std::vector<std::string> order{"ICP-Brasilv5.crt", "AC-PRODESP-RFB-v1.crt",
                                         "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt"};
    // The bundle is made by the openssl command itself, in the order above.
    std::string args = "crl2pkcs7 -nocrl -outform DER";
    for (const auto& file : order)
        args += " -certfile " + icpFixture(file).string();
    const fs::path bundle = write("prodesp.p7b", quor::test::opensslCommand(args));

    const json chain = runJson({"chain", "--json", bundle.string()});
    EXPECT_EQ(chain.at("status"), "Valid");
    EXPECT_EQ(chain.at("statusCode"), 0);
    const std::vector<std::string> expected{order[1], order[2], order[0]};
    ASSERT_EQ(chain.at("certificates").size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE(expected[k]);
        expectMatchesOpenssl(chain.at("certificates")[k],
                             quor::test::readFile(icpFixture(expected[k])));
    }

    const ProcessResult text = run({"chain", bundle.string()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("Situação da cadeia: válida"));
    const auto first = text.out.find("AC PRODESP RFB v1");
    const auto second = text.out.find("Titular:                            AC Secretaria");
    const auto third = text.out.find("Autoridade Certificadora Raiz Brasileira v5\n");
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_NE(third, std::string::npos);
}

TEST_F(QuorCertsGenerated, ChainStatusIsReportedByNameAndNumber) {
    const TestCert root =
        CertBuilder(Name::cn("Raiz")).key(quor::test::testKey(1)).ca().selfSigned();
    const TestCert inter =
        CertBuilder(Name::cn("Intermediaria")).key(quor::test::testKey(2)).ca().signedBy(root);
    const TestCert leaf = CertBuilder(Name::cn("Folha")).signedBy(inter);
    const TestCert expiredLeaf = CertBuilder(Name::cn("Vencida")).expired().signedBy(inter);
    struct Case {
        const char* name;
        std::vector<TestCert> bundle;
        const char* status;
        int code;
        std::vector<TestCert> order;
    };
    for (const Case& c : std::vector<Case>{
             {"complete", {root, leaf, inter}, "Valid", 0, {leaf, inter, root}},
             {"missing intermediate", {root, leaf}, "IncompleteChain", 1, {leaf, root}},
             {"expired leaf", {inter, root, expiredLeaf}, "Expired", 2, {expiredLeaf, inter, root}},
         }) {
        SCOPED_TRACE(c.name);
        const fs::path file = write(std::string(c.name) + ".p7b", quor::test::pkcs7Der(c.bundle));
        const json chain = runJson({"chain", "--json", file.string()});
        EXPECT_EQ(chain.at("status"), c.status);
        EXPECT_EQ(chain.at("statusCode"), c.code);
        ASSERT_EQ(chain.at("certificates").size(), c.order.size());
        for (std::size_t k = 0; k < c.order.size(); ++k) {
            EXPECT_EQ(chain.at("certificates")[k].at("fingerprint"), c.order[k].sha1Text());
        }
    }
}

// Failures: one Portuguese line on standard error (library texts quoted in it stay English),
// nothing on standard output, status 1 for input that cannot be read and 2 for a wrong command
// line.
TEST_F(QuorCertsGenerated, FailuresReportOneLineAndTheirExitStatus) {
    const TestCert root = CertBuilder(Name::cn("Raiz")).ca().selfSigned();
    const std::string bundle = quor::test::pkcs7Der({root});
    const fs::path missing = dir_.path() / "nao-existe.crt";
    const fs::path garbage = write("lixo.bin", "\x01\x02\x03 not a certificate \xff");
    const fs::path empty = write("vazio.crt", "");
    const fs::path html = write("erro.p7b", "<html><body>404 Not Found</body></html>");
    const fs::path pem = write("pem.p7b", quor::test::pkcs7Pem({root}));
    const fs::path noCerts = write("sem.p7b", quor::test::pkcs7Der(std::vector<TestCert>{}));
    const fs::path truncated = write("curto.p7b", bundle.substr(0, bundle.size() - 1));
    const fs::path certificate = write("raiz.crt", root.pem());

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string inMessage;
    };
    const std::vector<Case> cases{
        {{"show", missing.string()},
         1,
         "quor-certs: não foi possível abrir '" + missing.string() + "': arquivo inexistente"},
        {{"chain", missing.string()}, 1, "não foi possível abrir '" + missing.string() + "'"},
        {{"show", dir_.path().string()},
         1,
         "quor-certs: não foi possível ler '" + dir_.path().string() + "': é uma pasta"},
        {{"show", garbage.string()},
         1,
         "quor-certs: '" + garbage.string() + "' não é um certificado em PEM, DER ou Base64\n"},
        {{"show", empty.string()}, 1, "não é um certificado em PEM, DER ou Base64"},
        {{"show", "--json", html.string()}, 1, "não é um certificado em PEM, DER ou Base64"},
        {{"chain", html.string()}, 1, "not a DER PKCS#7"},
        {{"chain", "--json", pem.string()},
         1,
         " (PEM não é lido; converta com 'openssl pkcs7 -outform DER')\n"},
        {{"chain", noCerts.string()}, 1, "holds no certificates"},
        {{"chain", truncated.string()}, 1, "not a DER PKCS#7"},
        {{"chain", certificate.string()},
         1,
         " (contém um único certificado; use 'quor-certs show')\n"},
        {{"show", write("cadeia.p7b", bundle).string()},
         1,
         "não é um certificado em PEM, DER ou Base64 (é um pacote PKCS#7; use 'quor-certs "
         "chain')\n"},
        {{"show", pem.string()}, 1, "(é um pacote PKCS#7; use 'quor-certs chain')"},
        {{"chain", empty.string()}, 1, "not a DER PKCS#7"},
        // CLI11's own errors, worded again in Portuguese.
        {{}, 2, "quor-certs: falta o comando (veja 'quor-certs --help')\n"},
        {{"bogus"}, 2, "quor-certs: comando desconhecido: bogus (veja 'quor-certs --help')\n"},
        {{"show"},
         2,
         "quor-certs: show: falta o argumento ARQUIVO (veja 'quor-certs show --help')\n"},
        {{"show", "--colour", certificate.string()},
         2,
         "quor-certs: show: argumento inesperado: --colour (veja 'quor-certs show --help')\n"},
        {{"show", certificate.string(), certificate.string()},
         2,
         "quor-certs: show: argumento inesperado: " + certificate.string() + " (veja"},
        {{"chain", "a", "b", "c"}, 2, "quor-certs: chain: argumentos inesperados: b c (veja"},
        {{"show", "--json=talvez", certificate.string()},
         2,
         "quor-certs: show: valor inválido para --json: talvez (veja 'quor-certs show --help')\n"},
        {{"install", "--base-url"},
         2,
         "quor-certs: install: --base-url: falta o valor (veja 'quor-certs install --help')\n"},
        {{"install", "--base-url", "http://127.0.0.1:9/sem-barra"},
         2,
         "quor-certs: install: --base-url: a URL base deve terminar com / (veja"},
        {{"list", "FOO"},
         2,
         "quor-certs: list: REPOSITORIO: 'FOO' não é um dos valores aceitos: MY, AddressBook, "
         "CA ou ROOT (veja 'quor-certs list --help')\n"},
        {{"sign", "--hash", "MD5", "ab", certificate.string()},
         2,
         "--hash: 'MD5' não é um dos valores aceitos: SHA1, SHA256, SHA384 ou SHA512"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& arg : c.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        const ProcessResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr(c.inMessage));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.rfind("quor-certs: ", 0), 0u) << result.err;
    }
}

TEST(QuorCertsHelp, VersionAnswersWithTheProgramVersion) {
    const ProcessResult version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "quor-certs 1.2.0.2\n");
    EXPECT_EQ(version.err, "");
}

TEST(QuorCertsHelp, UsageHasExamplesAndEachCommandHasHelp) {
    const ProcessResult top = run({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_EQ(top.err, "");
    EXPECT_THAT(top.out, HasSubstr("Exemplos:"));
    EXPECT_THAT(top.out, HasSubstr("quor-certs show"));
    EXPECT_THAT(top.out, HasSubstr("quor-certs chain"));
    for (const char* command : {"show", "chain"}) {
        SCOPED_TRACE(command);
        const ProcessResult help = run({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_THAT(help.out, HasSubstr("--json"));
        EXPECT_THAT(help.out, HasSubstr(std::string("quor-certs ") + command));
        // CLI11's headings and its help flag in Portuguese.
        EXPECT_THAT(help.out, HasSubstr("Uso: quor-certs " + std::string(command) + " [OPÇÕES]"));
        EXPECT_THAT(help.out, HasSubstr("\nArgumentos:\n  ARQUIVO TEXTO OBRIGATÓRIO"));
        EXPECT_THAT(help.out, HasSubstr("\nOpções:\n  -h,--help"));
        EXPECT_THAT(help.out, HasSubstr("mostra esta ajuda"));
        for (const char* english :
             {"Usage", "Options", "Positionals", "REQUIRED", "TEXT ", "Print this help"}) {
            EXPECT_THAT(help.out, Not(HasSubstr(english)));
        }
    }
}

}  // namespace
