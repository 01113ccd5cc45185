#include "installer/mirror_warning.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace quor::installer {

namespace {

// Profile names and folders are UTF-8; a broken sequence shows as U+FFFD.
std::wstring widened(const std::string& utf8) {
    std::wstring text;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int length = lead < 0x80           ? 1
                           : (lead >> 5) == 0x6  ? 2
                           : (lead >> 4) == 0xE  ? 3
                           : (lead >> 3) == 0x1E ? 4
                                                 : 0;
        char32_t code = length == 1   ? lead
                        : length == 2 ? (lead & 0x1F)
                        : length == 3 ? (lead & 0x0F)
                                      : (lead & 0x07);
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            text += L'\uFFFD';
            ++i;
            continue;
        }
        text += static_cast<wchar_t>(code);
        i += static_cast<std::size_t>(length);
    }
    return text;
}

// "A", "A e B", "A, B e C".
std::wstring joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? L" e " : L", ";
        text += names[i];
    }
    return text;
}

}  // namespace

RunOutcome runOutcomeOf(const std::wstring& lastLogLine) {
    return lastLogLine == L"Instalação de cadeias concluída com sucesso." ? RunOutcome::Installed
                                                                        : RunOutcome::Failed;
}

std::wstring mirrorWarning(const platform::MirrorReport& report, RunOutcome outcome,
                           WarningFront front) {
    std::vector<std::wstring> locked;
    std::vector<std::wstring> readOnly;
    std::vector<std::wstring> broken;
    std::vector<std::wstring> programs;  // the programs to close
    for (const platform::MirrorResult* failed : report.failures()) {
        const std::wstring label = widened(failed->mirror.label());
        switch (failed->status) {
            case platform::MirrorStatus::Locked: {
                locked.push_back(label);
                const std::wstring program = widened(failed->mirror.program);
                if (std::find(programs.begin(), programs.end(), program) == programs.end())
                    programs.push_back(program);
                break;
            }
            case platform::MirrorStatus::ReadOnly:
                readOnly.push_back(label);
                break;
            default:
                broken.push_back(label);
                break;
        }
    }
    if (locked.empty() && readOnly.empty() && broken.empty())
        return {};

    std::wstring text = outcome == RunOutcome::Installed
                            ? L"Atenção: as cadeias foram instaladas nos repositórios do usuário, "
                              L"mas não chegaram a todos os bancos de certificados dos outros "
                              L"programas."
                            : L"Atenção: os certificados instalados antes do erro estão nos "
                              L"repositórios do usuário, mas não chegaram a todos os bancos de "
                              L"certificados dos outros programas.";
    const auto plural = [](const std::vector<std::wstring>& names, const wchar_t* one,
                           const wchar_t* many) {
        return L" " + std::wstring(names.size() == 1 ? one : many) + L" " + joined(names);
    };
    if (!locked.empty()) {
        text += plural(locked, L"Em uso por outro programa:", L"Em uso por outros programas:") +
                L".";
    }
    if (!readOnly.empty()) {
        text += plural(readOnly, L"Protegido contra gravação:", L"Protegidos contra gravação:") +
                L".";
    }
    if (!broken.empty()) {
        text += plural(broken, L"Não pôde ser alterado pelo NSS:",
                       L"Não puderam ser alterados pelo NSS:") +
                L".";
    }
    std::wstring then = front == WarningFront::Dialog
                            ? L"pressione o botão \"Instalar cadeias\" novamente."
                            : L"execute quor-certs sync.";
    if (!programs.empty()) {
        text += L" Feche o " + joined(programs);
        if (!readOnly.empty())
            text += L", permita a gravação nas pastas protegidas";
        text += L" e " + then;
    } else if (!readOnly.empty()) {
        text += L" Permita a gravação nas pastas protegidas e " + then;
    } else {
        text += L" Para tentar de novo, " + then;
    }
    return text;
}

platform::MirrorReport MirrorCheck::finish() {
    platform::MirrorReport synced;
    if (!platform::syncNssMirrors(&synced)) {
        batch_.flush();
        return scope_.report();
    }
    // What NSS cannot hold is told for what this run added, not for everything the stores hold.
    const std::set<platform::Sha1Hash> added = batch_.pending();
    batch_.discard();
    std::vector<platform::UnsupportedCertificate> ours;
    for (const auto& certificate : synced.unsupported) {
        if (added.count(certificate.sha1) != 0)
            ours.push_back(certificate);
    }
    synced.unsupported = std::move(ours);
    return synced;
}

}  // namespace quor::installer
