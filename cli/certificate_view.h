// How quor-certs presents certificates and chains: as text for a person (Brazilian Portuguese
// labels) and as JSON whose members carry the library's own names.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "signer/model/certificate.h"
#include "signer/model/certificate_chain.h"

namespace quor::cli {

// The role a certificate plays, as the certificate stores classify it.
enum class CertificateRole {
    RootCa,          // isRoot()
    IntermediateCa,  // an authority, not self-signed, that may certify further authorities
    IssuingCa,       // an authority, not self-signed, that may certify end entities only
    EndEntity,       // not an authority
};

CertificateRole roleOf(const signer::Certificate& certificate);
// "RootCa", "IntermediateCa", "IssuingCa", "EndEntity".
std::string roleName(CertificateRole role);
// The role for a person ("Autoridade certificadora raiz", ...).
std::string roleLabel(CertificateRole role);

// "Valid", "IncompleteChain", "Expired", "Unverified" (the number for any other value).
std::string chainStatusName(signer::ChainStatus status);
// The status for a person ("Válida", "Incompleta", ...).
std::string chainStatusLabel(signer::ChainStatus status);

// One JSON object with the certificate's facts: subjectName, issuerName (display names),
// subject, issuer (name texts), serialNumber, fingerprint, notBefore, notAfter (ISO 8601 UTC, null
// when unreadable), email, keyUsages, policies, holderType, holder (its fields, or null), isRoot,
// isCertificateAuthority, isSelfSigned, isSelfIssuedNonCa, allowsSubordinateAuthorities, kind.
// Texts are UTF-8: certificate bytes that are not UTF-8 are read as Latin-1.
nlohmann::ordered_json certificateJson(const signer::Certificate& certificate);

// The same facts as lines of "label: value" for a person, each line starting with indent and
// ending with a line feed. Control characters of certificate texts are shown escaped.
std::string certificateText(const signer::Certificate& certificate, const std::string& indent = "");

// {"status", "statusCode", "certificates": [certificateJson...]} in chain order.
nlohmann::ordered_json chainJson(const signer::CertificateChain& chain);

// The chain status, then each certificate in chain order, numbered, for a person.
std::string chainText(const signer::CertificateChain& chain);

// Serialises JSON for output: two-space indentation, a final line feed, and invalid UTF-8 (which
// certificateJson never produces) replaced instead of failing.
std::string dumpJson(const nlohmann::ordered_json& value);

}  // namespace quor::cli
