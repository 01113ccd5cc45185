#include "installer/official_install.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <istream>
#include <stdexcept>

#include "detection/official_archive.h"
#include "installer/chain_list.h"
#include "net/http_client_downloader.h"
#include "platform/cert_store.h"
#include "platform/last_error.h"
#include "signer/model/digest.h"
#include "signer/repository/system_repository.h"

#ifndef QUOR_OFFICIAL_ARCHIVE_URL
#error "QUOR_OFFICIAL_ARCHIVE_URL must name the folder of the authority's archive"
#endif

namespace quor::installer {

const std::wstring officialArchiveBaseUrl = L"" QUOR_OFFICIAL_ARCHIVE_URL;

namespace {

constexpr int kTimeoutMs = 60000;
constexpr bool kFollowRedirects = true;
const std::string kHashFile = "hashsha512.txt";
const std::string kArchiveFile = "ACcompactado.zip";
// The real files are one line and about 400 KB: anything far larger is not them.
constexpr std::size_t kMaxHashFileBytes = 4 * 1024;
constexpr std::size_t kMaxArchiveBytes = 32 * 1024 * 1024;

// Our own texts and the archive's entry names are UTF-8; a byte that does not decode shows as
// U+FFFD.
std::wstring fromUtf8(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80           ? 0
                          : (lead >> 5) == 0x6  ? 1
                          : (lead >> 4) == 0xE  ? 2
                          : (lead >> 3) == 0x1E ? 3
                                                : -1;
        char32_t code = extra == 0   ? lead
                        : extra == 1 ? lead & 0x1F
                        : extra == 2 ? lead & 0x0F
                                     : lead & 0x07;
        bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000) ||
            (extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) ||
            (extra == 3 && code < 0x10000)) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(code);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

// The whole body of baseUrl + name, refused past maxBytes.
std::string downloadWhole(const std::wstring& baseUrl, const std::string& name,
                          std::size_t maxBytes) {
    net::HttpClientDownloader downloader(chainFileUrl(baseUrl, toWide(name)), kTimeoutMs,
                                         kFollowRedirects);
    std::istream* stream = downloader.download(L"");
    std::string body;
    char buffer[64 * 1024];
    while (stream->read(buffer, sizeof buffer) || stream->gcount() > 0) {
        body.append(buffer, static_cast<std::size_t>(stream->gcount()));
        if (body.size() > maxBytes) {
            throw std::runtime_error(name + " passa de " + std::to_string(maxBytes) +
                                     " bytes: não é o arquivo publicado");
        }
    }
    if (stream->bad())
        throw std::runtime_error("a leitura de " + name + " falhou");
    return body;
}

// The 128 hexadecimal digits the hash file starts with, lower case.
std::string publishedHash(const std::string& file) {
    std::size_t begin = 0;
    if (file.compare(0, 3, "\xEF\xBB\xBF") == 0)
        begin = 3;  // a byte-order mark some editors leave
    std::string hex;
    std::size_t i = begin;
    for (; i < file.size() && std::isxdigit(static_cast<unsigned char>(file[i])); ++i)
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(file[i])));
    const bool ends =
        i == file.size() || file[i] == ' ' || file[i] == '\t' || file[i] == '\r' || file[i] == '\n';
    if (hex.size() != 128 || !ends) {
        throw std::runtime_error(
            "hashsha512.txt não traz um resumo SHA-512 (128 dígitos hexadecimais)");
    }
    return hex;
}

std::string sha512Hex(const std::string& bytes) {
    const std::vector<unsigned char> digest =
        signer::computeDigest(bytes.data(), static_cast<int>(bytes.size()), "sha512");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 0x0F];
    }
    return hex;
}

// True when the store the certificate belongs in already holds it.
bool storeHolds(const std::string& storeName, const signer::Certificate& certificate) {
    platform::CertStorePtr store = platform::openSystemStore(storeName);
    const bool held = store && store->findBySha1(platform::sha1Of(certificate.getEncoded()));
    platform::setLastError(platform::error::kSuccess);
    return held;
}

void reportFailure(InstallerControls& controls, const std::string& text) {
    setProgress(controls, 100);
    writeLog(controls,
             (L"Não foi possível instalar os certificados da ICP-Brasil. Erro: " + fromUtf8(text))
                 .c_str());
}

}  // namespace

OfficialInstallReport installOfficialArchive(InstallerControls& controls,
                                             const std::wstring& baseUrl) {
    OfficialInstallReport report;
    try {
        setProgress(controls, 0);
        writeLog(controls,
                 L"Baixando o resumo SHA-512 do arquivo de certificados da ICP-Brasil...");
        const std::string expected =
            publishedHash(downloadWhole(baseUrl, kHashFile, kMaxHashFileBytes));

        setProgress(controls, 5);
        writeLog(controls, L"Baixando o arquivo de certificados da ICP-Brasil...");
        const std::string archive = downloadWhole(baseUrl, kArchiveFile, kMaxArchiveBytes);

        setProgress(controls, 10);
        writeLog(controls, L"Conferindo o resumo SHA-512 do arquivo...");
        if (sha512Hex(archive) != expected) {
            throw std::runtime_error(
                "o resumo SHA-512 de ACcompactado.zip não confere com o publicado em "
                "hashsha512.txt; nada foi instalado");
        }

        setProgress(controls, 15);
        writeLog(controls, L"Lendo os certificados do arquivo...");
        std::vector<detection::ArchiveCertificate> certificates =
            detection::readCertificateArchive(archive);

        writeLog(controls, L"Conferindo as assinaturas das cadeias...");
        detection::checkOfficialSet(certificates);

        // Roots first: an authority is of no use before its root, and a root the user declines
        // then stops the run before its authorities are added.
        std::stable_partition(certificates.begin(), certificates.end(),
                              [](const detection::ArchiveCertificate& entry) {
                                  return signer::SystemRepository::storeNameFor(
                                             entry.certificate) == platform::kRootStore;
                              });
        setProgress(controls, 20);
        writeLog(controls, (L"Arquivo conferido: " + std::to_wstring(certificates.size()) +
                            L" certificados de raízes oficiais da ICP-Brasil.")
                               .c_str());

        signer::SystemRepository repository;
        for (std::size_t i = 0; i < certificates.size(); ++i) {
            const detection::ArchiveCertificate& entry = certificates[i];
            const std::wstring name = fromUtf8(entry.entryName);
            const int progress = 20 + static_cast<int>(80 * i / certificates.size());
            setProgress(controls, progress);
            OfficialCertificate done{entry.entryName, entry.certificate,
                                     signer::SystemRepository::storeNameFor(entry.certificate),
                                     false};
            if (storeHolds(done.store, entry.certificate)) {
                writeLog(controls, (L"Certificado em " + name + L" já está instalado.").c_str());
            } else {
                writeLog(controls, (L"Instalando certificado em " + name + L".").c_str());
                repository.addCertificate(entry.certificate);
                done.added = true;
            }
            report.certificates.push_back(std::move(done));
        }

        setProgress(controls, 100);
        writeLog(controls, L"Instalação dos certificados da ICP-Brasil concluída com sucesso.");
        report.succeeded = true;
    } catch (const std::exception& error) {
        reportFailure(controls, error.what());
    } catch (...) {
        reportFailure(controls, "Unknown error");
    }
    return report;
}

}  // namespace quor::installer
