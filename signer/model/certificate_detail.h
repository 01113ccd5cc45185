// CertificateDetail: a readable summary of one certificate, with the holder data of the
// ICP-Brasil certificate profile and the descriptions of its policies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signer/model/date_time_interval.h"
#include "signer/model/policy_table.h"

namespace quor::signer {

// A snapshot computed by Certificate::getDetail(); it is not linked to the certificate
// afterwards. Copies share the holder record.
//
// A default-constructed detail has empty texts and lists, no holder, and a validity whose two
// bounds are the current local time (currentLocalTime() may throw std::runtime_error).
struct CertificateDetail {
    enum HolderType : std::int32_t { NoHolder = 0, Person = 1, Company = 2 };

    // Data of a natural person (otherName 2.16.76.1.3.1, .5 and .6 of the subjectAltName).
    // Each field holds the bytes of its part of the value as the certificate writes them
    // (digits, letters and filler characters); nothing is trimmed or converted.
    struct PersonDescription {
        std::string birthDate;     // DDMMAAAA
        std::string cpf;           // 11 digits
        std::string nis;           // PIS/PASEP/NIS/NIT, 11 digits
        std::string rg;            // identity document number, 15 characters
        std::string rgIssuer;      // issuing organ and state of the identity document
        std::string cei;           // CEI (social security registration), the whole value
        std::string voterNumber;   // voter registration number, 12 digits
        std::string voterZone;     // voting zone, 3 digits
        std::string voterSection;  // voting section, 4 digits
        std::string voterPlace;    // municipality and state of the voter registration
    };

    // Data of a legal entity (otherName 2.16.76.1.3.2, .3, .4 and .7): the responsible person's
    // identity, the responsible's name, the CNPJ and the CEI.
    struct CompanyDescription {
        std::string responsibleBirthDate;
        std::string responsibleCpf;
        std::string responsibleNis;
        std::string responsibleRg;
        std::string responsibleRgIssuer;
        std::string responsibleName;
        std::string cnpj;
        std::string cei;
    };

    CertificateDetail();

    // One description per certificatePolicies entry, in extension order (describePolicy).
    std::vector<std::wstring> policies;
    // Display names: the last CN of the name, else its last OU, else its last O.
    std::string subjectName;
    std::string issuerName;
    // notBefore to notAfter; an unreadable time gives a not-a-date-time bound.
    DateTimeInterval validity;
    // First rfc822Name of the subjectAltName, else the first emailAddress of the subject.
    std::string email;
    // Key-usage bit names ("Digital Signature", ...), then extended key-usage names.
    std::vector<std::string> keyUsages;
    std::string serialNumber;  // Certificate::getSerialNumber()
    std::string fingerprint;   // Certificate::getFingerprint()
    HolderType holderType = NoHolder;
    // A PersonDescription when holderType is Person, a CompanyDescription when Company, empty
    // otherwise. The pointer deletes the record with its own type; prefer person()/company().
    std::shared_ptr<void> holder;

    // The holder record of the matching kind, or null when the holder is of another kind or
    // absent. Valid while this detail (or a copy sharing the record) lives.
    const PersonDescription* person() const;
    const CompanyDescription* company() const;
};

}  // namespace quor::signer
