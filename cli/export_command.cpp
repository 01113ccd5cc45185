// export: the certificates of the user's stores for programs that keep a trust store of their
// own: a PEM bundle (curl, OpenSSL, Python, PHP) or a PKCS#12 trust store (Java). Only
// certificates ever leave: private keys are not read at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "platform/openssl_ptr.h"
#include "signer/model/certificate.h"
#include "signer/repository/system_repository.h"

namespace quor::cli {

namespace {

using signer::Certificate;
using signer::Repository;
using signer::SystemRepository;

// A trust store holds authorities; personal and other people's certificates only when asked.
const std::vector<std::string> kDefaultStores{"ROOT", "CA"};

// The attribute Java's PKCS12KeyStore reads to take a certificate bag as a trusted certificate
// entry (Oracle's "trusted key usage"); its value lists the usages the certificate is trusted
// for, here anyExtendedKeyUsage (RFC 5280, 4.2.1.12), as keytool itself writes it.
constexpr const char* kJavaTrustedKeyUsageOid = "2.16.840.1.113894.746875.1.1";
constexpr const char* kAnyExtendedKeyUsageOid = "2.5.29.37.0";

struct ExportOptions {
    std::vector<std::string> stores;
    std::string format = "pem";
    std::string output;
    bool json = false;
};

struct Exported {
    Certificate certificate;
    std::string store;
    std::string subjectName;
    std::string fingerprint;
};

// One line of certificate text for a comment: control characters would break the bundle's
// layout, so they become spaces.
std::string commentText(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            c = ' ';
    }
    return text;
}

std::string pemBundle(const std::vector<Exported>& certificates) {
    std::string bundle;
    for (const Exported& entry : certificates) {
        bundle += "# " + commentText(entry.subjectName) + "\n# SHA-1: " + entry.fingerprint +
                  "\n" + pemOf(entry.certificate);
    }
    return bundle;
}

// Aliases of a Java key store are compared without case; each entry needs its own.
std::string uniqueAlias(const std::string& name, std::set<std::string>& taken) {
    auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    const std::string base = name.empty() ? "certificado" : commentText(name);
    std::string alias = base;
    for (int n = 2; !taken.insert(lower(alias)).second; ++n)
        alias = base + " (" + std::to_string(n) + ")";
    return alias;
}

void failPkcs12() {
    throw CommandError("não foi possível montar o arquivo PKCS#12");
}

// A PKCS#12 trust store: one unencrypted certificate bag per certificate, each with its alias
// (friendlyName) and the Java trust attribute, no key bag, and no MAC, as there is no secret
// to protect (Java and OpenSSL read such a store without a password).
std::string pkcs12TrustStore(const std::vector<Exported>& certificates) {
    openssl::Asn1ObjectPtr anyUsage{OBJ_txt2obj(kAnyExtendedKeyUsageOid, 1)};
    openssl::Pkcs12SafeBagStackPtr bags{sk_PKCS12_SAFEBAG_new_null()};
    if (!anyUsage || !bags)
        failPkcs12();
    std::set<std::string> aliases;
    for (const Exported& entry : certificates) {
        const std::vector<unsigned char> der = entry.certificate.getEncoded();
        const unsigned char* cursor = der.data();
        openssl::X509Ptr x509{d2i_X509(nullptr, &cursor, static_cast<long>(der.size()))};
        if (!x509)
            failPkcs12();
        openssl::Pkcs12SafeBagPtr bag{PKCS12_SAFEBAG_create_cert(x509.get())};
        const std::string alias = uniqueAlias(entry.subjectName, aliases);
        if (!bag ||
            PKCS12_add_friendlyname_utf8(bag.get(), alias.c_str(),
                                         static_cast<int>(alias.size())) != 1 ||
            PKCS12_add1_attr_by_txt(bag.get(), kJavaTrustedKeyUsageOid, V_ASN1_OBJECT,
                                    reinterpret_cast<const unsigned char*>(anyUsage.get()),
                                    -1) != 1 ||
            sk_PKCS12_SAFEBAG_push(bags.get(), bag.get()) == 0) {
            failPkcs12();
        }
        bag.release();  // the stack owns it now
    }
    STACK_OF(PKCS7)* rawSafes = nullptr;
    // nid_safe -1: the certificates are public, the safe is stored unencrypted.
    const int added = PKCS12_add_safe(&rawSafes, bags.get(), -1, 0, nullptr);
    openssl::Pkcs7StackPtr safes{rawSafes};
    if (added != 1)
        failPkcs12();
    openssl::Pkcs12Ptr p12{PKCS12_add_safes(safes.get(), 0)};
    if (!p12)
        failPkcs12();
    unsigned char* raw = nullptr;
    const int size = i2d_PKCS12(p12.get(), &raw);
    const openssl::OpenSslMemoryPtr owned{raw};
    if (size <= 0)
        failPkcs12();
    return std::string(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(size));
}

// Writes the whole file beside its final name, then renames it: a failed export leaves an
// existing file as it was and never a half-written one.
void writeExportFile(const std::filesystem::path& path, const std::string& content) {
    const std::string target = path.string();
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw CommandError("não foi possível gravar '" + target + "': é uma pasta");
    const std::string temporary = target + ".quor-tmp-" + std::to_string(getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw CommandError("não foi possível gravar '" + target + "': " + std::strerror(errno));
    }
    std::size_t written = 0;
    int cause = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            cause = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (cause == 0 && ::fsync(fd) != 0)
        cause = errno;
    if (::close(fd) != 0 && cause == 0)
        cause = errno;
    if (cause == 0 && std::rename(temporary.c_str(), target.c_str()) != 0)
        cause = errno;
    if (cause != 0) {
        ::unlink(temporary.c_str());
        throw CommandError("não foi possível gravar '" + target + "': " + std::strerror(cause));
    }
}

void runExport(const ExportOptions& options) {
    const std::vector<std::string>& stores =
        options.stores.empty() ? kDefaultStores : options.stores;
    SystemRepository repository;
    std::vector<Exported> certificates;
    std::set<std::string> seen;
    for (const std::string& store : stores) {
        repository.visitStore(store, [&](const Certificate& certificate) {
            const nlohmann::json facts = certificateJson(certificate);
            const std::string fingerprint = facts.at("fingerprint").get<std::string>();
            // A certificate kept in two stores is one entry of the trust store.
            if (seen.insert(fingerprint).second) {
                certificates.push_back(
                    {certificate, store, facts.at("subjectName").get<std::string>(), fingerprint});
            }
            return Repository::Continue;
        });
    }
    std::string storeList;
    for (const std::string& store : stores)
        storeList += (storeList.empty() ? "" : ", ") + store;
    if (certificates.empty()) {
        throw CommandError("nenhum certificado em " + storeList + ": nada foi gravado em '" +
                           options.output + "'");
    }

    writeExportFile(options.output, options.format == "pkcs12" ? pkcs12TrustStore(certificates)
                                                               : pemBundle(certificates));

    nlohmann::json entries = nlohmann::json::array();
    std::ostringstream text;
    text << certificates.size()
         << (certificates.size() == 1 ? " certificado gravado" : " certificados gravados")
         << " em " << options.output << " ("
         << (options.format == "pkcs12" ? "PKCS#12, entradas confiáveis, sem chaves" : "PEM")
         << "):\n";
    for (const Exported& entry : certificates) {
        text << "  " << entry.fingerprint << "  " << commentText(entry.subjectName) << "  ("
             << entry.store << ")\n";
        entries.push_back({{"fingerprint", entry.fingerprint},
                           {"subjectName", entry.subjectName},
                           {"store", entry.store}});
    }
    writeOutput(options.json ? dumpJson({{"file", options.output},
                                         {"format", options.format},
                                         {"certificates", std::move(entries)}})
                             : text.str());
}

}  // namespace

void registerExportCommand(CLI::App& app) {
    auto options = std::make_shared<ExportOptions>();
    CLI::App* command = app.add_subcommand(
        "export",
        "Grava os certificados dos repositórios (ROOT e CA, se nenhum for dado) em um arquivo "
        "para programas com repositório de confiança próprio: um pacote PEM (curl, OpenSSL, "
        "Python, PHP) ou um repositório PKCS#12 de certificados confiáveis (Java). Chaves "
        "privadas nunca são exportadas.");
    command->add_option("REPOSITORIO", options->stores, "MY, AddressBook, CA ou ROOT")
        ->check(oneOf(kStoreNames));
    command->add_option("--format", options->format, "pem (padrão) ou pkcs12")
        ->check(oneOf({"pem", "pkcs12"}));
    command->add_option("-o,--output", options->output, "arquivo a gravar (substituído se existir)")
        ->required();
    command->add_flag("--json", options->json,
                      "imprime os mesmos dados como um objeto JSON (nomes de membros da "
                      "biblioteca)");
    command->footer(
        "Exemplos:\n"
        "  quor-certs export -o icp-brasil.pem\n"
        "  curl --cacert icp-brasil.pem https://exemplo.gov.br/\n"
        "  REQUESTS_CA_BUNDLE=icp-brasil.pem python3 cliente.py\n"
        "  quor-certs export --format pkcs12 -o icp-brasil.p12\n"
        "  java -Djavax.net.ssl.trustStore=icp-brasil.p12 -Djavax.net.ssl.trustStoreType=PKCS12 "
        "Cliente\n");
    command->callback([options] { runExport(*options); });
}

}  // namespace quor::cli
