#include "signer/model/certificate_detail.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "signer/model/certificate.h"
#include "platform/openssl_ptr.h"
#include "signer/model/text.h"

namespace quor::signer {

namespace {

using openssl::FreeWith;
using KeyUsagePtr = std::unique_ptr<ASN1_BIT_STRING, FreeWith<ASN1_BIT_STRING_free>>;
using ExtendedKeyUsagePtr = std::unique_ptr<EXTENDED_KEY_USAGE, FreeWith<EXTENDED_KEY_USAGE_free>>;

// Names of the KeyUsage bits 0..8 (RFC 5280, 4.2.1.3), in bit order.
constexpr std::array<const char*, 9> kKeyUsageNames = {
    "Digital Signature", "Non-Repudiation",   "Key Encipherment",
    "Data Encipherment", "Key Agreement",     "Key Cert Sign",
    "Key CRL Sign",      "Key Encipher Only", "Key Decipher Only",
};

// Bytes of an ASN.1 string up to its first zero byte (names and e-mail addresses are texts).
std::string textUpToZero(const ASN1_STRING* value) {
    if (value == nullptr)
        return {};
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    if (data == nullptr || length <= 0)
        return {};
    const auto* begin = reinterpret_cast<const char*>(data);
    return std::string(begin, std::find(begin, begin + length, '\0'));
}

// All bytes of an ASN.1 string, zero bytes included.
std::string allBytes(const ASN1_STRING* value) {
    if (value == nullptr)
        return {};
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    if (data == nullptr || length <= 0)
        return {};
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

// OpenSSL's text for an OID: its long name when OpenSSL knows one ("TLS Web Client
// Authentication"), otherwise the dotted numbers. Any length is returned whole.
std::string objectText(const ASN1_OBJECT* object) {
    if (object == nullptr)
        return {};
    std::array<char, 128> buffer{};
    const int needed = OBJ_obj2txt(buffer.data(), static_cast<int>(buffer.size()), object, 0);
    if (needed <= 0)
        return {};
    if (static_cast<std::size_t>(needed) < buffer.size())
        return std::string(buffer.data(), needed);
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    OBJ_obj2txt(text.data(), needed + 1, object, 0);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

// Decodes the first extension of the given kind, or returns null when there is none or it does
// not decode. The caller owns the result and frees it with the extension's own free function.
void* decodeFirstExtension(const X509* certificate, int nid) {
    const int index = X509_get_ext_by_NID(certificate, nid, -1);
    if (index < 0)
        return nullptr;
    return X509V3_EXT_d2i(X509_get_ext(certificate, index));
}

// Last CN, else last OU, else last O of the name.
std::string displayName(const X509_NAME* name) {
    std::string commonName;
    std::string unit;
    std::string organization;
    const int count = name == nullptr ? 0 : X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        switch (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry))) {
            case NID_commonName:
                commonName = textUpToZero(X509_NAME_ENTRY_get_data(entry));
                break;
            case NID_organizationalUnitName:
                unit = textUpToZero(X509_NAME_ENTRY_get_data(entry));
                break;
            case NID_organizationName:
                organization = textUpToZero(X509_NAME_ENTRY_get_data(entry));
                break;
            default:
                break;
        }
    }
    if (!commonName.empty())
        return commonName;
    if (!unit.empty())
        return unit;
    return organization;
}

boost::posix_time::ptime timeOf(const ASN1_TIME* time) {
    const std::string text = textUpToZero(time);
    return timeFromAsn1Text(text.c_str());
}

std::string emailOf(const X509* certificate, const GENERAL_NAMES* altNames) {
    const int altCount = altNames == nullptr ? 0 : sk_GENERAL_NAME_num(altNames);
    for (int i = 0; i < altCount; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(altNames, i);
        if (name != nullptr && name->type == GEN_EMAIL)
            return textUpToZero(name->d.rfc822Name);
    }
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_pkcs9_emailAddress, -1);
    if (index < 0)
        return {};
    return textUpToZero(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
}

std::vector<std::string> keyUsagesOf(const X509* certificate) {
    std::vector<std::string> names;
    const KeyUsagePtr usage{
        static_cast<ASN1_BIT_STRING*>(decodeFirstExtension(certificate, NID_key_usage))};
    if (usage) {
        for (std::size_t bit = 0; bit < kKeyUsageNames.size(); ++bit) {
            if (ASN1_BIT_STRING_get_bit(usage.get(), static_cast<int>(bit)) == 1)
                names.emplace_back(kKeyUsageNames[bit]);
        }
    }
    const ExtendedKeyUsagePtr extended{
        static_cast<EXTENDED_KEY_USAGE*>(decodeFirstExtension(certificate, NID_ext_key_usage))};
    const int purposes = extended ? sk_ASN1_OBJECT_num(extended.get()) : 0;
    for (int i = 0; i < purposes; ++i)
        names.push_back(objectText(sk_ASN1_OBJECT_value(extended.get(), i)));
    return names;
}

std::vector<std::wstring> policiesOf(const X509* certificate) {
    std::vector<std::wstring> descriptions;
    const openssl::CertificatePoliciesPtr policies{static_cast<CERTIFICATEPOLICIES*>(
        decodeFirstExtension(certificate, NID_certificate_policies))};
    const int count = policies ? sk_POLICYINFO_num(policies.get()) : 0;
    for (int i = 0; i < count; ++i) {
        const POLICYINFO* policy = sk_POLICYINFO_value(policies.get(), i);
        if (policy == nullptr)
            continue;
        descriptions.push_back(describePolicy(objectText(policy->policyid)));
    }
    return descriptions;
}

// Reads the fields of one ICP-Brasil otherName value from left to right.
class FieldReader {
  public:
    explicit FieldReader(std::string_view value) : value_(value) {}

    // The next `width` bytes when that many remain. Otherwise the field is empty and the cursor
    // stays, so a later, shorter field can still be read.
    std::string fixed(std::size_t width) {
        if (value_.size() - position_ < width)
            return {};
        const std::string_view field = value_.substr(position_, width);
        position_ += width;
        return std::string(field);
    }

    // Whatever remains, at most `maxWidth` bytes: the last field of a value varies in length.
    std::string rest(std::size_t maxWidth) {
        const std::string_view field = value_.substr(position_, maxWidth);
        position_ += field.size();
        return std::string(field);
    }

  private:
    std::string_view value_;
    std::size_t position_ = 0;
};

// Widths of the fields of the ICP-Brasil certificate profile (DOC-ICP-04). The issuing organ and
// state after the identity document number and the municipality and state after the voting
// section are the last fields of their values; the profile lets them be shorter than these
// maxima (and earlier versions wrote the organ and state in 6 characters), so they take what
// remains instead of a fixed width.
constexpr std::size_t kBirthDateWidth = 8;
constexpr std::size_t kCpfWidth = 11;
constexpr std::size_t kNisWidth = 11;
constexpr std::size_t kRgWidth = 15;
constexpr std::size_t kRgIssuerMaxWidth = 10;
constexpr std::size_t kVoterNumberWidth = 12;
constexpr std::size_t kVoterZoneWidth = 3;
constexpr std::size_t kVoterSectionWidth = 4;
constexpr std::size_t kVoterPlaceMaxWidth = 22;

// Birth date, CPF, NIS, identity number and its issuer: the layout of 2.16.76.1.3.1 (the
// holder) and of 2.16.76.1.3.4 (the person responsible for a company).
void readIdentity(std::string_view value, std::string& birthDate, std::string& cpf,
                  std::string& nis, std::string& rg, std::string& rgIssuer) {
    FieldReader reader{value};
    birthDate = reader.fixed(kBirthDateWidth);
    cpf = reader.fixed(kCpfWidth);
    nis = reader.fixed(kNisWidth);
    rg = reader.fixed(kRgWidth);
    rgIssuer = reader.rest(kRgIssuerMaxWidth);
}

using PersonRecord = CertificateDetail::PersonDescription;
using CompanyRecord = CertificateDetail::CompanyDescription;

void readPersonData(PersonRecord& person, std::string_view value) {
    readIdentity(value, person.birthDate, person.cpf, person.nis, person.rg, person.rgIssuer);
}
void readPersonCei(PersonRecord& person, std::string_view value) {
    person.cei = std::string(value);
}
void readVoter(PersonRecord& person, std::string_view value) {
    FieldReader reader{value};
    person.voterNumber = reader.fixed(kVoterNumberWidth);
    person.voterZone = reader.fixed(kVoterZoneWidth);
    person.voterSection = reader.fixed(kVoterSectionWidth);
    person.voterPlace = reader.rest(kVoterPlaceMaxWidth);
}
void readResponsibleData(CompanyRecord& company, std::string_view value) {
    readIdentity(value, company.responsibleBirthDate, company.responsibleCpf,
                 company.responsibleNis, company.responsibleRg, company.responsibleRgIssuer);
}
void readResponsibleName(CompanyRecord& company, std::string_view value) {
    company.responsibleName = std::string(value);
}
void readCnpj(CompanyRecord& company, std::string_view value) {
    company.cnpj = std::string(value);
}
void readCompanyCei(CompanyRecord& company, std::string_view value) {
    company.cei = std::string(value);
}

// The holder fields of the ICP-Brasil profile: which otherName OID fills which record.
struct HolderField {
    const char* oid;
    CertificateDetail::HolderType kind;
    void (*readPerson)(PersonRecord&, std::string_view);
    void (*readCompany)(CompanyRecord&, std::string_view);
};

constexpr HolderField kHolderFields[] = {
    {"2.16.76.1.3.1", CertificateDetail::Person, readPersonData, nullptr},
    {"2.16.76.1.3.6", CertificateDetail::Person, readPersonCei, nullptr},
    {"2.16.76.1.3.5", CertificateDetail::Person, readVoter, nullptr},
    {"2.16.76.1.3.4", CertificateDetail::Company, nullptr, readResponsibleData},
    {"2.16.76.1.3.2", CertificateDetail::Company, nullptr, readResponsibleName},
    {"2.16.76.1.3.3", CertificateDetail::Company, nullptr, readCnpj},
    {"2.16.76.1.3.7", CertificateDetail::Company, nullptr, readCompanyCei},
};

const HolderField* holderFieldFor(const std::string& oidText) {
    for (const HolderField& field : kHolderFields) {
        if (oidText == field.oid)
            return &field;
    }
    return nullptr;
}

// The value of an ICP-Brasil otherName. The profile writes these values as OCTET STRING, and
// allows PrintableString too; values of any other type are not holder data.
const ASN1_STRING* holderValue(const OTHERNAME* otherName) {
    if (otherName == nullptr || otherName->value == nullptr)
        return nullptr;
    const ASN1_TYPE* value = otherName->value;
    switch (value->type) {
        case V_ASN1_OCTET_STRING:
            return value->value.octet_string;
        case V_ASN1_PRINTABLESTRING:
            return value->value.printablestring;
        default:
            return nullptr;
    }
}

void fillHolder(CertificateDetail& detail, const GENERAL_NAMES* altNames) {
    const int count = altNames == nullptr ? 0 : sk_GENERAL_NAME_num(altNames);
    for (int i = 0; i < count; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(altNames, i);
        if (name == nullptr || name->type != GEN_OTHERNAME)
            continue;
        const ASN1_STRING* value = holderValue(name->d.otherName);
        if (value == nullptr)
            continue;
        const HolderField* field = holderFieldFor(objectText(name->d.otherName->type_id));
        if (field == nullptr)
            continue;

        // A value of the other kind starts a new record: a certificate describes one holder.
        if (detail.holderType != field->kind) {
            if (field->kind == CertificateDetail::Person)
                detail.holder = std::make_shared<PersonRecord>();
            else
                detail.holder = std::make_shared<CompanyRecord>();
            detail.holderType = field->kind;
        }
        const std::string bytes = allBytes(value);
        if (field->kind == CertificateDetail::Person)
            field->readPerson(*static_cast<PersonRecord*>(detail.holder.get()), bytes);
        else
            field->readCompany(*static_cast<CompanyRecord*>(detail.holder.get()), bytes);
    }
}

DateTimeInterval nowInterval() {
    const boost::posix_time::ptime now = currentLocalTime();
    return DateTimeInterval(now, now);
}

}  // namespace

// Both bounds come from one reading of the clock, so they are equal.
CertificateDetail::CertificateDetail() : validity(nowInterval()) {}

const CertificateDetail::PersonDescription* CertificateDetail::person() const {
    if (holderType != Person || !holder)
        return nullptr;
    return static_cast<const PersonDescription*>(holder.get());
}

const CertificateDetail::CompanyDescription* CertificateDetail::company() const {
    if (holderType != Company || !holder)
        return nullptr;
    return static_cast<const CompanyDescription*>(holder.get());
}

CertificateDetail Certificate::getDetail() const {
    CertificateDetail detail;
    detail.serialNumber = getSerialNumber();
    detail.fingerprint = getFingerprint();

    const X509* certificate = nativeHandle();
    detail.policies = policiesOf(certificate);
    detail.subjectName = displayName(X509_get_subject_name(certificate));
    detail.issuerName = displayName(X509_get_issuer_name(certificate));
    detail.validity = DateTimeInterval(timeOf(X509_get0_notBefore(certificate)),
                                       timeOf(X509_get0_notAfter(certificate)));

    const openssl::GeneralNamesPtr altNames{
        static_cast<GENERAL_NAMES*>(decodeFirstExtension(certificate, NID_subject_alt_name))};
    detail.email = emailOf(certificate, altNames.get());
    detail.keyUsages = keyUsagesOf(certificate);
    fillHolder(detail, altNames.get());
    return detail;
}

}  // namespace quor::signer
