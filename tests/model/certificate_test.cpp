#include "signer/model/certificate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <boost/archive/iterators/dataflow_exception.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/openssl_ptr.h"
#include "signer/repository/errors.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::signer {
namespace {

using test::CertBuilder;
using test::Key;
using test::Name;
using test::StringType;
using test::TestCert;

// ---- what the openssl command says about a certificate ------------------------------------

// "SHA1 Fingerprint=AB:CD:..." -> "ab cd ...".
std::string oracleFingerprint(const std::string& pem) {
    std::string out = test::opensslCommand("x509 -noout -fingerprint -sha1", pem);
    out = out.substr(out.find('=') + 1);
    std::string text;
    for (char c : out) {
        if (c == '\n')
            break;
        text.push_back(c == ':' ? ' '
                                : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return text;
}

// "serial=0A1B" -> "0a 1b".
std::string oracleSerial(const std::string& pem) {
    std::string out = test::opensslCommand("x509 -noout -serial", pem);
    out = out.substr(out.find('=') + 1);
    out.erase(out.find('\n'));
    std::string text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            text.push_back(' ');
        text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(out[i]))));
    }
    return text;
}

// Entries of the subject or issuer as (numeric OID, UTF-8 value) in encoded order.
DistinguishedName oracleName(const std::string& pem, const std::string& which) {
    const std::string out = test::opensslCommand(
        "x509 -noout -" + which + " -nameopt oid,sep_multiline,utf8,-esc_msb", pem);
    DistinguishedName name;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);  // "subject="
    while (std::getline(lines, line)) {
        const std::size_t start = line.find_first_not_of(' ');
        const std::size_t equals = line.find('=', start);
        name.append(line.substr(start, equals - start), line.substr(equals + 1));
    }
    return name;
}

// "subject=/C=BR/O=..." -> "/C=BR/O=...".
std::string oracleNameText(const std::string& pem, const std::string& which) {
    std::string out = test::opensslCommand("x509 -noout -" + which + " -nameopt compat", pem);
    out = out.substr(out.find('=') + 1);
    out.erase(out.find('\n'));
    return out;
}

std::vector<unsigned char> oracleDer(const std::string& pem) {
    const std::string der = test::opensslCommand("x509 -outform DER", pem);
    return {der.begin(), der.end()};
}

// "Modulus=ABCD..." -> bytes.
std::vector<unsigned char> oracleModulus(const std::string& pem) {
    std::string out = test::opensslCommand("x509 -noout -modulus", pem);
    out = out.substr(out.find('=') + 1);
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < out.size() && out[i] != '\n'; i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(out.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

const std::string kReplacement = "\xEF\xBF\xBD";

std::string invalidBase64Message(const std::string& text) {
    return "Base64 passado [" + text + "] n" + kReplacement + "o " + kReplacement + " v" +
           kReplacement + "lido";
}

// ---- real ICP-Brasil certificates ----------------------------------------------------------

struct FixtureCase {
    const char* file;
    bool root;
    const char* keyError;  // nullptr: an RSA key
};

void PrintTo(const FixtureCase& c, std::ostream* out) {
    *out << c.file;
}

class FixtureTest : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureTest, ReadsIdentifiesAndClassifiesAsOpenSslDoes) {
    const std::string pem =
        test::readFile(test::fixture(std::string("icp-brasil/") + GetParam().file));
    const Certificate certificate(pem);

    EXPECT_EQ(certificate.getFingerprint(), oracleFingerprint(pem));
    EXPECT_EQ(certificate.getFingerprint().size(), 59u);
    EXPECT_EQ(certificate.getSerialNumber(), oracleSerial(pem));
    EXPECT_EQ(certificate.getSubject().entries(), oracleName(pem, "subject").entries());
    EXPECT_EQ(certificate.getIssuer().entries(), oracleName(pem, "issuer").entries());
    EXPECT_EQ(toString(certificate.getSubject()), oracleNameText(pem, "subject"));
    EXPECT_EQ(toString(certificate.getIssuer()), oracleNameText(pem, "issuer"));
    EXPECT_EQ(certificate.getEncoded(), oracleDer(pem));

    EXPECT_EQ(certificate.isRoot(), GetParam().root);
    EXPECT_EQ(certificate.isSelfSigned(), GetParam().root);
    EXPECT_TRUE(certificate.isCertificateAuthority());
    EXPECT_FALSE(certificate.isSelfIssuedNonCa());

    if (GetParam().keyError == nullptr) {
        const RsaPublicKey key = certificate.getPublicKey();
        EXPECT_EQ(key.modulus, oracleModulus(pem));
        EXPECT_EQ(key.exponent, (std::vector<unsigned char>{0x01, 0x00, 0x01}));
        if (GetParam().root) {
            EXPECT_TRUE(certificate.verifySignature(key));
        }
    } else {
        try {
            certificate.getPublicKey();
            ADD_FAILURE() << "no exception";
        } catch (const BaseException& e) {
            EXPECT_STREQ(e.what(), GetParam().keyError);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    IcpBrasil, FixtureTest,
    ::testing::Values(FixtureCase{"ICP-Brasilv5.crt", true, nullptr},
                      FixtureCase{"ICP-Brasilv10.crt", true, nullptr},
                      FixtureCase{"ICP-Brasilv12.crt", true, nullptr},
                      FixtureCase{"ICP-Brasilv4.crt", true, "Cannot get RSA key from private key"},
                      FixtureCase{"ICP-Brasilv6.crt", true, "Cannot get RSA key from private key"},
                      FixtureCase{"ICP-Brasilv7.crt", true, "Error unpacking public key"},
                      FixtureCase{"AC-PRODESP-RFB-v1.crt", false, nullptr},
                      FixtureCase{"AC-SERPRO-SSLv1-v10.crt", false, nullptr},
                      FixtureCase{"AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt", false,
                                  nullptr}),
    [](const ::testing::TestParamInfo<FixtureCase>& param) {
        std::string name = param.param.file;
        name.erase(name.find('.'));
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

TEST(CertificateTest, IntermediateVerifiesUnderItsIssuersKey) {
    const Certificate root(test::readFile(test::fixture("icp-brasil/ICP-Brasilv10.crt")));
    const Certificate serpro(test::readFile(test::fixture("icp-brasil/AC-SERPRO-SSLv1-v10.crt")));
    const Certificate otherRoot(test::readFile(test::fixture("icp-brasil/ICP-Brasilv5.crt")));
    EXPECT_TRUE(serpro.getIssuer() == root.getSubject());
    EXPECT_TRUE(serpro.verifySignature(root.getPublicKey()));
    EXPECT_FALSE(serpro.verifySignature(otherRoot.getPublicKey()));
    EXPECT_FALSE(serpro.verifySignature(serpro.getPublicKey()));
}

// ---- the three text readings and their failures ---------------------------------------------

TEST(CertificateTest, TextIsReadAsPemDerOrBase64) {
    const TestCert made = CertBuilder(Name::cn("Readings")).serial(77).selfSigned();
    const std::string expected = made.sha1Text();
    const std::string base64 = made.base64();
    std::string oneLine = base64;
    oneLine.erase(std::remove(oneLine.begin(), oneLine.end(), '\n'), oneLine.end());
    std::string crlf;
    for (char c : base64)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

    const std::vector<std::pair<const char*, std::string>> readings = {
        {"PEM", made.pem()},
        {"PEM after other text", "Certificado da AC\nemitido em 2024\n" + made.pem()},
        {"PEM followed by a second block",
         made.pem() + CertBuilder(Name::cn("x")).selfSigned().pem()},
        {"DER in a string", made.der()},
        {"DER with trailing bytes", made.der() + std::string("\0\x01garbage", 9)},
        {"Base64 with line breaks", base64},
        {"Base64 on one line", oneLine},
        {"Base64 with CRLF and blanks", "  " + crlf + "\t\n"},
    };
    for (const auto& [what, text] : readings) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Certificate(text).getFingerprint(), expected);
    }
    EXPECT_NE(made.der().find('\0'), std::string::npos) << "DER case must hold zero bytes";
}

TEST(CertificateTest, UnreadableTextQuotesTheWholeInput) {
    const TestCert made = CertBuilder(Name::cn("Broken")).selfSigned();
    std::string truncatedPem = made.pem();
    truncatedPem.erase(truncatedPem.size() / 2);
    const std::vector<std::pair<const char*, std::string>> texts = {
        {"empty", ""},
        {"Base64 of a non-certificate", "SGVsbG8sIG11bmRvIQ=="},
        {"Base64 of half a certificate", made.base64().substr(0, 200)},
        {"whitespace", " \n\t "},
    };
    for (const auto& [what, text] : texts) {
        SCOPED_TRACE(what);
        try {
            Certificate certificate(text);
            ADD_FAILURE() << "read as " << certificate.getFingerprint();
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), invalidBase64Message(text));
        }
    }
}

TEST(CertificateTest, CharacterOutsideBase64LetsTheDecoderErrorThrough) {
    for (const std::string text : {"MIIB!AAA", "no:colons", "QUJD\x01",
                                   "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"}) {
        SCOPED_TRACE(text);
        try {
            Certificate certificate(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument&) {
            ADD_FAILURE() << "must be the decoder's error";
        } catch (const boost::archive::iterators::dataflow_exception& e) {
            EXPECT_STREQ(e.what(), "attempt to decode a value not in base64 char set");
        }
    }
}

TEST(CertificateTest, BytesOrObjectWithoutCertificateThrowAtConstruction) {
    const std::string der = CertBuilder(Name::cn("Bytes")).selfSigned().der();
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x05};

    EXPECT_THROW(Certificate(bytes, static_cast<long>(der.size()) - 1), BaseException);
    EXPECT_THROW(Certificate(bytes, 0), BaseException);
    EXPECT_THROW(Certificate(bytes, -5), BaseException);
    EXPECT_THROW(Certificate(nullptr, 10), BaseException);
    EXPECT_THROW(Certificate(junk, sizeof junk), BaseException);
    EXPECT_THROW(Certificate(static_cast<X509*>(nullptr)), BaseException);
    EXPECT_EQ(Certificate(bytes, static_cast<long>(der.size())).getEncoded(),
              std::vector<unsigned char>(der.begin(), der.end()));
}

TEST(CertificateTest, ObjectConstructorKeepsItsOwnCopy) {
    const TestCert made = CertBuilder(Name::cn("Copy")).selfSigned();
    openssl::X509Ptr original(X509_dup(made.x509()));
    const Certificate certificate(original.get());
    EXPECT_NE(certificate.nativeHandle(), original.get());
    original.reset();  // the caller's object goes; the certificate lives on
    EXPECT_EQ(certificate.getFingerprint(), made.sha1Text());

    const Certificate copy = certificate;
    EXPECT_EQ(copy.nativeHandle(), certificate.nativeHandle());
}

// ---- serial numbers and fingerprints -------------------------------------------------------

TEST(CertificateTest, SerialNumberIsTheMagnitudeInHexPairs) {
    struct Case {
        std::vector<unsigned char> magnitude;
        bool negative;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{0x05}, false, "05"},
        {{0x7f}, false, "7f"},
        {{0x80}, false, "80"},  // DER adds a zero byte; the text does not show it
        {{0x00, 0x00, 0x01, 0x00}, false, "01 00"},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
          0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14},
         false,
         "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14"},
        {{0x2a}, true, "2a"},  // the sign of a negative serial is not shown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const TestCert made =
            CertBuilder(Name::cn("Serial")).serialBytes(c.magnitude, c.negative).selfSigned();
        const Certificate certificate(made.pem());
        EXPECT_EQ(certificate.getSerialNumber(), c.expected);
        if (!c.negative) {
            EXPECT_EQ(certificate.getSerialNumber(), oracleSerial(made.pem()));
        }
    }
}

TEST(CertificateTest, FingerprintMatchesOpenSslAndIsStableAcrossCopies) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name::cn("Leaf")).serial(2).signedBy(root);
    for (const TestCert& made : {root, leaf}) {
        const Certificate certificate(made.pem());
        const std::string fingerprint = certificate.getFingerprint();
        EXPECT_EQ(fingerprint, oracleFingerprint(made.pem()));
        EXPECT_THAT(fingerprint, ::testing::MatchesRegex("([0-9a-f]{2} ){19}[0-9a-f]{2}"));
        EXPECT_EQ(Certificate(certificate).getFingerprint(), fingerprint);
        EXPECT_EQ(Certificate(made.der()).getFingerprint(), fingerprint);
    }
    EXPECT_NE(Certificate(root.pem()).getFingerprint(), Certificate(leaf.pem()).getFingerprint());
}

TEST(CertificateTest, FingerprintsFromManyThreadsAgree) {
    const Certificate certificate(CertBuilder(Name::cn("Threads")).selfSigned().pem());
    const std::string expected = certificate.getFingerprint();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Certificate copy = certificate;  // copies share one object across threads
            for (int i = 0; i < 200; ++i) {
                if (copy.getFingerprint() != expected)
                    ++mismatches[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(CertificateTest, NormalizeFingerprintBringsThumbprintsToFingerprintForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"AB:CD:EF", "ab cd ef"},
        {"abcdef", "ab cd ef"},
        {"ab cd ef", "ab cd ef"},
        {"AB CD EF", "ab cd ef"},
        {" a b:c D ", "ab cd"},
        {"ABCDE", "ab cd e"},
        {"A", "a"},
        {"", ""},
        {":: ", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Certificate::normalizeFingerprint(input), expected) << "input: " << input;
    }

    const TestCert made = CertBuilder(Name::cn("Thumb")).selfSigned();
    std::string thumbprint = test::opensslCommand("x509 -noout -fingerprint -sha1", made.pem());
    thumbprint = thumbprint.substr(thumbprint.find('=') + 1);
    thumbprint.erase(thumbprint.find('\n'));
    const Certificate certificate(made.pem());
    EXPECT_EQ(Certificate::normalizeFingerprint(thumbprint), certificate.getFingerprint());
    EXPECT_EQ(Certificate::normalizeFingerprint(certificate.getFingerprint()),
              certificate.getFingerprint());
}

TEST(CertificateTest, FingerprintToHashReadsTwentyHexNumbers) {
    const TestCert made = CertBuilder(Name::cn("Hash")).selfSigned();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ASSERT_EQ(X509_digest(made.x509(), EVP_sha1(), digest, &length), 1);
    const std::vector<unsigned char> expected(digest, digest + length);

    const std::string fingerprint = Certificate(made.pem()).getFingerprint();
    std::string upper = fingerprint;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (const std::string& text : {fingerprint, upper, "\n " + fingerprint + " \t"}) {
        unsigned char out[20];
        Certificate::fingerprintToHash(text, out);
        EXPECT_EQ(std::vector<unsigned char>(out, out + 20), expected) << text;
    }

    unsigned char out[20];
    std::fill(std::begin(out), std::end(out), 0xEE);
    Certificate::fingerprintToHash("1ff 0 a", out);  // the low 8 bits; unread numbers are zero
    std::vector<unsigned char> partial(20, 0);
    partial[0] = 0xff;
    partial[2] = 0x0a;
    EXPECT_EQ(std::vector<unsigned char>(out, out + 20), partial);
}

// ---- names -----------------------------------------------------------------------------------

TEST(DistinguishedNameTest, EntriesHoldNumericOidsAndRawValueBytes) {
    const Name name = Name{{"C", "BR", StringType::Printable},
                           {"O", "Funda\xC3\xA7\xC3\xA3o", StringType::Utf8},
                           {"OU", "Latin\xE9", StringType::Teletex},
                           {"CN", "Ana", StringType::Bmp},
                           {"1.3.6.1.4.1.99999.1", "x=1/y", StringType::Utf8}};
    const TestCert made = CertBuilder(name).selfSigned();
    const DistinguishedName subject = Certificate(made.pem()).getSubject();

    const std::vector<DistinguishedName::Entry> expected = {
        {"2.5.4.6", "BR"},
        {"2.5.4.10", "Funda\xC3\xA7\xC3\xA3o"},  // UTF-8 stays UTF-8
        {"2.5.4.11", "Latin\xE9"},
        {"2.5.4.3", ""},  // BMPString "Ana" is 00 41 ...: cut at its first zero byte
        {"1.3.6.1.4.1.99999.1", "x=1/y"},
    };
    EXPECT_EQ(subject.entries(), expected);
    EXPECT_EQ(toString(subject),
              "/C=BR/O=Funda\xC3\xA7\xC3\xA3o/OU=Latin\xE9/CN=/1.3.6.1.4.1.99999.1=x=1/y");

    std::ostringstream streamed;
    streamed << subject;
    EXPECT_EQ(streamed.str(), toString(subject));
    EXPECT_EQ(toString(DistinguishedName{}), "");
}

TEST(DistinguishedNameTest, LongUnknownOidIsCutInTheText) {
    std::string oid = "1.3.6.1.4.1";
    while (oid.size() < 120)
        oid += ".12345";
    DistinguishedName name;
    name.append(oid, "v");
    EXPECT_EQ(toString(name), "/" + oid.substr(0, 79) + "=v");
}

TEST(DistinguishedNameTest, EqualityIgnoresOrderButNotCountOrBytes) {
    using E = DistinguishedName::Entry;
    const E c{"2.5.4.6", "BR"}, o{"2.5.4.10", "ICP-Brasil"}, cn{"2.5.4.3", "AC"};
    struct Case {
        const char* what;
        std::vector<E> left, right;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"same order", {c, o, cn}, {c, o, cn}, true},
        {"other order", {c, o, cn}, {cn, c, o}, true},
        {"both empty", {}, {}, true},
        {"one more entry", {c, o}, {c, o, cn}, false},
        {"one fewer entry", {c, o, cn}, {c, o}, false},
        {"value differs by case", {c, o, cn}, {c, o, {"2.5.4.3", "ac"}}, false},
        {"same value under another OID", {c, o, cn}, {c, o, {"2.5.4.11", "AC"}}, false},
        {"value with trailing blank", {cn}, {{"2.5.4.3", "AC "}}, false},
        // Repeats are not counted: every left entry occurs on the right...
        {"repeat on the left", {c, c}, {c, o}, true},
        // ...but not the other way round.
        {"repeat on the right", {c, o}, {c, c}, false},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(DistinguishedName(k.left) == DistinguishedName(k.right), k.equal) << k.what;
    }
}

TEST(DistinguishedNameTest, SubjectAndIssuerOfGeneratedCertificatesMatchOpenSsl) {
    const TestCert root =
        CertBuilder(Name{{"C", "BR"}, {"O", "ICP-Brasil"}, {"CN", "Raiz de Teste"}})
            .ca()
            .selfSigned();
    const TestCert leaf = CertBuilder(Name{{"C", "BR"},
                                           {"O", "ICP-Brasil"},
                                           {"OU", "Secretaria da Receita Federal do Brasil - RFB"},
                                           {"CN", "JO\xC3\x83O DA SILVA:12345678901"}})
                              .signedBy(root);
    const Certificate certificate(leaf.pem());
    EXPECT_EQ(certificate.getSubject().entries(), oracleName(leaf.pem(), "subject").entries());
    EXPECT_EQ(certificate.getIssuer().entries(), oracleName(leaf.pem(), "issuer").entries());
    EXPECT_TRUE(certificate.getIssuer() == Certificate(root.pem()).getSubject());
}

// ---- classification --------------------------------------------------------------------------

struct Classification {
    bool selfIssuedNonCa, authority, selfSigned, root, allowsSubordinates;
};

bool operator==(const Classification& a, const Classification& b) {
    return a.selfIssuedNonCa == b.selfIssuedNonCa && a.authority == b.authority &&
           a.selfSigned == b.selfSigned && a.root == b.root &&
           a.allowsSubordinates == b.allowsSubordinates;
}

std::ostream& operator<<(std::ostream& out, const Classification& c) {
    return out << "{selfIssuedNonCa " << c.selfIssuedNonCa << ", authority " << c.authority
               << ", selfSigned " << c.selfSigned << ", root " << c.root << ", allowsSub "
               << c.allowsSubordinates << "}";
}

Classification classify(const TestCert& made) {
    const Certificate c(made.pem());
    return {c.isSelfIssuedNonCa(), c.isCertificateAuthority(), c.isSelfSigned(), c.isRoot(),
            c.allowsSubordinateAuthorities()};
}

TEST(CertificateClassificationTest, TableOfCertificateShapes) {
    const TestCert root = CertBuilder(Name::cn("Root")).ca().keyIdentifiers().selfSigned();
    const Name self = Name::cn("Self");
    // basicConstraints values as DER (RFC 5280 4.2.1.9).
    const std::vector<unsigned char> pathLenHuge = {0x30, 0x0e, 0x01, 0x01, 0xff, 0x02, 0x09, 0x01,
                                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<unsigned char> pathLenNegative = {0x30, 0x06, 0x01, 0x01,
                                                        0xff, 0x02, 0x01, 0xff};
    const std::vector<unsigned char> undecodable = {0xde, 0xad};
    // subjectKeyIdentifier 0a0b0c0d with an authorityKeyIdentifier naming another key.
    const std::vector<unsigned char> skid = {0x04, 0x04, 0x0a, 0x0b, 0x0c, 0x0d};
    const std::vector<unsigned char> otherAkid = {0x30, 0x06, 0x80, 0x04, 0x01, 0x02, 0x03, 0x04};

    struct Case {
        const char* what;
        TestCert made;
        Classification expected;
    };
    const std::vector<Case> cases = {
        {"self-signed root with cA", root, {false, true, true, true, true}},
        {"self-issued without basicConstraints or keyUsage (old-style root)",
         CertBuilder(self).selfSigned(),
         {true, true, true, true, true}},
        {"self-issued with keyCertSign and no basicConstraints",
         CertBuilder(self).keyUsage("keyCertSign,cRLSign").selfSigned(),
         {false, true, true, true, true}},
        {"self-issued with cA false",
         CertBuilder(self).notCa().selfSigned(),
         {false, false, true, false, false}},
        {"self-issued with undecodable basicConstraints",
         CertBuilder(self).rawBasicConstraints(undecodable).selfSigned(),
         {true, true, true, true, true}},
        // Not a CA for OpenSSL and no basicConstraints: an old-style root, whatever keyUsage says.
        {"self-issued with digitalSignature only",
         CertBuilder(self).keyUsage("digitalSignature").selfSigned(),
         {true, true, true, true, true}},
        {"self-issued CA whose key identifier names another key",
         CertBuilder(self)
             .ca()
             .rawExtension("2.5.29.14", skid)
             .rawExtension("2.5.29.35", otherAkid)
             .selfSigned(),
         {false, true, false, false, true}},
        {"end entity issued by the root",
         CertBuilder(Name::cn("Leaf")).signedBy(root),
         {false, false, false, false, true}},
        {"end entity with cA false",
         CertBuilder(Name::cn("Leaf")).notCa().signedBy(root),
         {false, false, false, false, false}},
        {"intermediate without pathLen",
         CertBuilder(Name::cn("Inter")).ca().signedBy(root),
         {false, true, false, false, true}},
        {"intermediate with pathLen 0",
         CertBuilder(Name::cn("Inter")).ca(0).signedBy(root),
         {false, true, false, false, false}},
        {"intermediate with pathLen 2",
         CertBuilder(Name::cn("Inter")).ca(2).signedBy(root),
         {false, true, false, false, true}},
        {"intermediate with a pathLen beyond 64 bits",
         CertBuilder(Name::cn("Inter")).rawBasicConstraints(pathLenHuge).signedBy(root),
         {false, true, false, false, true}},
        // OpenSSL's CA check rejects a negative pathLen outright.
        {"intermediate with a negative pathLen",
         CertBuilder(Name::cn("Inter")).rawBasicConstraints(pathLenNegative).signedBy(root),
         {false, false, false, false, false}},
        {"intermediate whose issuer name equals its own but signed by the root",
         CertBuilder(Name::cn("Root")).ca().signedBy(root),
         {false, true, true, true, true}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify(c.made), c.expected) << c.what;
    }
}

// ---- public keys -----------------------------------------------------------------------------

TEST(CertificateTest, PublicKeyAndSignatureCheck) {
    const TestCert root = CertBuilder(Name::cn("Root")).key(test::testKey(1)).ca().selfSigned();
    const TestCert leaf = CertBuilder(Name::cn("Leaf")).key(test::testKey(2)).signedBy(root);
    const Certificate rootCert(root.pem());
    const Certificate leafCert(leaf.pem());

    const RsaPublicKey rootKey = rootCert.getPublicKey();
    EXPECT_EQ(rootKey.modulus, oracleModulus(root.pem()));
    EXPECT_EQ(rootKey.modulus.size(), 128u);
    EXPECT_NE(rootKey.modulus.front(), 0);

    RsaPublicKey padded = rootKey;
    padded.exponent.insert(padded.exponent.begin(), {0x00, 0x00});
    RsaPublicKey wrongModulus = rootKey;
    wrongModulus.modulus.back() ^= 0x02;

    struct Case {
        const char* what;
        RsaPublicKey key;
        bool verifies;
    };
    const std::vector<Case> cases = {
        {"issuer key", rootKey, true},
        {"issuer key with zero-padded exponent", padded, true},
        {"own key", leafCert.getPublicKey(), false},
        {"altered modulus", wrongModulus, false},
        {"empty key", RsaPublicKey{}, false},
        {"exponent 3", RsaPublicKey{rootKey.modulus, {0x03}}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(leafCert.verifySignature(c.key), c.verifies) << c.what;
    }
    EXPECT_TRUE(rootCert.verifySignature(rootKey));
}

TEST(CertificateTest, PublicKeyExponentHasNoLeadingZeros) {
    const TestCert three = CertBuilder(Name::cn("e3")).key(Key::rsa(512, 3)).selfSigned();
    const TestCert f4 = CertBuilder(Name::cn("e65537")).key(Key::rsa(512, 65537)).selfSigned();
    EXPECT_EQ(Certificate(three.pem()).getPublicKey().exponent, std::vector<unsigned char>{0x03});
    EXPECT_EQ(Certificate(f4.pem()).getPublicKey().exponent,
              (std::vector<unsigned char>{0x01, 0x00, 0x01}));
    EXPECT_EQ(Certificate(f4.pem()).getPublicKey().modulus.size(), 64u);
}

TEST(CertificateTest, NonRsaKeysAreRefused) {
    const TestCert ec = CertBuilder(Name::cn("EC")).key(Key::ec()).selfSigned();
    const TestCert ed = CertBuilder(Name::cn("Ed")).key(Key::ed25519()).selfSigned();
    for (const TestCert& made : {ec, ed}) {
        const Certificate certificate(made.pem());
        try {
            certificate.getPublicKey();
            ADD_FAILURE() << "no exception";
        } catch (const BaseException& e) {
            EXPECT_STREQ(e.what(), "Cannot get RSA key from private key");
        }
        EXPECT_EQ(certificate.getFingerprint(), made.sha1Text());
        EXPECT_TRUE(certificate.isRoot());
    }
}

TEST(RsaPublicKeyTest, EqualityComparesModulusBytesAndExponentValue) {
    using V = std::vector<unsigned char>;
    struct Case {
        const char* what;
        RsaPublicKey left, right;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"identical",
         {V{0xc1, 0x02}, V{0x01, 0x00, 0x01}},
         {V{0xc1, 0x02}, V{0x01, 0x00, 0x01}},
         true},
        {"exponent zero-padded on the right",
         {V{0xc1}, V{0x03}},
         {V{0xc1}, V{0x00, 0x00, 0x03}},
         true},
        {"exponent zero-padded on the left", {V{0xc1}, V{0x00, 0x03}}, {V{0xc1}, V{0x03}}, true},
        {"different exponent", {V{0xc1}, V{0x03}}, {V{0xc1}, V{0x05}}, false},
        {"exponent with trailing zero", {V{0xc1}, V{0x03}}, {V{0xc1}, V{0x03, 0x00}}, false},
        {"modulus zero-padded", {V{0xc1}, V{0x03}}, {V{0x00, 0xc1}, V{0x03}}, false},
        {"different modulus", {V{0xc1}, V{0x03}}, {V{0xc2}, V{0x03}}, false},
        {"both empty", {}, {}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.left == c.right, c.equal) << c.what;
        EXPECT_EQ(c.right == c.left, c.equal) << c.what << " (swapped)";
    }
}

}  // namespace
}  // namespace quor::signer
