#include "installer/mirror_warning.h"

#include <algorithm>
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

std::wstring mirrorWarning(const platform::MirrorReport& report) {
    std::vector<std::wstring> programs;
    std::vector<std::wstring> databases;
    for (const platform::MirrorResult* failed : report.failures()) {
        const std::wstring program = widened(failed->mirror.program);
        if (std::find(programs.begin(), programs.end(), program) == programs.end())
            programs.push_back(program);
        databases.push_back(widened(failed->mirror.label()));
    }
    if (programs.empty())
        return {};
    return L"Atenção: as cadeias foram instaladas nos repositórios do usuário, mas não puderam "
           L"ser gravadas no banco de certificados de " +
           joined(databases) + L", que está em uso ou protegido contra gravação. Feche o " +
           joined(programs) + L" e pressione o botão \"Instalar cadeias\" novamente.";
}

std::wstring MirrorCheck::finish() {
    platform::MirrorReport synced;
    if (platform::syncNssMirrors(&synced)) {
        batch_.discard();
        return mirrorWarning(synced);
    }
    batch_.flush();
    return mirrorWarning(scope_.report());
}

}  // namespace quor::installer
