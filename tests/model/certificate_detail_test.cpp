#include "signer/model/certificate_detail.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "signer/model/certificate.h"
#include "platform/openssl_ptr.h"
#include "signer/model/policy_table.h"
#include "signer/model/text.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::signer {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using test::CertBuilder;
using test::Name;
using test::StringType;
using test::TestCert;

CertificateDetail detailOf(const CertBuilder& builder) {
    const TestCert made = builder.selfSigned();
    return Certificate(made.x509()).getDetail();
}

CertBuilder holderBuilder() {
    return CertBuilder(Name::cn("Titular de Teste"));
}

// DER of a certificatePolicies extension value with the given policy OIDs, in order.
std::vector<unsigned char> certificatePoliciesDer(const std::vector<std::string>& oids) {
    const openssl::CertificatePoliciesPtr policies{sk_POLICYINFO_new_null()};
    if (!policies)
        throw std::bad_alloc();
    for (const std::string& oid : oids) {
        std::unique_ptr<POLICYINFO, openssl::FreeWith<POLICYINFO_free>> info{POLICYINFO_new()};
        if (!info)
            throw std::bad_alloc();
        ASN1_OBJECT_free(info->policyid);
        info->policyid = OBJ_txt2obj(oid.c_str(), 1);
        if (info->policyid == nullptr)
            throw std::invalid_argument("policy OID " + oid);
        if (sk_POLICYINFO_push(policies.get(), info.get()) <= 0)
            throw std::bad_alloc();
        info.release();
    }
    unsigned char* der = nullptr;
    const int length = i2d_CERTIFICATEPOLICIES(policies.get(), &der);
    if (length <= 0)
        throw std::runtime_error("certificatePolicies encoding");
    const openssl::OpenSslMemoryPtr owned{der};
    return std::vector<unsigned char>(der, der + length);
}

CertBuilder withPolicies(const std::vector<std::string>& oids) {
    return holderBuilder().rawExtension("2.5.29.32", certificatePoliciesDer(oids));
}

// Field values of the ICP-Brasil layout used to compose otherName values.
const std::string kBirth = "31121975";               // 8
const std::string kCpf = "52998224725";              // 11
const std::string kNis = "12056412547";              // 11
const std::string kRg = "000000012345678";           // 15
const std::string kIdentity = kBirth + kCpf + kNis;  // 30
const std::string kVoterNumber = "004356789012";     // 12
const std::string kZone = "123";                     // 3
const std::string kSection = "0456";                 // 4

// ---------------------------------------------------------------------------------------------
// Holder data

struct IdentityCase {
    const char* name;
    std::string value;
    StringType type;
    std::string birthDate, cpf, nis, rg, rgIssuer;
};

// The identity layout shared by 2.16.76.1.3.1 (person) and 2.16.76.1.3.4 (company responsible):
// fixed widths 8, 11, 11, 15, then the issuing organ and state, which takes what remains of the
// value up to 10 bytes.
std::vector<IdentityCase> identityCases() {
    const auto oct = StringType::OctetString;
    const auto prn = StringType::Printable;
    return {
        {"six-byte issuer", kIdentity + kRg + "SSP-SP", oct, kBirth, kCpf, kNis, kRg, "SSP-SP"},
        {"six-byte issuer as PrintableString", kIdentity + kRg + "SSP-SP", prn, kBirth, kCpf, kNis,
         kRg, "SSP-SP"},
        {"ten-byte issuer", kIdentity + kRg + "DETRANRJRJ", oct, kBirth, kCpf, kNis, kRg,
         "DETRANRJRJ"},
        {"four-byte issuer", kIdentity + kRg + "PCMG", prn, kBirth, kCpf, kNis, kRg, "PCMG"},
        {"issuer longer than ten bytes is cut", kIdentity + kRg + "DETRANRJRJXYZ", oct, kBirth,
         kCpf, kNis, kRg, "DETRANRJRJ"},
        {"no issuer", kIdentity + kRg, oct, kBirth, kCpf, kNis, kRg, ""},
        {"30 bytes: no rg, no issuer", kIdentity, oct, kBirth, kCpf, kNis, "", ""},
        {"36 bytes: rg skipped, issuer follows nis", kIdentity + "SSP-SP", oct, kBirth, kCpf, kNis,
         "", "SSP-SP"},
        {"filler characters kept",
         "00000000" + std::string(11, '0') + std::string(11, '0') + std::string(15, '0') + "      ",
         oct, "00000000", std::string(11, '0'), std::string(11, '0'), std::string(15, '0'),
         "      "},
        {"empty value", "", oct, "", "", "", "", ""},
        {"short hostile bytes", std::string("\xff\x00\x01", 3), oct, "", "", "", "",
         std::string("\xff\x00\x01", 3)},
        {"zero bytes inside fields are kept", std::string(8, '\0') + kCpf + kNis + kRg + "SSP-SP",
         oct, std::string(8, '\0'), kCpf, kNis, kRg, "SSP-SP"},
        {"very long value", kIdentity + kRg + std::string(100000, 'X'), oct, kBirth, kCpf, kNis,
         kRg, std::string(10, 'X')},
    };
}

TEST(CertificateDetailHolder, PersonIdentityFieldsFollowTheProfileLayout) {
    for (const IdentityCase& c : identityCases()) {
        SCOPED_TRACE(c.name);
        const CertificateDetail detail =
            detailOf(holderBuilder().otherName("2.16.76.1.3.1", c.value, c.type));
        ASSERT_EQ(detail.holderType, CertificateDetail::Person);
        const auto* person = detail.person();
        ASSERT_NE(person, nullptr);
        EXPECT_EQ(detail.company(), nullptr);
        EXPECT_EQ(person->birthDate, c.birthDate);
        EXPECT_EQ(person->cpf, c.cpf);
        EXPECT_EQ(person->nis, c.nis);
        EXPECT_EQ(person->rg, c.rg);
        EXPECT_EQ(person->rgIssuer, c.rgIssuer);
        EXPECT_EQ(person->cei, "");
        EXPECT_EQ(person->voterNumber, "");
        EXPECT_EQ(person->voterPlace, "");
    }
}

TEST(CertificateDetailHolder, CompanyResponsibleFieldsFollowTheProfileLayout) {
    for (const IdentityCase& c : identityCases()) {
        SCOPED_TRACE(c.name);
        const CertificateDetail detail =
            detailOf(holderBuilder().otherName("2.16.76.1.3.4", c.value, c.type));
        ASSERT_EQ(detail.holderType, CertificateDetail::Company);
        const auto* company = detail.company();
        ASSERT_NE(company, nullptr);
        EXPECT_EQ(detail.person(), nullptr);
        EXPECT_EQ(company->responsibleBirthDate, c.birthDate);
        EXPECT_EQ(company->responsibleCpf, c.cpf);
        EXPECT_EQ(company->responsibleNis, c.nis);
        EXPECT_EQ(company->responsibleRg, c.rg);
        EXPECT_EQ(company->responsibleRgIssuer, c.rgIssuer);
        EXPECT_EQ(company->responsibleName, "");
        EXPECT_EQ(company->cnpj, "");
        EXPECT_EQ(company->cei, "");
    }
}

TEST(CertificateDetailHolder, VoterFieldsTakeAVariableLengthPlace) {
    struct Case {
        const char* name;
        std::string value;
        StringType type;
        std::string number, zone, section, place;
    };
    const std::string prefix = kVoterNumber + kZone + kSection;
    const std::string fullPlace = "SAO JOSE DOS CAMPOSSP ";  // 22
    const std::vector<Case> cases = {
        {"22-byte place", prefix + fullPlace, StringType::OctetString, kVoterNumber, kZone,
         kSection, fullPlace},
        {"22-byte place as PrintableString", prefix + fullPlace, StringType::Printable,
         kVoterNumber, kZone, kSection, fullPlace},
        {"short place", prefix + "BRASILIADF", StringType::Printable, kVoterNumber, kZone, kSection,
         "BRASILIADF"},
        {"place longer than 22 bytes is cut", prefix + fullPlace + "EXTRA", StringType::OctetString,
         kVoterNumber, kZone, kSection, fullPlace},
        {"no place", prefix, StringType::OctetString, kVoterNumber, kZone, kSection, ""},
        {"section missing: place takes the rest", kVoterNumber + kZone + "SP",
         StringType::OctetString, kVoterNumber, kZone, "", "SP"},
        {"only a number", kVoterNumber, StringType::OctetString, kVoterNumber, "", "", ""},
        {"too short for any fixed field", "12", StringType::OctetString, "", "", "", "12"},
        {"empty value", "", StringType::OctetString, "", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CertificateDetail detail =
            detailOf(holderBuilder().otherName("2.16.76.1.3.5", c.value, c.type));
        ASSERT_NE(detail.person(), nullptr);
        EXPECT_EQ(detail.person()->voterNumber, c.number);
        EXPECT_EQ(detail.person()->voterZone, c.zone);
        EXPECT_EQ(detail.person()->voterSection, c.section);
        EXPECT_EQ(detail.person()->voterPlace, c.place);
        EXPECT_EQ(detail.person()->birthDate, "");
    }
}

TEST(CertificateDetailHolder, FullPersonCertificateFillsEveryPersonField) {
    const std::string place = "CAMPINASSP";
    const CertificateDetail detail =
        detailOf(holderBuilder()
                     .otherName("2.16.76.1.3.1", kIdentity + kRg + "SSP-SP")
                     .otherName("2.16.76.1.3.6", "123456789012", StringType::Printable)
                     .otherName("2.16.76.1.3.5", kVoterNumber + kZone + kSection + place));
    ASSERT_NE(detail.person(), nullptr);
    const auto& p = *detail.person();
    EXPECT_EQ(p.birthDate, kBirth);
    EXPECT_EQ(p.cpf, kCpf);
    EXPECT_EQ(p.nis, kNis);
    EXPECT_EQ(p.rg, kRg);
    EXPECT_EQ(p.rgIssuer, "SSP-SP");
    EXPECT_EQ(p.cei, "123456789012");
    EXPECT_EQ(p.voterNumber, kVoterNumber);
    EXPECT_EQ(p.voterZone, kZone);
    EXPECT_EQ(p.voterSection, kSection);
    EXPECT_EQ(p.voterPlace, place);
}

TEST(CertificateDetailHolder, FullCompanyCertificateFillsEveryCompanyField) {
    const CertificateDetail detail =
        detailOf(holderBuilder()
                     .otherName("2.16.76.1.3.4", kIdentity + kRg + "SSP-DF")
                     .otherName("2.16.76.1.3.2", "MARIA DA SILVA")
                     .otherName("2.16.76.1.3.3", "11222333000181", StringType::Printable)
                     .otherName("2.16.76.1.3.7", "000000000000"));
    ASSERT_EQ(detail.holderType, CertificateDetail::Company);
    ASSERT_NE(detail.company(), nullptr);
    const auto& c = *detail.company();
    EXPECT_EQ(c.responsibleBirthDate, kBirth);
    EXPECT_EQ(c.responsibleCpf, kCpf);
    EXPECT_EQ(c.responsibleNis, kNis);
    EXPECT_EQ(c.responsibleRg, kRg);
    EXPECT_EQ(c.responsibleRgIssuer, "SSP-DF");
    EXPECT_EQ(c.responsibleName, "MARIA DA SILVA");
    EXPECT_EQ(c.cnpj, "11222333000181");
    EXPECT_EQ(c.cei, "000000000000");
}

// Whole-value fields keep every byte, zero bytes and high bytes included.
TEST(CertificateDetailHolder, WholeValueFieldsKeepRawBytes) {
    const std::string raw("AB\0\xe9\xff", 5);
    const CertificateDetail person = detailOf(holderBuilder().otherName("2.16.76.1.3.6", raw));
    ASSERT_NE(person.person(), nullptr);
    EXPECT_EQ(person.person()->cei, raw);
    const CertificateDetail company = detailOf(holderBuilder().otherName("2.16.76.1.3.2", raw));
    ASSERT_NE(company.company(), nullptr);
    EXPECT_EQ(company.company()->responsibleName, raw);
}

TEST(CertificateDetailHolder, KindChangeStartsANewRecord) {
    // Person data then a CNPJ: the company record holds only the CNPJ.
    const CertificateDetail toCompany =
        detailOf(holderBuilder()
                     .otherName("2.16.76.1.3.1", kIdentity + kRg + "SSP-SP")
                     .otherName("2.16.76.1.3.3", "11222333000181"));
    ASSERT_EQ(toCompany.holderType, CertificateDetail::Company);
    ASSERT_NE(toCompany.company(), nullptr);
    EXPECT_EQ(toCompany.company()->cnpj, "11222333000181");
    EXPECT_EQ(toCompany.company()->responsibleCpf, "");
    EXPECT_EQ(toCompany.person(), nullptr);

    // Company data then person data and back: only what came after the last change stays.
    const CertificateDetail backAndForth =
        detailOf(holderBuilder()
                     .otherName("2.16.76.1.3.3", "11222333000181")
                     .otherName("2.16.76.1.3.6", "CEI-PESSOA")
                     .otherName("2.16.76.1.3.2", "JOAO"));
    ASSERT_NE(backAndForth.company(), nullptr);
    EXPECT_EQ(backAndForth.company()->responsibleName, "JOAO");
    EXPECT_EQ(backAndForth.company()->cnpj, "");
}

TEST(CertificateDetailHolder, SameKindValuesShareOneRecordAndLaterValuesReplaceFields) {
    const CertificateDetail detail =
        detailOf(holderBuilder()
                     .otherName("2.16.76.1.3.1", kIdentity + kRg + "SSP-SP")
                     .otherName("2.16.76.1.3.6", "CEI-1")
                     .otherName("2.16.76.1.3.1", "11111111" + kCpf + kNis));
    ASSERT_NE(detail.person(), nullptr);
    EXPECT_EQ(detail.person()->birthDate, "11111111");
    EXPECT_EQ(detail.person()->rg, "");  // the later, shorter value replaces it
    EXPECT_EQ(detail.person()->rgIssuer, "");
    EXPECT_EQ(detail.person()->cei, "CEI-1");
}

TEST(CertificateDetailHolder, EntriesThatAreNotHolderDataAreSkipped) {
    struct Case {
        const char* name;
        CertBuilder builder;
    };
    const std::vector<Case> cases = {
        {"no subjectAltName", holderBuilder()},
        {"UTF8String value",
         holderBuilder().otherName("2.16.76.1.3.1", kIdentity, StringType::Utf8)},
        {"IA5String value",
         holderBuilder().otherName("2.16.76.1.3.3", "11222333000181", StringType::Ia5)},
        {"other ICP-Brasil OID", holderBuilder().otherName("2.16.76.1.3.8", "ACME")},
        {"OID with the same prefix", holderBuilder().otherName("2.16.76.1.3.10", kIdentity)},
        {"non-ICP OID", holderBuilder().otherName("1.3.6.1.4.1.311.20.2.3", "upn@example")},
        {"e-mail and DNS names", holderBuilder().email("a@example.com").dnsName("example.com")},
        {"undecodable subjectAltName",
         holderBuilder().rawExtension("2.5.29.17", {0x30, 0x05, 0xa0, 0x03, 0x06})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CertificateDetail detail = detailOf(c.builder);
        EXPECT_EQ(detail.holderType, CertificateDetail::NoHolder);
        EXPECT_EQ(detail.holder, nullptr);
        EXPECT_EQ(detail.person(), nullptr);
        EXPECT_EQ(detail.company(), nullptr);
    }
}

TEST(CertificateDetailHolder, SkippedEntriesDoNotHideLaterHolderData) {
    const CertificateDetail detail =
        detailOf(holderBuilder()
                     .email("a@example.com")
                     .otherName("2.16.76.1.3.3", "IGNORADO", StringType::Utf8)
                     .otherName("2.16.76.1.3.8", "ACME")
                     .otherName("2.16.76.1.3.3", "11222333000181"));
    ASSERT_NE(detail.company(), nullptr);
    EXPECT_EQ(detail.company()->cnpj, "11222333000181");
}

// ---------------------------------------------------------------------------------------------
// Names, e-mail, validity, identity texts

TEST(CertificateDetailNames, DisplayNameIsLastCommonNameElseUnitElseOrganization) {
    struct Case {
        const char* name;
        Name subject;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"CN wins", Name{{"O", "Org"}, {"OU", "Unidade"}, {"CN", "Fulano"}}, "Fulano"},
        {"last CN", Name{{"CN", "Primeiro"}, {"O", "Org"}, {"CN", "Segundo"}}, "Segundo"},
        {"empty CN falls back to OU", Name{{"O", "Org"}, {"OU", "Unidade"}, {"CN", ""}}, "Unidade"},
        {"last OU", Name{{"OU", "Um"}, {"OU", "Dois"}, {"O", "Org"}}, "Dois"},
        {"only O", Name{{"C", "BR"}, {"O", "Somente Org"}}, "Somente Org"},
        {"none of them", Name{{"C", "BR"}, {"L", "Brasilia"}}, ""},
        {"value ends at its first zero byte", Name{{"CN", std::string("Ab\0cd", 5)}}, "Ab"},
        {"CN that ends at once falls back to O", Name{{"O", "Org"}, {"CN", std::string("\0x", 2)}},
         "Org"},
        {"UTF-8 bytes kept", Name{{"CN", "Jo\xc3\xa3o"}}, "Jo\xc3\xa3o"},
        {"empty name", Name{}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detailOf(CertBuilder(c.subject)).subjectName, c.expected);
        const CertificateDetail asIssuer =
            detailOf(CertBuilder(Name::cn("Sujeito")).issuerName(c.subject));
        EXPECT_EQ(asIssuer.issuerName, c.expected);
        EXPECT_EQ(asIssuer.subjectName, "Sujeito");
    }
}

TEST(CertificateDetailNames, EmailComesFromAltNamesFirstThenSubject) {
    struct Case {
        const char* name;
        CertBuilder builder;
        std::string expected;
    };
    const Name withEmail{{"CN", "Fulano"},
                         {"emailAddress", "sujeito@example.com", StringType::Ia5}};
    const std::vector<Case> cases = {
        {"rfc822Name", holderBuilder().email("alt@example.com"), "alt@example.com"},
        {"first of two rfc822Names",
         holderBuilder().dnsName("example.com").email("um@example.com").email("dois@example.com"),
         "um@example.com"},
        {"rfc822Name before subject", CertBuilder(withEmail).email("alt@example.com"),
         "alt@example.com"},
        {"subject when altNames has none", CertBuilder(withEmail).dnsName("example.com"),
         "sujeito@example.com"},
        {"subject without altNames", CertBuilder(withEmail), "sujeito@example.com"},
        {"subject when altNames does not decode",
         CertBuilder(withEmail).rawExtension("2.5.29.17", {0x04, 0x01}), "sujeito@example.com"},
        {"none", holderBuilder().otherName("2.16.76.1.3.3", "11222333000181"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detailOf(c.builder).email, c.expected);
    }
}

TEST(CertificateDetailValidity, BoundsAreTheCertificateTimes) {
    struct Case {
        const char* name;
        std::string notBefore, notAfter;
        ptime begin, end;
    };
    const std::vector<Case> cases = {
        {"GeneralizedTime", "20200101000000Z", "20491231235959Z",
         time_from_string("2020-01-01 00:00:00"), time_from_string("2049-12-31 23:59:59")},
        {"UTCTime", "210315120000Z", "310315120001Z", time_from_string("2021-03-15 12:00:00"),
         time_from_string("2031-03-15 12:00:01")},
        {"unreadable time", "20201301000000Z", "20211231000000Z", ptime(),
         time_from_string("2021-12-31 00:00:00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CertificateDetail detail =
            detailOf(holderBuilder().notBefore(c.notBefore).notAfter(c.notAfter));
        EXPECT_EQ(detail.validity.begin(), c.begin);
        EXPECT_EQ(detail.validity.end(), c.end);
    }
}

TEST(CertificateDetailIdentity, SerialAndFingerprintAreTheCertificateTexts) {
    const TestCert made = holderBuilder().serialBytes({0x0a, 0x1b, 0x2c}).selfSigned();
    const CertificateDetail detail = Certificate(made.x509()).getDetail();
    EXPECT_EQ(detail.serialNumber, "0a 1b 2c");
    EXPECT_EQ(detail.fingerprint, made.sha1Text());
}

TEST(CertificateDetailDefaults, DefaultDetailIsEmptyAndValidNow) {
    const ptime before = currentLocalTime();
    const CertificateDetail detail;
    const ptime after = currentLocalTime();
    EXPECT_TRUE(detail.policies.empty());
    EXPECT_TRUE(detail.keyUsages.empty());
    EXPECT_EQ(detail.subjectName, "");
    EXPECT_EQ(detail.email, "");
    EXPECT_EQ(detail.fingerprint, "");
    EXPECT_EQ(detail.holderType, CertificateDetail::NoHolder);
    EXPECT_EQ(detail.holder, nullptr);
    EXPECT_EQ(detail.validity.begin(), detail.validity.end());
    EXPECT_LE(before, detail.validity.begin());
    EXPECT_LE(detail.validity.begin(), after);
}

// ---------------------------------------------------------------------------------------------
// Key usages

TEST(CertificateDetailKeyUsages, BitNamesThenExtendedPurposesInOrder) {
    struct Case {
        const char* name;
        std::string keyUsage;
        std::string extended;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"signature with client auth",
         "digitalSignature,nonRepudiation",
         "clientAuth",
         {"Digital Signature", "Non-Repudiation", "TLS Web Client Authentication"}},
        {"every bit, in bit order whatever the input order",
         "decipherOnly,encipherOnly,cRLSign,keyCertSign,keyAgreement,dataEncipherment,"
         "keyEncipherment,nonRepudiation,digitalSignature",
         "",
         {"Digital Signature", "Non-Repudiation", "Key Encipherment", "Data Encipherment",
          "Key Agreement", "Key Cert Sign", "Key CRL Sign", "Key Encipher Only",
          "Key Decipher Only"}},
        {"authority", "keyCertSign,cRLSign", "", {"Key Cert Sign", "Key CRL Sign"}},
        {"decipher only (bit 8, second byte)",
         "keyAgreement,decipherOnly",
         "",
         {"Key Agreement", "Key Decipher Only"}},
        {"extended only, extension order",
         "",
         "emailProtection,serverAuth",
         {"E-mail Protection", "TLS Web Server Authentication"}},
        {"unknown purpose as dotted numbers",
         "",
         "1.2.3.4.5,codeSigning",
         {"1.2.3.4.5", "Code Signing"}},
        {"none", "", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertBuilder builder = holderBuilder();
        if (!c.keyUsage.empty())
            builder.keyUsage(c.keyUsage);
        if (!c.extended.empty())
            builder.extendedKeyUsage(c.extended);
        EXPECT_EQ(detailOf(builder).keyUsages, c.expected);
    }
}

TEST(CertificateDetailKeyUsages, UndecodableExtensionsGiveNoNames) {
    const CertificateDetail detail =
        detailOf(holderBuilder()
                     .rawExtension("2.5.29.15", {0x04, 0x02, 0x01, 0x02})    // not a BIT STRING
                     .rawExtension("2.5.29.37", {0x30, 0x03, 0x06, 0x05}));  // truncated OID
    EXPECT_TRUE(detail.keyUsages.empty());
    EXPECT_EQ(detail.subjectName, "Titular de Teste");
}

// ---------------------------------------------------------------------------------------------
// Policies

TEST(CertificateDetailPolicies, DescribedInExtensionOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> oids;
        std::vector<std::wstring> expected;
    };
    const std::vector<Case> cases = {
        {"signature policy",
         {"2.16.76.1.2.3.7"},
         {L"Política de Certificado de Assinatura Digital Tipo A3 (2.16.76.1.2.3.7)"}},
        {"arc heads",
         {"2.16.76.1.2.3", "2.16.76.1.2.101", "2.16.76.1.1"},
         {L"Política de Certificado de Assinatura Digital Tipo A3",
          L"Política de Certificado de Sigilo Tipo S1",
          L"Declarações de Práticas de Certificação"}},
        {"practice statement then outside the table",
         {"2.16.76.1.1.12", "1.2.3.4"},
         {L"Declaração de Práticas de Certificação de AC de primeiro nível (2.16.76.1.1.12)",
          L"(1.2.3.4)"}},
        {"past the last numbered child", {"2.16.76.1.2.1.31"}, {L"(2.16.76.1.2.1.31)"}},
        {"name known to OpenSSL", {"2.5.29.32.0"}, {L"(X509v3 Any Policy)"}},
        {"time stamp",
         {"2.16.76.1.2.304.7"},
         {L"Política de Certificado de Carimbo do Tempo Tipo T4 (2.16.76.1.2.304.7)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detailOf(withPolicies(c.oids)).policies, c.expected);
    }
    EXPECT_TRUE(detailOf(holderBuilder()).policies.empty());
    EXPECT_TRUE(detailOf(holderBuilder().rawExtension("2.5.29.32", {0x30, 0x02, 0x30, 0x05}))
                    .policies.empty());
}

// The table must hold exactly the OIDs of the ICP-Brasil arcs it covers, in lookup order.
TEST(PolicyDescriptionTable, HoldsEveryArcInOrder) {
    std::vector<std::wstring> expected{L"2.16.76.1.1"};
    for (int n = 0; n <= 35; ++n)
        expected.push_back(L"2.16.76.1.1." + std::to_wstring(n));
    expected.push_back(L"2.16.76.1.2");
    const std::vector<std::pair<int, int>> arcs = {{1, 30},  {2, 7},   {3, 27},  {4, 12},
                                                   {101, 9}, {102, 6}, {103, 8}, {104, 6},
                                                   {201, 7}, {303, 7}, {304, 7}};
    for (const auto& [arc, children] : arcs) {
        const std::wstring head = L"2.16.76.1.2." + std::to_wstring(arc);
        expected.push_back(head);
        for (int n = 1; n <= children; ++n)
            expected.push_back(head + L"." + std::to_wstring(n));
    }
    const auto& table = policyDescriptionTable();
    ASSERT_EQ(table.size(), 175u);
    ASSERT_EQ(expected.size(), 175u);
    std::set<std::wstring> descriptions;
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(toNarrowText(table[i].oid));
        EXPECT_EQ(table[i].oid, expected[i]);
        EXPECT_FALSE(table[i].description.empty());
        descriptions.insert(table[i].description);
        if (i > 0) {
            EXPECT_TRUE(policyOidRowLess(table[i - 1].oid, table[i].oid));
            EXPECT_FALSE(policyOidRowLess(table[i].oid, table[i - 1].oid));
        }
        // Every row is found by the bisection.
        EXPECT_EQ(describePolicy(toNarrowText(table[i].oid)), table[i].description);
    }
    EXPECT_EQ(descriptions.size(), table.size()) << "two OIDs share a description";
}

TEST(PolicyDescriptionTable, OidOrderComparesArcsAsNumbers) {
    struct Case {
        const wchar_t* row;
        const wchar_t* oid;
        bool rowLess;
    };
    const std::vector<Case> cases = {
        {L"2.16.76.1.2.4", L"2.16.76.1.2.101", true},  // numeric, not textual, order
        {L"2.16.76.1.2.101", L"2.16.76.1.2.4", false},
        {L"2.16.76.1.2", L"2.16.76.1.2.1", true},  // a prefix sorts first
        {L"2.16.76.1.2.1", L"2.16.76.1.2", false},
        {L"2.16.76.1.2.3", L"2.16.76.1.2.3", false},
        {L"2.16.76.1.2.1.30", L"2.16.76.1.2.2", true},
        {L"2.16.76.1.2.02", L"2.16.76.1.2.3", true},  // "02" reads as 2
        {L"2.16.76.1.2.3", L"2.16.76.1.2.02", false},
        {L"2.16.76.1.2", L"2.16.76.1.40000", true},  // not a 16-bit number: row is smaller
        {L"2.16.76.1.40000", L"2.16.76.1.2", true},
        {L"2.16.76.1.2", L"X509v3 Any Policy", true},
        {L"", L"2", true},
        {L"2", L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toNarrowText(std::wstring(c.row) + L" < " + c.oid));
        EXPECT_EQ(policyOidRowLess(c.row, c.oid), c.rowLess);
    }
}

TEST(PolicyDescriptionTable, TextsOutsideTheTableAreShownInParentheses) {
    struct Case {
        std::string oid;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"2.16.76.1.2.3.7.1", L"(2.16.76.1.2.3.7.1)"},
        {"2.16.76.1.2.03", L"(2.16.76.1.2.03)"},  // same number, different text
        {"2.16.76.1.2.1.140", L"(2.16.76.1.2.1.140)"},
        {"2.16.76.1.2.99999", L"(2.16.76.1.2.99999)"},
        {"2.16.76.1.2.", L"(2.16.76.1.2.)"},
        {"2.16.76", L"(2.16.76)"},
        {"3", L"(3)"},
        {"", L"()"},
        {"\xe9t\xe9", L"(\u00e9t\u00e9)"},  // bytes widen one to one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        EXPECT_EQ(describePolicy(c.oid), c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Real ICP-Brasil certificates

TEST(CertificateDetailRealCertificates, AuthoritiesOfTheHierarchy) {
    struct Case {
        const char* file;
        std::string subject, issuer;
        std::vector<std::wstring> policies;
        std::vector<std::string> keyUsages;
        ptime notAfter;
    };
    const std::wstring rootStatement = describePolicy("2.16.76.1.1.0");
    const std::vector<std::string> authorityUsage = {"Key Cert Sign", "Key CRL Sign"};
    const std::vector<Case> cases = {
        {"ICP-Brasilv10.crt",
         "Autoridade Certificadora Raiz Brasileira v10",
         "Autoridade Certificadora Raiz Brasileira v10",
         {rootStatement},
         authorityUsage,
         time_from_string("2032-07-01 12:00:59")},
        {"ICP-Brasilv4.crt",
         "Autoridade Certificadora Raiz Brasileira v4",
         "Autoridade Certificadora Raiz Brasileira v4",
         {rootStatement},
         authorityUsage,
         time_from_string("2035-04-23 23:59:58")},
        {"ICP-Brasilv6.crt",
         "Autoridade Certificadora Raiz Brasileira v6",
         "Autoridade Certificadora Raiz Brasileira v6",
         {rootStatement},
         authorityUsage,
         time_from_string("2038-12-28 12:00:03")},
        {"ICP-Brasilv7.crt",
         "Autoridade Certificadora Raiz Brasileira v7",
         "Autoridade Certificadora Raiz Brasileira v7",
         {rootStatement},
         authorityUsage,
         time_from_string("2038-12-28 12:00:35")},
        {"AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt",
         "AC Secretaria da Receita Federal do Brasil v4",
         "Autoridade Certificadora Raiz Brasileira v5",
         {L"Declaração de Práticas de Certificação de AC de primeiro nível (2.16.76.1.1.8)"},
         authorityUsage,
         time_from_string("2029-03-02 12:00:04")},
        {"AC-PRODESP-RFB-v1.crt",
         "AC PRODESP RFB v1",
         "AC Secretaria da Receita Federal do Brasil v4",
         {L"(2.16.76.1.2.1.140)", L"(2.16.76.1.2.3.131)", L"(2.16.76.1.2.4.56)"},
         authorityUsage,
         time_from_string("2029-02-20 18:43:42")},
        {"AC-SERPRO-SSLv1-v10.crt",
         "Autoridade Certificadora do SERPRO SSLv1",
         "Autoridade Certificadora Raiz Brasileira v10",
         {L"(2.16.76.1.1.137)", L"(2.16.76.1.2.1.105)"},
         {"Digital Signature", "Key Cert Sign", "Key CRL Sign"},
         time_from_string("2032-07-01 12:00:59")},
    };
    EXPECT_EQ(rootStatement,
              L"Declaração de Práticas de Certificação da autoridade certificadora raiz "
              L"(2.16.76.1.1.0)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Certificate certificate(
            test::readFile(test::fixture(std::string("icp-brasil/") + c.file)));
        const CertificateDetail detail = certificate.getDetail();
        EXPECT_EQ(detail.subjectName, c.subject);
        EXPECT_EQ(detail.issuerName, c.issuer);
        EXPECT_EQ(detail.policies, c.policies);
        EXPECT_EQ(detail.keyUsages, c.keyUsages);
        EXPECT_EQ(detail.validity.end(), c.notAfter);
        EXPECT_EQ(detail.email, "");
        EXPECT_EQ(detail.holderType, CertificateDetail::NoHolder);
        EXPECT_EQ(detail.fingerprint, certificate.getFingerprint());
        EXPECT_EQ(detail.fingerprint.size(), 59u);
    }
}

}  // namespace
}  // namespace quor::signer
