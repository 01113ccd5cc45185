#include "cli/mirror_report_view.h"

#include <sstream>

namespace quor::cli {

namespace {

const char* actionLabel(platform::MirrorAction action) {
    switch (action) {
        case platform::MirrorAction::Added:
            return "adicionado";
        case platform::MirrorAction::KeyAdded:
            return "chave privada adicionada";
        case platform::MirrorAction::TrustChanged:
            return "confiança alterada";
        case platform::MirrorAction::Removed:
            return "removido";
        case platform::MirrorAction::TrustRestored:
            return "confiança do usuário restaurada";
    }
    return "alterado";
}

const char* statusLabel(platform::MirrorStatus status) {
    switch (status) {
        case platform::MirrorStatus::Written:
            return "gravado";
        case platform::MirrorStatus::Locked:
            return "NÃO GRAVADO: em uso por outro programa (feche-o e rode quor-certs sync)";
        case platform::MirrorStatus::ReadOnly:
            return "NÃO GRAVADO: protegido contra gravação";
        case platform::MirrorStatus::OldFormat:
            return "ignorado: formato antigo (cert8.db)";
        case platform::MirrorStatus::Failed:
            return "NÃO GRAVADO: falha do NSS";
    }
    return "?";
}

}  // namespace

std::string fingerprintText(const platform::Sha1Hash& sha1) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < sha1.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += digits[sha1[i] >> 4];
        text += digits[sha1[i] & 0x0F];
    }
    return text;
}

std::string mirrorReportText(const platform::MirrorReport& report, const std::string& indent) {
    std::ostringstream text;
    for (const auto& result : report.results) {
        if (result.status == platform::MirrorStatus::Written && result.changes.empty() &&
            result.notes.empty()) {
            continue;
        }
        text << indent << result.mirror.label() << " [" << result.mirror.directory
             << "]: " << statusLabel(result.status) << '\n';
        for (const auto& change : result.changes) {
            text << indent << "  " << actionLabel(change.action) << ": " << change.nickname << " ("
                 << fingerprintText(change.sha1) << ")\n";
        }
        for (const auto& note : result.notes)
            text << indent << "  " << note << '\n';
    }
    text << unsupportedText(report, indent);
    return text.str();
}

std::string unsupportedLabel(const std::string& keyType) {
    return "não suportado pelo NSS (chave " + keyType + ")";
}

std::string unsupportedText(const platform::MirrorReport& report, const std::string& indent) {
    std::ostringstream text;
    for (const auto& certificate : report.unsupported) {
        text << indent << certificate.subject << " (" << fingerprintText(certificate.sha1)
             << "): " << unsupportedLabel(certificate.keyType)
             << "; fica fora dos bancos NSS (navegadores, e-mail)\n";
    }
    return text.str();
}

nlohmann::json unsupportedJson(const platform::MirrorReport& report) {
    nlohmann::json certificates = nlohmann::json::array();
    for (const auto& certificate : report.unsupported) {
        certificates.push_back({{"fingerprint", fingerprintText(certificate.sha1)},
                                {"subjectName", certificate.subject},
                                {"keyType", certificate.keyType}});
    }
    return certificates;
}

nlohmann::json mirrorReportJson(const platform::MirrorReport& report) {
    nlohmann::json databases = nlohmann::json::array();
    for (const auto& result : report.results) {
        nlohmann::json changes = nlohmann::json::array();
        for (const auto& change : result.changes) {
            changes.push_back({{"action", platform::mirrorActionName(change.action)},
                               {"fingerprint", fingerprintText(change.sha1)},
                               {"nickname", change.nickname}});
        }
        databases.push_back({{"program", result.mirror.program},
                             {"profile", result.mirror.profile},
                             {"directory", result.mirror.directory},
                             {"status", platform::mirrorStatusName(result.status)},
                             {"changes", std::move(changes)},
                             {"notes", result.notes}});
    }
    return databases;
}

}  // namespace quor::cli
