// list, add, remove and verify: managing the user's certificate stores from the terminal.
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "cli/mirror_report_view.h"
#include "detection/certificate_chain_reader.h"
#include "installer/installer_prompts.h"
#include "platform/cert_store.h"
#include "platform/nss_mirror.h"
#include "signer/model/certificate.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"

namespace quor::cli {

namespace {

using signer::Certificate;
using signer::Repository;
using signer::SystemRepository;


// Certificates are a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaxCertificateFile = 16u << 20;

std::string hexText(const unsigned char* bytes, std::size_t size, char separator) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text += separator;
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string utcText(std::time_t time) {
    std::tm parts{};
    if (gmtime_r(&time, &parts) == nullptr)
        return "?";
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return buffer;
}

// ---------------------------------------------------------------------------------------------
// list

struct ListOptions {
    std::vector<std::string> stores;
    bool json = false;
};

nlohmann::json listEntry(const Certificate& certificate) {
    const nlohmann::json facts = certificateJson(certificate);
    return {{"fingerprint", facts.at("fingerprint")},
            {"subjectName", facts.at("subjectName")},
            {"notAfter", facts.at("notAfter")},
            {"role", roleName(roleOf(certificate))}};
}

void runList(const ListOptions& options) {
    const std::vector<std::string>& stores = options.stores.empty() ? kStoreNames : options.stores;
    SystemRepository repository;
    nlohmann::json result = {{"stores", nlohmann::json::array()}};
    std::ostringstream text;
    std::vector<std::vector<Certificate>> perStore;
    std::vector<platform::Bytes> ders;
    for (const std::string& name : stores) {
        std::vector<Certificate>& certificates = perStore.emplace_back();
        repository.visitStore(name, [&](const Certificate& certificate) {
            certificates.push_back(certificate);
            ders.push_back(certificate.getEncoded());
            return Repository::Continue;
        });
    }
    // Which of the user's NSS databases (browsers, mail) hold each certificate.
    const std::vector<platform::MirrorHoldings> mirrors = platform::readNssMirrors(ders);
    const std::vector<std::string> unsupported = platform::nssUnsupportedKeys(ders);
    std::size_t index = 0;
    for (std::size_t s = 0; s < stores.size(); ++s) {
        const std::string& name = stores[s];
        const std::vector<Certificate>& certificates = perStore[s];
        nlohmann::json entries = nlohmann::json::array();
        text << "Repositório " << name << ": " << certificates.size()
             << (certificates.size() == 1 ? " certificado\n" : " certificados\n");
        for (const Certificate& certificate : certificates) {
            nlohmann::json entry = listEntry(certificate);
            const nlohmann::json& notAfter = entry.at("notAfter");
            text << "  " << entry.at("fingerprint").get<std::string>() << "  "
                 << entry.at("subjectName").get<std::string>() << "  (válido até "
                 << (notAfter.is_string() ? notAfter.get<std::string>() : std::string("?")) << "; "
                 << roleLabel(roleOf(certificate)) << ")\n";
            nlohmann::json holders = nlohmann::json::array();
            std::string holderText;
            for (const platform::MirrorHoldings& mirror : mirrors) {
                if (!mirror.held[index])
                    continue;
                holders.push_back({{"program", mirror.mirror.program},
                                   {"profile", mirror.mirror.profile},
                                   {"directory", mirror.mirror.directory},
                                   {"trust", mirror.trust[index]}});
                holderText += (holderText.empty() ? "" : ", ") + mirror.mirror.label() + " [" +
                              mirror.trust[index] + "]";
            }
            if (!unsupported[index].empty())
                holderText = unsupportedLabel(unsupported[index]);
            text << "    bancos NSS: " << (holderText.empty() ? "nenhum" : holderText) << '\n';
            entry["mirrors"] = std::move(holders);
            entry["notSupportedByNss"] =
                unsupported[index].empty() ? nlohmann::json(nullptr)
                                           : nlohmann::json{{"keyType", unsupported[index]}};
            entries.push_back(std::move(entry));
            ++index;
        }
        result["stores"].push_back({{"name", name}, {"certificates", std::move(entries)}});
    }
    nlohmann::json databases = nlohmann::json::array();
    for (const platform::MirrorHoldings& mirror : mirrors) {
        databases.push_back({{"program", mirror.mirror.program},
                             {"profile", mirror.mirror.profile},
                             {"directory", mirror.mirror.directory},
                             {"status", platform::mirrorStatusName(mirror.status)},
                             {"note", mirror.note}});
        if (mirror.status != platform::MirrorStatus::Written) {
            text << "Banco NSS não lido: " << mirror.mirror.label() << " ["
                 << mirror.mirror.directory << "]: " << mirror.note << '\n';
        }
    }
    result["databases"] = std::move(databases);
    writeOutput(options.json ? dumpJson(result) : text.str());
}

// ---------------------------------------------------------------------------------------------
// add

struct AddOptions {
    std::vector<std::string> files;
    bool yes = false;
    bool json = false;
};

}  // namespace

FileCertificates readCertificateFile(const std::string& file) {
    const std::string content = readInputFile(file, kMaxCertificateFile);
    FileCertificates read{file, {}};
    std::istringstream bundleStream(content);
    try {
        signer::CertificateChain chain = detection::readCertificateBundle(bundleStream);
        read.certificates.assign(chain.certificates.begin(), chain.certificates.end());
        return read;
    } catch (const detection::BundleReadError& error) {
        if (error.problem() != detection::BundleProblem::NotPkcs7) {
            throw CommandError("'" + file + "': " + error.what());
        }
    }
    try {
        read.certificates.emplace_back(content);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // The library's message quotes the whole input; the file name says enough.
        throw CommandError("'" + file +
                           "' não é um certificado (PEM, DER ou Base64) nem um pacote PKCS#7 "
                           "em DER");
    }
    return read;
}

namespace {

// True when "ROOT" already holds exactly this certificate (adding it again asks nothing).
bool storeHolds(std::string_view name, const Certificate& certificate) {
    platform::CertStorePtr store = platform::openSystemStore(name);
    const bool held = store && store->findBySha1(platform::sha1Of(certificate.getEncoded()));
    platform::setLastError(platform::error::kSuccess);
    return held;
}

bool rootStoreHolds(const Certificate& certificate) {
    return storeHolds(platform::kRootStore, certificate);
}

// Asks on the terminal before a certificate becomes a trusted root. Remembers why it refused
// so the failure can be explained.
class RootConfirmation {
  public:
    explicit RootConfirmation(bool approveAll) : approveAll_(approveAll) {}

    bool operator()(const platform::RootAddRequest& request) {
        if (approveAll_)
            return true;
        if (isatty(STDIN_FILENO) == 0) {
            refusedWithoutTerminal_ = true;
            return false;
        }
        std::cerr << "Adicionar às autoridades raiz confiáveis?\n"
                  << "  Titular:        " << request.subjectDisplayName << '\n'
                  << "  Emissor:        " << request.issuerDisplayName << '\n'
                  << "  Válido de:      " << utcText(request.notBefore) << '\n'
                  << "  Válido até:     " << utcText(request.notAfter) << '\n'
                  << "  SHA-1:          " << hexText(request.sha1.data(), request.sha1.size(), ':')
                  << '\n'
                  << "  SHA-256:        "
                  << hexText(request.sha256.data(), request.sha256.size(), ':') << '\n'
                  << installer::rootOrigin(request).text << '\n'
                  << "Confirmar? [s/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer))
            return false;
        return answer == "s" || answer == "S" || answer == "sim" || answer == "y" ||
               answer == "Y" || answer == "yes";
    }

    bool refusedWithoutTerminal() const { return refusedWithoutTerminal_; }

  private:
    bool approveAll_;
    bool refusedWithoutTerminal_ = false;
};

}  // namespace

bool confirmTrustedRootOnTerminal(const platform::RootAddRequest& request) {
    return RootConfirmation(false)(request);
}

namespace {

// Keeps a root-add handler registered for the command's length only.
class ScopedRootHandler {
  public:
    explicit ScopedRootHandler(platform::RootAddHandler handler)
        : previous_(platform::setRootAddHandler(std::move(handler))) {}
    ~ScopedRootHandler() { platform::setRootAddHandler(std::move(previous_)); }
    ScopedRootHandler(const ScopedRootHandler&) = delete;
    ScopedRootHandler& operator=(const ScopedRootHandler&) = delete;

  private:
    platform::RootAddHandler previous_;
};

void runAdd(const AddOptions& options) {
    // Every file is read before anything is added, so a bad file leaves the stores untouched.
    std::vector<FileCertificates> files;
    for (const std::string& file : options.files)
        files.push_back(readCertificateFile(file));

    // Without a terminal nobody can be asked: refuse before adding anything rather than stop
    // half-way, when some root would really be added.
    if (!options.yes && isatty(STDIN_FILENO) == 0) {
        for (const FileCertificates& file : files) {
            for (const Certificate& certificate : file.certificates) {
                if (SystemRepository::storeNameFor(certificate) == platform::kRootStore &&
                    !rootStoreHolds(certificate)) {
                    throw CommandError(
                        "'" + file.file +
                        "': " + certificateJson(certificate).at("subjectName").get<std::string>() +
                        ": incluir uma raiz confiável pede confirmação em um terminal; rode com "
                        "--yes para aprová-la (nada foi adicionado)");
                }
            }
        }
    }

    auto confirmation = std::make_shared<RootConfirmation>(options.yes);
    const ScopedRootHandler handler([confirmation](const platform::RootAddRequest& request) {
        return (*confirmation)(request);
    });

    SystemRepository repository;
    const platform::StoreSession storeSession;
    // The user's NSS databases get every addition of the command at once, each opened once; the
    // additions made before an error are copied too.
    platform::MirrorBatch mirrorBatch;
    nlohmann::json results = nlohmann::json::array();
    std::ostringstream text;
    std::size_t added = 0;
    // Certificates the user's NSS databases cannot hold are said once, after the list.
    const platform::MirrorReportScope mirrors;
    for (const FileCertificates& file : files) {
        for (const Certificate& certificate : file.certificates) {
            std::string store = SystemRepository::storeNameFor(certificate);
            const nlohmann::json facts = certificateJson(certificate);
            bool isNew = false;
            try {
                isNew = repository.addCertificate(certificate);
            } catch (const signer::CertificateAdditionException& error) {
                // What was added before stays added: say so before the error line.
                if (!options.json)
                    writeOutput(text.str());
                std::string message = "'" + file.file +
                                      "': " + facts.at("subjectName").get<std::string>() + ": " +
                                      error.what();
                if (confirmation->refusedWithoutTerminal()) {
                    message +=
                        " (uma raiz confiável pede confirmação em um terminal; use --yes para "
                        "aprová-la)";
                }
                if (added > 0) {
                    message += "; " + std::to_string(added) +
                               (added == 1 ? " certificado adicionado antes"
                                           : " certificados adicionados antes");
                }
                throw CommandError(message);
            }
            // The certificate a waiting certificate request asked for joins its key in "MY"
            // instead of going to "AddressBook".
            if (isNew && store == platform::kAddressBookStore &&
                !storeHolds(platform::kAddressBookStore, certificate)) {
                store = platform::kPersonalStore;
            }
            if (isNew)
                ++added;
            text << facts.at("fingerprint").get<std::string>() << "  "
                 << facts.at("subjectName").get<std::string>() << " -> " << store << " ("
                 << (isNew ? "adicionado" : "já presente") << ")\n";
            results.push_back({{"file", file.file},
                               {"fingerprint", facts.at("fingerprint")},
                               {"subjectName", facts.at("subjectName")},
                               {"store", store},
                               {"added", isNew}});
        }
    }
    mirrorBatch.flush();
    text << unsupportedText(mirrors.report(), "");
    writeOutput(options.json ? dumpJson({{"results", results},
                                         {"notSupportedByNss", unsupportedJson(mirrors.report())}})
                             : text.str());
}

// ---------------------------------------------------------------------------------------------
// remove

struct RemoveOptions {
    std::vector<std::string> fingerprints;
    bool json = false;
};

// The part of a mirror report that concerns one certificate: each database's status, the
// changes made for that certificate, and the notes not about another certificate's change.
platform::MirrorReport reportFor(const platform::MirrorReport& all, const std::string& fingerprint) {
    platform::MirrorReport own;
    for (const platform::MirrorResult& result : all.results) {
        platform::MirrorResult mine;
        mine.mirror = result.mirror;
        mine.status = result.status;
        std::vector<std::string> ownNames;
        std::vector<std::string> otherNames;
        for (const platform::MirrorChange& change : result.changes) {
            if (boost::algorithm::iequals(fingerprintText(change.sha1), fingerprint)) {
                mine.changes.push_back(change);
                ownNames.push_back(change.nickname + ": ");
            } else {
                otherNames.push_back(change.nickname + ": ");
            }
        }
        auto startsWithAny = [](const std::string& note, const std::vector<std::string>& names) {
            return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
                return note.rfind(name, 0) == 0;
            });
        };
        for (const std::string& note : result.notes) {
            if (startsWithAny(note, ownNames) || !startsWithAny(note, otherNames))
                mine.notes.push_back(note);
        }
        // A database this certificate was not in shows nothing, as when it was removed alone.
        if (!mine.changes.empty() || !mine.notes.empty() ||
            mine.status != platform::MirrorStatus::Written) {
            own.results.push_back(std::move(mine));
        }
    }
    return own;
}

void runRemove(const RemoveOptions& options) {
    std::vector<std::string> fingerprints;
    for (const std::string& text : options.fingerprints) {
        fingerprints.push_back(fingerprintArgument(text));
    }
    SystemRepository repository;
    const platform::StoreSession storeSession;
    // The removals reach the user's NSS databases (browsers, mail) together, each database
    // opened once; each fingerprint is then shown what was done for it.
    std::vector<std::vector<std::string>> removedFrom;
    platform::MirrorReport mirrors;
    {
        const platform::MirrorReportScope scope;
        {
            const platform::MirrorBatch batch;
            for (const std::string& fingerprint : fingerprints)
                removedFrom.push_back(repository.removeCertificate(fingerprint));
        }
        mirrors = scope.report();
    }
    nlohmann::json results = nlohmann::json::array();
    std::ostringstream text;
    for (std::size_t f = 0; f < fingerprints.size(); ++f) {
        const std::string& fingerprint = fingerprints[f];
        const std::vector<std::string>& stores = removedFrom[f];
        const platform::MirrorReport own =
            stores.empty() ? platform::MirrorReport{} : reportFor(mirrors, fingerprint);
        text << fingerprint << ": ";
        if (stores.empty()) {
            text << "não está em nenhum repositório\n";
        } else {
            text << "removido de ";
            for (std::size_t i = 0; i < stores.size(); ++i)
                text << (i ? ", " : "") << stores[i];
            text << '\n' << mirrorReportText(own, "  ");
        }
        results.push_back({{"fingerprint", fingerprint},
                           {"removedFrom", stores},
                           {"mirrors", mirrorReportJson(own)}});
    }
    writeOutput(options.json ? dumpJson({{"results", results}}) : text.str());
}

// ---------------------------------------------------------------------------------------------
// verify

struct VerifyOptions {
    std::string fingerprint;
    bool json = false;
};

void runVerify(const VerifyOptions& options) {
    const std::string fingerprint = fingerprintArgument(options.fingerprint);
    SystemRepository repository;
    std::optional<Certificate> certificate;
    try {
        certificate.emplace(repository.findCertificate(fingerprint));
    } catch (const signer::CertificateNotFoundException&) {
        throw CommandError("nenhum repositório guarda o certificado " + fingerprint);
    }
    const signer::CertificateChain chain = repository.buildChain(*certificate);
    writeOutput(options.json ? dumpJson(chainJson(chain)) : chainText(chain));
}

const char* const kJsonHelp =
    "imprime os mesmos dados como um objeto JSON (nomes de membros da biblioteca)";

}  // namespace

void registerStoreCommands(CLI::App& app) {
    {
        auto options = std::make_shared<ListOptions>();
        CLI::App* command = app.add_subcommand(
            "list",
            "Lista os certificados dos repositórios do usuário (todos, se nenhum for "
            "dado): impressão digital SHA-1, titular, fim da validade e papel.");
        command->add_option("REPOSITORIO", options->stores, "MY, AddressBook, CA ou ROOT")
            ->check(oneOf(kStoreNames));
        command->add_flag("--json", options->json, kJsonHelp);
        command->footer(
            "Exemplos:\n  quor-certs list\n  quor-certs list ROOT CA\n"
            "  quor-certs list --json ROOT\n");
        command->callback([options] { runList(*options); });
    }
    {
        auto options = std::make_shared<AddOptions>();
        CLI::App* command = app.add_subcommand(
            "add",
            "Adiciona os certificados de cada arquivo (certificado como um \".crt\" ou "
            "pacote PKCS#7 em DER) ao repositório do seu papel: raízes em ROOT, outras "
            "autoridades em CA, demais em AddressBook. Raízes pedem confirmação.");
        command->add_option("ARQUIVO", options->files, "arquivo de certificado ou pacote")
            ->required();
        command->add_flag("--yes,-y", options->yes,
                          "aprova sem perguntar a inclusão de raízes confiáveis");
        command->add_flag("--json", options->json, kJsonHelp);
        command->footer(
            "Exemplos:\n  quor-certs add ICP-Brasilv10.crt AC-SERPRO-SSLv1-v10.crt\n"
            "  quor-certs add --yes cadeia.p7b\n");
        command->callback([options] { runAdd(*options); });
    }
    {
        auto options = std::make_shared<RemoveOptions>();
        CLI::App* command =
            app.add_subcommand("remove",
                               "Remove o certificado de cada impressão digital SHA-1 de todos os "
                               "repositórios que o têm e diz de quais.");
        command
            ->add_option("IMPRESSAO", options->fingerprints,
                         "impressão digital SHA-1 (\"ab cd ...\", \"AB:CD:...\" ou \"abcd...\")")
            ->required();
        command->add_flag("--json", options->json, kJsonHelp);
        command->footer(
            "Exemplos:\n  quor-certs remove 'ab 12 ... 9f'\n"
            "  quor-certs remove AB:12:...:9F\n");
        command->callback([options] { runRemove(*options); });
    }
    {
        auto options = std::make_shared<VerifyOptions>();
        CLI::App* command = app.add_subcommand(
            "verify",
            "Mostra a cadeia que o sistema monta para um certificado dos repositórios: "
            "situação e certificados, do mais baixo à raiz.");
        command->add_option("IMPRESSAO", options->fingerprint, "impressão digital SHA-1")
            ->required();
        command->add_flag("--json", options->json, kJsonHelp);
        command->footer(
            "Exemplos:\n  quor-certs verify AB:12:...:9F\n"
            "  quor-certs verify --json 'ab 12 ... 9f'\n");
        command->callback([options] { runVerify(*options); });
    }
}

}  // namespace quor::cli
