#include "detection/official_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "detection/official_roots.h"
#include "signer/model/digest.h"

namespace quor::detection {

namespace {

struct ArchiveFree {
    void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

std::string errorOf(archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : "erro desconhecido";
}

bool endsWithCrt(const std::string& name) {
    if (name.size() < 4)
        return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".crt";
}

// An entry name that, unpacked by anyone, would land outside the folder it is unpacked into.
bool escapesFolder(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\')
        return true;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return true;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = name.find_first_of("/\\", start);
        const std::size_t stop = end == std::string::npos ? name.size() : end;
        if (name.compare(start, stop - start, "..") == 0 && stop - start == 2)
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

std::string entryNameOf(archive_entry* entry) {
    const char* name = archive_entry_pathname_utf8(entry);
    if (name == nullptr)
        name = archive_entry_pathname(entry);
    if (name == nullptr)
        throw ArchiveError("o arquivo tem uma entrada sem nome");
    return name;
}

// The entry's whole content, counting it against what the archive may still unpack.
std::string readEntry(archive* reader, const std::string& name, std::uint64_t& remaining,
                      std::uint64_t limit) {
    std::string content;
    char buffer[64 * 1024];
    for (;;) {
        const la_ssize_t got = archive_read_data(reader, buffer, sizeof buffer);
        if (got == 0)
            return content;
        if (got < 0) {
            throw ArchiveError("a entrada \"" + name + "\" do arquivo está danificada (" +
                               errorOf(reader) + ")");
        }
        if (static_cast<std::uint64_t>(got) > remaining) {
            throw ArchiveError("o arquivo descompactado passa do limite de " +
                               std::to_string(limit) + " bytes");
        }
        remaining -= static_cast<std::uint64_t>(got);
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::array<unsigned char, 32> sha256Of(const signer::Certificate& certificate) {
    const std::vector<unsigned char> der = certificate.getEncoded();
    const std::vector<unsigned char> digest =
        signer::computeDigest(der.data(), static_cast<int>(der.size()), "sha256");
    std::array<unsigned char, 32> out{};
    std::copy_n(digest.begin(), std::min(digest.size(), out.size()), out.begin());
    return out;
}

std::vector<ArchiveCertificate> readCertificateArchive(std::string_view bytes,
                                                       const ArchiveLimits& limits) {
    if (bytes.empty())
        throw ArchiveError("o arquivo baixado está vazio");
    ArchiveReader reader(archive_read_new());
    if (!reader)
        throw ArchiveError("sem memória para ler o arquivo");
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        throw ArchiveError("o arquivo baixado não é um arquivo zip válido (" +
                           errorOf(reader.get()) + ")");
    }

    std::vector<ArchiveCertificate> certificates;
    std::uint64_t remaining = limits.maxTotalBytes;
    std::size_t entries = 0;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
            throw ArchiveError("o arquivo baixado não é um arquivo zip válido (" +
                               errorOf(reader.get()) + ")");
        }
        if (++entries > limits.maxEntries) {
            throw ArchiveError("o arquivo tem mais de " + std::to_string(limits.maxEntries) +
                               " entradas");
        }
        const std::string name = entryNameOf(entry);
        if (escapesFolder(name)) {
            throw ArchiveError("a entrada \"" + name +
                               "\" do arquivo tem um nome absoluto ou com \"..\"");
        }
        if (archive_entry_is_encrypted(entry)) {
            throw ArchiveError("a entrada \"" + name + "\" do arquivo está cifrada");
        }
        const auto type = archive_entry_filetype(entry);
        if (type == AE_IFDIR)
            continue;
        if (type != AE_IFREG) {
            throw ArchiveError("a entrada \"" + name + "\" do arquivo não é um arquivo comum");
        }
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) >= 0 &&
            static_cast<std::uint64_t>(archive_entry_size(entry)) > remaining) {
            throw ArchiveError("o arquivo descompactado passa do limite de " +
                               std::to_string(limits.maxTotalBytes) + " bytes");
        }
        const std::string content = readEntry(reader.get(), name, remaining, limits.maxTotalBytes);
        if (!endsWithCrt(name))
            continue;
        try {
            certificates.push_back({name, signer::Certificate(content)});
        } catch (const std::exception&) {
            throw ArchiveError("a entrada \"" + name + "\" do arquivo não contém um certificado");
        }
    }
    if (certificates.empty())
        throw ArchiveError("o arquivo não contém nenhum certificado (.crt)");
    return certificates;
}

void checkOfficialSet(const std::vector<ArchiveCertificate>& certificates) {
    const std::size_t count = certificates.size();
    std::vector<X509*> x509(count);
    for (std::size_t i = 0; i < count; ++i)
        x509[i] = certificates[i].certificate.nativeHandle();

    // Every self-issued certificate must be an official root; those are where chains may end.
    std::vector<bool> trusted(count, false);
    std::deque<std::size_t> reached;
    for (std::size_t i = 0; i < count; ++i) {
        if (X509_NAME_cmp(X509_get_subject_name(x509[i]), X509_get_issuer_name(x509[i])) != 0)
            continue;
        if (!officialRootVersion(sha256Of(certificates[i].certificate))) {
            throw ArchiveError("o certificado \"" + certificates[i].entryName +
                               "\" é uma raiz que não é raiz oficial da ICP-Brasil");
        }
        trusted[i] = true;
        reached.push_back(i);
    }

    // Children by the issuer name they carry, so each candidate pair is looked at once.
    std::multimap<std::string, std::size_t> byIssuer;
    auto nameKey = [](const X509_NAME* name) {
        const unsigned char* der = nullptr;
        std::size_t length = 0;
        X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &length);
        return std::string(reinterpret_cast<const char*>(der), length);
    };
    for (std::size_t i = 0; i < count; ++i) {
        if (!trusted[i])
            byIssuer.emplace(nameKey(X509_get_issuer_name(x509[i])), i);
    }

    // From the official roots down: a certificate is reached when an already reached one issued
    // it and its signature verifies under that issuer's key.
    while (!reached.empty()) {
        const std::size_t issuer = reached.front();
        reached.pop_front();
        EVP_PKEY* key = X509_get0_pubkey(x509[issuer]);
        if (key == nullptr)
            continue;  // a key OpenSSL cannot decode verifies nothing
        const auto [first, last] =
            byIssuer.equal_range(nameKey(X509_get_subject_name(x509[issuer])));
        for (auto it = first; it != last; ++it) {
            const std::size_t child = it->second;
            if (trusted[child])
                continue;
            if (X509_check_issued(x509[issuer], x509[child]) == X509_V_OK &&
                X509_verify(x509[child], key) == 1) {
                trusted[child] = true;
                reached.push_back(child);
            }
        }
    }
    // Failed verifications leave OpenSSL's error queue filled; they were answers, not errors.
    ERR_clear_error();
    for (std::size_t i = 0; i < count; ++i) {
        if (!trusted[i]) {
            throw ArchiveError("o certificado \"" + certificates[i].entryName +
                               "\" não se liga, por assinatura, a uma raiz oficial da ICP-Brasil");
        }
    }
}

}  // namespace quor::detection
