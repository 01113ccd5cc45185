// Text and JSON presentation of certificates and chains.
#include "cli/certificate_view.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "signer/model/certificate_detail.h"
#include "signer/model/distinguished_name.h"
#include "signer/model/text.h"

namespace quor::cli {

using signer::Certificate;
using signer::CertificateChain;
using signer::CertificateDetail;
using signer::ChainStatus;

namespace {

// Decodes one UTF-8 sequence at text[at]; returns its length, or 0 when it is not well formed
// (overlong forms, surrogates and values above U+10FFFF are not).
std::size_t utf8Sequence(std::string_view text, std::size_t at, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(k) & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool isUtf8(std::string_view text) {
    char32_t code = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8Sequence(text, at, code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// Certificate texts are bytes as the certificate holds them: UTF8String values are UTF-8, but
// older authorities wrote Latin-1 (T61String), which is widened byte by byte.
std::string utf8Text(const std::string& bytes) {
    if (isUtf8(bytes))
        return bytes;
    return signer::toUtf8Text(signer::toWideText(bytes));
}

std::string utf8Text(const std::wstring& wide) {
    return signer::toUtf8Text(wide);
}

// For a terminal: C0 and C1 control characters (which could move the cursor or change the
// terminal's state) are written as \xNN or \u00NN.
std::string printable(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    char32_t code = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        std::size_t length = utf8Sequence(utf8, at, code);
        if (length == 0) {
            length = 1;
            code = static_cast<unsigned char>(utf8[at]);
        }
        char escape[16];
        if (code < 0x20 || code == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
            out += escape;
        } else if (code >= 0x80 && code <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
            out += escape;
        } else {
            out.append(utf8, at, length);
        }
        at += length;
    }
    return out;
}

std::size_t displayWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80)
            ++width;
    }
    return width;
}

// Certificate times are UTC (RFC 5280 section 4.1.2.5).
nlohmann::ordered_json isoTime(const boost::posix_time::ptime& time) {
    if (time.is_special())
        return nullptr;
    return boost::posix_time::to_iso_extended_string(time) + "Z";
}

std::string personTime(const boost::posix_time::ptime& time) {
    if (time.is_special())
        return "(data ilegível)";
    const auto date = time.date();
    const auto clock = time.time_of_day();
    char text[64];
    std::snprintf(text, sizeof text, "%02u/%02u/%04u %02ld:%02ld:%02ld UTC",
                  static_cast<unsigned>(date.day()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.year()), static_cast<long>(clock.hours()),
                  static_cast<long>(clock.minutes()), static_cast<long>(clock.seconds()));
    return text;
}

struct Field {
    const char* json;   // member name in the JSON object
    const char* label;  // label for a person
    const std::string* value;
};

std::vector<Field> personFields(const CertificateDetail::PersonDescription& p) {
    return {
        {"birthDate", "Data de nascimento", &p.birthDate},
        {"cpf", "CPF", &p.cpf},
        {"nis", "NIS (PIS/PASEP)", &p.nis},
        {"rg", "RG", &p.rg},
        {"rgIssuer", "Órgão emissor do RG", &p.rgIssuer},
        {"cei", "CEI", &p.cei},
        {"voterNumber", "Título de eleitor", &p.voterNumber},
        {"voterZone", "Zona eleitoral", &p.voterZone},
        {"voterSection", "Seção eleitoral", &p.voterSection},
        {"voterPlace", "Município e UF do título", &p.voterPlace},
    };
}

std::vector<Field> companyFields(const CertificateDetail::CompanyDescription& c) {
    return {
        {"responsibleBirthDate", "Data de nascimento do responsável", &c.responsibleBirthDate},
        {"responsibleCpf", "CPF do responsável", &c.responsibleCpf},
        {"responsibleNis", "NIS do responsável", &c.responsibleNis},
        {"responsibleRg", "RG do responsável", &c.responsibleRg},
        {"responsibleRgIssuer", "Órgão emissor do RG do responsável", &c.responsibleRgIssuer},
        {"responsibleName", "Nome do responsável", &c.responsibleName},
        {"cnpj", "CNPJ", &c.cnpj},
        {"cei", "CEI", &c.cei},
    };
}

std::vector<Field> holderFields(const CertificateDetail& detail) {
    if (const auto* person = detail.person())
        return personFields(*person);
    if (const auto* company = detail.company())
        return companyFields(*company);
    return {};
}

std::string holderTypeName(CertificateDetail::HolderType type) {
    switch (type) {
        case CertificateDetail::NoHolder:
            return "NoHolder";
        case CertificateDetail::Person:
            return "Person";
        case CertificateDetail::Company:
            return "Company";
    }
    return std::to_string(static_cast<int>(type));
}

std::string holderTypeLabel(CertificateDetail::HolderType type) {
    switch (type) {
        case CertificateDetail::NoHolder:
            return "nenhum";
        case CertificateDetail::Person:
            return "pessoa física";
        case CertificateDetail::Company:
            return "pessoa jurídica";
    }
    return std::to_string(static_cast<int>(type));
}

// Rows of "label: value" with the values aligned.
class Lines {
  public:
    explicit Lines(std::string indent) : indent_(std::move(indent)) {}

    void add(std::string label, std::string value) {
        rows_.push_back({std::move(label), std::move(value), false});
    }
    // An item of a list under the previous row.
    void addItem(std::string value) { rows_.push_back({"", std::move(value), true}); }
    // A row whose value comes from the certificate.
    void addText(std::string label, const std::string& bytes, const char* whenEmpty) {
        add(std::move(label), bytes.empty() ? whenEmpty : printable(utf8Text(bytes)));
    }

    std::string str() const {
        std::size_t width = 0;
        for (const Row& row : rows_)
            width = std::max(width, displayWidth(row.label));
        std::string out;
        for (const Row& row : rows_) {
            if (row.item) {
                out += indent_ + "  - " + row.value + '\n';
                continue;
            }
            out += indent_ + row.label + ":";
            if (!row.value.empty()) {
                out.append(width - displayWidth(row.label) + 1, ' ');
                out += row.value;
            }
            out += '\n';
        }
        return out;
    }

  private:
    struct Row {
        std::string label;
        std::string value;
        bool item;
    };
    std::string indent_;
    std::vector<Row> rows_;
};

}  // namespace

CertificateRole roleOf(const Certificate& certificate) {
    if (certificate.isRoot())
        return CertificateRole::RootCa;
    if (!certificate.isCertificateAuthority())
        return CertificateRole::EndEntity;
    return certificate.allowsSubordinateAuthorities() ? CertificateRole::IntermediateCa
                                                      : CertificateRole::IssuingCa;
}

std::string roleName(CertificateRole role) {
    switch (role) {
        case CertificateRole::RootCa:
            return "RootCa";
        case CertificateRole::IntermediateCa:
            return "IntermediateCa";
        case CertificateRole::IssuingCa:
            return "IssuingCa";
        case CertificateRole::EndEntity:
            return "EndEntity";
    }
    return "EndEntity";
}

std::string roleLabel(CertificateRole role) {
    switch (role) {
        case CertificateRole::RootCa:
            return "autoridade certificadora raiz";
        case CertificateRole::IntermediateCa:
            return "autoridade certificadora intermediária";
        case CertificateRole::IssuingCa:
            return "autoridade certificadora de último nível";
        case CertificateRole::EndEntity:
            return "entidade final";
    }
    return "entidade final";
}

std::string chainStatusName(ChainStatus status) {
    switch (status) {
        case ChainStatus::Valid:
            return "Valid";
        case ChainStatus::IncompleteChain:
            return "IncompleteChain";
        case ChainStatus::Expired:
            return "Expired";
        case ChainStatus::Unverified:
            return "Unverified";
    }
    return std::to_string(static_cast<std::int32_t>(status));
}

std::string chainStatusLabel(ChainStatus status) {
    switch (status) {
        case ChainStatus::Valid:
            return "válida";
        case ChainStatus::IncompleteChain:
            return "incompleta (falta o emissor de algum certificado)";
        case ChainStatus::Expired:
            return "expirada (algum certificado passou do fim da validade)";
        case ChainStatus::Unverified:
            return "não verificada";
    }
    return "desconhecida (" + std::to_string(static_cast<std::int32_t>(status)) + ")";
}

nlohmann::ordered_json certificateJson(const Certificate& certificate) {
    const CertificateDetail detail = certificate.getDetail();
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["subjectName"] = utf8Text(detail.subjectName);
    out["issuerName"] = utf8Text(detail.issuerName);
    out["subject"] = utf8Text(signer::toString(certificate.getSubject()));
    out["issuer"] = utf8Text(signer::toString(certificate.getIssuer()));
    out["serialNumber"] = detail.serialNumber;
    out["fingerprint"] = detail.fingerprint;
    out["notBefore"] = isoTime(detail.validity.begin());
    out["notAfter"] = isoTime(detail.validity.end());
    out["email"] = utf8Text(detail.email);
    out["keyUsages"] = nlohmann::ordered_json::array();
    for (const auto& usage : detail.keyUsages)
        out["keyUsages"].push_back(utf8Text(usage));
    out["policies"] = nlohmann::ordered_json::array();
    for (const auto& policy : detail.policies)
        out["policies"].push_back(utf8Text(policy));
    out["holderType"] = holderTypeName(detail.holderType);
    const auto fields = holderFields(detail);
    if (fields.empty()) {
        out["holder"] = nullptr;
    } else {
        nlohmann::ordered_json holder = nlohmann::ordered_json::object();
        for (const Field& field : fields)
            holder[field.json] = utf8Text(*field.value);
        out["holder"] = std::move(holder);
    }
    out["isRoot"] = certificate.isRoot();
    out["isCertificateAuthority"] = certificate.isCertificateAuthority();
    out["isSelfSigned"] = certificate.isSelfSigned();
    out["isSelfIssuedNonCa"] = certificate.isSelfIssuedNonCa();
    out["allowsSubordinateAuthorities"] = certificate.allowsSubordinateAuthorities();
    out["kind"] = roleName(roleOf(certificate));
    return out;
}

std::string certificateText(const Certificate& certificate, const std::string& indent) {
    const CertificateDetail detail = certificate.getDetail();
    const CertificateRole role = roleOf(certificate);
    Lines lines(indent);
    lines.addText("Titular", detail.subjectName, "(sem nome)");
    lines.addText("Nome distinto do titular", signer::toString(certificate.getSubject()),
                  "(vazio)");
    lines.addText("Emissor", detail.issuerName, "(sem nome)");
    lines.addText("Nome distinto do emissor", signer::toString(certificate.getIssuer()), "(vazio)");
    lines.add("Número de série", detail.serialNumber);
    lines.add("Impressão digital SHA-1",
              detail.fingerprint.empty() ? "(não calculada)" : detail.fingerprint);
    lines.add("Válido a partir de", personTime(detail.validity.begin()));
    lines.add("Válido até", personTime(detail.validity.end()));
    lines.addText("E-mail", detail.email, "(nenhum)");
    std::string usages;
    for (const auto& usage : detail.keyUsages) {
        usages += (usages.empty() ? "" : ", ") + printable(utf8Text(usage));
    }
    lines.add("Usos da chave", usages.empty() ? "(nenhum)" : usages);
    lines.add("Papel", roleLabel(role));
    lines.add("Autoridade certificadora", certificate.isCertificateAuthority() ? "sim" : "não");
    lines.add("Autoassinado", certificate.isSelfSigned() ? "sim" : "não");
    // Without basicConstraints the library answers yes; that only means something for authorities.
    if (certificate.isCertificateAuthority()) {
        lines.add("Pode certificar outras autoridades",
                  certificate.allowsSubordinateAuthorities() ? "sim" : "não");
    }
    if (detail.policies.empty()) {
        lines.add("Políticas", "(nenhuma)");
    } else {
        lines.add("Políticas", "");
        for (const auto& policy : detail.policies)
            lines.addItem(printable(utf8Text(policy)));
    }
    lines.add("Dados do titular ICP-Brasil", holderTypeLabel(detail.holderType));
    for (const Field& field : holderFields(detail)) {
        lines.addText(std::string("  ") + field.label, *field.value, "(não informado)");
    }
    return lines.str();
}

nlohmann::ordered_json chainJson(const CertificateChain& chain) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["status"] = chainStatusName(chain.status);
    out["statusCode"] = static_cast<std::int32_t>(chain.status);
    out["certificates"] = nlohmann::ordered_json::array();
    for (const Certificate& certificate : chain.certificates) {
        out["certificates"].push_back(certificateJson(certificate));
    }
    return out;
}

std::string chainText(const CertificateChain& chain) {
    std::ostringstream out;
    out << "Situação da cadeia: " << chainStatusLabel(chain.status) << " ("
        << chainStatusName(chain.status) << ", " << static_cast<std::int32_t>(chain.status)
        << ")\n";
    out << "Certificados: " << chain.certificates.size()
        << " (do certificado mais baixo até o topo da cadeia)\n";
    std::size_t number = 0;
    for (const Certificate& certificate : chain.certificates) {
        out << "\n[" << ++number << "]\n" << certificateText(certificate, "    ");
    }
    return out.str();
}

std::string dumpJson(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace quor::cli
