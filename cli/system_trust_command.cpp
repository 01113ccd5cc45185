// system: authority certificates in the system's trust (for curl, OpenSSL, Python, PHP and every
// other program that reads the system bundle), only as root and only in a place of our own, so
// that "remove" takes back exactly what "add" put there and nothing of the system's.
//
// Debian and Ubuntu: a folder of ours under /usr/local/share/ca-certificates, then
// update-ca-certificates. Fedora-like systems: files named quor-*.crt in
// /etc/pki/ca-trust/source/anchors, then update-ca-trust. Tests point the Debian layout at a
// temporary tree with QUOR_SYSTEM_TRUST_ROOT (a folder standing for "/"), read only here.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "platform/cert_info.h"
#include "platform/openssl_ptr.h"
#include "signer/model/certificate.h"
#include "signer/repository/system_repository.h"

namespace quor::cli {

namespace {

namespace fs = std::filesystem;
using signer::Certificate;

const char* const kFolderName = "quor-chain-installer";
const char* const kFilePrefix = "quor-";

struct TrustLayout {
    fs::path folder;                   // where our files go
    std::vector<std::string> update;   // the command that rebuilds the system's trust
    std::vector<std::string> refresh;  // the same after a removal
};

bool executable(const fs::path& path) {
    return access(path.c_str(), X_OK) == 0;
}

TrustLayout trustLayout() {
    if (const char* root = std::getenv("QUOR_SYSTEM_TRUST_ROOT"); root != nullptr && *root) {
        const fs::path r = root;
        std::vector<std::string> update{"update-ca-certificates",
                                        "--certsconf", (r / "etc/ca-certificates.conf").string(),
                                        "--certsdir", (r / "usr/share/ca-certificates").string(),
                                        "--localcertsdir",
                                        (r / "usr/local/share/ca-certificates").string(),
                                        "--etccertsdir", (r / "etc/ssl/certs").string(),
                                        "--hooksdir", (r / "etc/ca-certificates/update.d").string()};
        std::vector<std::string> refresh = update;
        refresh.push_back("--fresh");
        return {r / "usr/local/share/ca-certificates" / kFolderName, update, refresh};
    }
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        if (executable(fs::path(dir) / "update-ca-certificates")) {
            const std::string tool = (fs::path(dir) / "update-ca-certificates").string();
            // After a removal the links of the removed files are only dropped by a fresh run.
            return {fs::path("/usr/local/share/ca-certificates") / kFolderName, {tool},
                    {tool, "--fresh"}};
        }
    }
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
        if (executable(fs::path(dir) / "update-ca-trust")) {
            const std::string tool = (fs::path(dir) / "update-ca-trust").string();
            return {"/etc/pki/ca-trust/source/anchors", {tool, "extract"}, {tool, "extract"}};
        }
    }
    throw CommandError(
        "nem update-ca-certificates nem update-ca-trust foram encontrados: instale o pacote "
        "ca-certificates");
}

std::string sha1Hex(const Certificate& certificate) {
    std::string hex;
    for (char c : certificate.getFingerprint())
        if (c != ' ')
            hex += c;
    return hex;
}

fs::path fileFor(const TrustLayout& layout, const std::string& hex) {
    return layout.folder / (kFilePrefix + hex + ".crt");
}

// The certificates of ours in the system's trust, by SHA-1 (hexadecimal, no spaces).
std::vector<std::pair<std::string, Certificate>> ourCertificates(const TrustLayout& layout) {
    std::vector<std::pair<std::string, Certificate>> found;
    std::error_code error;
    if (!fs::is_directory(layout.folder, error))
        return found;
    std::set<fs::path> files;
    for (const auto& item : fs::directory_iterator(layout.folder, error)) {
        const std::string name = item.path().filename().string();
        if (name.rfind(kFilePrefix, 0) == 0 && item.path().extension() == ".crt")
            files.insert(item.path());
    }
    for (const fs::path& file : files) {
        try {
            Certificate certificate(readInputFile(file, 1u << 20));
            found.emplace_back(sha1Hex(certificate), certificate);
        } catch (const std::exception&) {
            // A damaged file of ours is listed by name only through "remove"; skip it here.
        }
    }
    return found;
}

// Runs the trust-rebuilding command and fails with its exit status when it fails. Its own
// report goes to standard error, so standard output keeps only ours.
void runUpdate(const std::vector<std::string>& command) {
    std::cerr << std::flush;
    const pid_t child = fork();
    if (child < 0)
        throw CommandError(std::string("não foi possível executar ") + command[0]);
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& arg : command)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw CommandError(command[0] + " falhou (saída " +
                           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128) +
                           "); veja as mensagens acima");
    }
}

// Changing the system's trust is for root; anyone else is told the command to run.
void requireRoot(const std::vector<std::string>& words) {
    if (geteuid() == 0)
        return;
    std::string command = "sudo quor-certs";
    for (const std::string& word : words) {
        const bool plain = word.find_first_of(" '\"\\$`;&|<>()*?!") == std::string::npos &&
                           !word.empty();
        command += " " + (plain ? word : "'" + word + "'");
    }
    throw CommandError("alterar a confiança do sistema exige root; nada foi alterado. Execute: " +
                       command);
}

// The authorities of a user's "ROOT" and "CA" stores. Under sudo the stores are those of the
// user who called sudo, read by a child process with that user's identity, so nothing in the
// user's home is created or touched by root.
std::vector<Certificate> userAuthorities() {
    const char* sudoUid = std::getenv("SUDO_UID");
    const char* sudoGid = std::getenv("SUDO_GID");
    auto readStores = [] {
        std::vector<Certificate> certificates;
        signer::SystemRepository repository;
        for (const char* store : {"ROOT", "CA"}) {
            repository.visitStore(store, [&](const Certificate& certificate) {
                certificates.push_back(certificate);
                return signer::Repository::Continue;
            });
        }
        return certificates;
    };
    if (geteuid() != 0 || sudoUid == nullptr || sudoGid == nullptr || std::atoi(sudoUid) == 0)
        return readStores();

    const uid_t uid = static_cast<uid_t>(std::strtoul(sudoUid, nullptr, 10));
    const gid_t gid = static_cast<gid_t>(std::strtoul(sudoGid, nullptr, 10));
    const passwd* user = getpwuid(uid);
    if (user == nullptr || user->pw_dir == nullptr)
        throw CommandError("o usuário " + std::string(sudoUid) + " (SUDO_UID) não existe");
    const std::string home = user->pw_dir;
    int channel[2];
    if (pipe(channel) != 0)
        throw CommandError("não foi possível ler os repositórios do usuário");
    std::cout << std::flush;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        int code = 1;
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
            setenv("HOME", home.c_str(), 1);
            unsetenv("XDG_DATA_HOME");
            try {
                const fs::path store = fs::path(home) / ".local/share/quor/certstore.db";
                std::string out;
                if (fs::exists(store)) {
                    for (const Certificate& certificate : readStores()) {
                        const std::vector<unsigned char> der = certificate.getEncoded();
                        const std::uint32_t size = static_cast<std::uint32_t>(der.size());
                        out.append(reinterpret_cast<const char*>(&size), sizeof size);
                        out.append(der.begin(), der.end());
                    }
                }
                std::size_t done = 0;
                while (done < out.size()) {
                    const ssize_t n = write(channel[1], out.data() + done, out.size() - done);
                    if (n <= 0)
                        break;
                    done += static_cast<std::size_t>(n);
                }
                code = done == out.size() ? 0 : 1;
            } catch (...) {
                code = 1;
            }
        }
        _exit(code);
    }
    close(channel[1]);
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw CommandError("não foi possível ler os repositórios de " + home);
    std::vector<Certificate> certificates;
    for (std::size_t at = 0; at + 4 <= bytes.size();) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at, sizeof size);
        at += sizeof size;
        if (at + size > bytes.size())
            break;
        certificates.emplace_back(bytes.substr(at, size));
        at += size;
    }
    return certificates;
}

// Whose stores --from-user reads, for messages.
std::string userDescription() {
    const char* sudoUid = std::getenv("SUDO_UID");
    if (geteuid() == 0 && sudoUid != nullptr && std::atoi(sudoUid) != 0) {
        const passwd* user = getpwuid(static_cast<uid_t>(std::strtoul(sudoUid, nullptr, 10)));
        if (user != nullptr && user->pw_name != nullptr)
            return std::string(user->pw_name) + " (quem chamou o sudo)";
    }
    return "quem executa o comando";
}

struct SystemOptions {
    std::vector<std::string> files;
    std::vector<std::string> fingerprints;
    bool fromUser = false;
    bool yes = false;
    bool json = false;
    std::vector<std::string> words;  // the command line after "quor-certs", for the sudo hint
};

void runSystemAdd(const SystemOptions& options) {
    requireRoot(options.words);
    if (options.files.empty() && !options.fromUser)
        throw CommandError("dê arquivos de certificado ou --from-user");
    // Everything is read and checked before anything is written.
    std::vector<std::pair<std::string, Certificate>> wanted;  // origin, certificate
    for (const std::string& file : options.files) {
        for (const Certificate& certificate : readCertificateFile(file).certificates)
            wanted.emplace_back(file, certificate);
    }
    if (options.fromUser) {
        const std::vector<Certificate> authorities = userAuthorities();
        if (authorities.empty()) {
            throw CommandError("nenhuma autoridade nos repositórios ROOT e CA de " +
                               userDescription() + "; nada foi alterado");
        }
        for (const Certificate& certificate : authorities)
            wanted.emplace_back("repositórios do usuário", certificate);
    }
    for (const auto& [origin, certificate] : wanted) {
        if (!certificate.isCertificateAuthority()) {
            throw CommandError("'" + origin + "': " +
                               certificateJson(certificate).at("subjectName").get<std::string>() +
                               " não é uma autoridade certificadora; nada foi alterado");
        }
    }
    const TrustLayout layout = trustLayout();
    std::vector<std::pair<std::string, Certificate>> toWrite;
    std::set<std::string> seen;
    nlohmann::json results = nlohmann::json::array();
    std::ostringstream text;
    for (const auto& [origin, certificate] : wanted) {
        const std::string hex = sha1Hex(certificate);
        if (!seen.insert(hex).second)
            continue;
        const bool present = fs::exists(fileFor(layout, hex));
        const std::string subject =
            certificateJson(certificate).at("subjectName").get<std::string>();
        if (!present && certificate.isRoot() && !options.yes) {
            const platform::Bytes der = certificate.getEncoded();
            const auto info = platform::detail::readCertInfo(der);
            if (isatty(STDIN_FILENO) == 0 || !info ||
                !confirmTrustedRootOnTerminal(platform::detail::makeRootAddRequest(der, *info))) {
                throw CommandError("'" + origin + "': " + subject +
                                   ": confiar em uma raiz exige confirmação no terminal; use "
                                   "--yes para aprovar (nada foi alterado)");
            }
        }
        if (!present)
            toWrite.emplace_back(hex, certificate);
        text << certificate.getFingerprint() << "  " << subject << " -> confiança do sistema ("
             << (present ? "já presente" : "adicionado") << ")\n";
        results.push_back({{"fingerprint", certificate.getFingerprint()},
                           {"subjectName", subject},
                           {"added", !present}});
    }
    if (!toWrite.empty()) {
        std::error_code error;
        fs::create_directories(layout.folder, error);
        if (error) {
            throw CommandError("não foi possível criar '" + layout.folder.string() +
                               "': " + error.message());
        }
        fs::permissions(layout.folder, fs::perms(0755), error);
        for (const auto& [hex, certificate] : toWrite) {
            const fs::path file = fileFor(layout, hex);
            const fs::path temporary = file.string() + ".tmp";
            {
                std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
                out << pemOf(certificate);
                if (!out.flush()) {
                    fs::remove(temporary, error);
                    throw CommandError("não foi possível gravar '" + file.string() + "'");
                }
            }
            fs::permissions(temporary, fs::perms(0644), error);
            fs::rename(temporary, file, error);
            if (error) {
                fs::remove(temporary, error);
                throw CommandError("não foi possível gravar '" + file.string() + "'");
            }
        }
        runUpdate(layout.update);
    }
    writeOutput(options.json ? dumpJson({{"results", results}}) : text.str());
}

void runSystemRemove(const SystemOptions& options) {
    requireRoot(options.words);
    std::vector<std::string> fingerprints;
    for (const std::string& text : options.fingerprints)
        fingerprints.push_back(fingerprintArgument(text));
    const TrustLayout layout = trustLayout();
    nlohmann::json results = nlohmann::json::array();
    std::ostringstream text;
    bool removedAny = false;
    for (const std::string& fingerprint : fingerprints) {
        std::string hex;
        for (char c : fingerprint)
            if (c != ' ')
                hex += c;
        std::error_code error;
        const bool removed = fs::remove(fileFor(layout, hex), error);
        if (error) {
            throw CommandError("não foi possível remover '" + fileFor(layout, hex).string() +
                               "': " + error.message());
        }
        removedAny = removedAny || removed;
        text << fingerprint << ": "
             << (removed ? "removido da confiança do sistema"
                         : "não foi posto na confiança do sistema por quor-certs")
             << '\n';
        results.push_back({{"fingerprint", fingerprint}, {"removed", removed}});
    }
    if (removedAny) {
        std::error_code error;
        if (fs::is_empty(layout.folder, error) && layout.folder.filename() == kFolderName)
            fs::remove(layout.folder, error);
        runUpdate(layout.refresh);
    }
    writeOutput(options.json ? dumpJson({{"results", results}}) : text.str());
}

void runSystemList(const SystemOptions& options) {
    const TrustLayout layout = trustLayout();
    nlohmann::json entries = nlohmann::json::array();
    std::ostringstream text;
    const auto certificates = ourCertificates(layout);
    text << "Confiança do sistema (" << layout.folder.string() << "): " << certificates.size()
         << (certificates.size() == 1 ? " certificado\n" : " certificados\n");
    for (const auto& [hex, certificate] : certificates) {
        const nlohmann::json facts = certificateJson(certificate);
        text << "  " << certificate.getFingerprint() << "  "
             << facts.at("subjectName").get<std::string>() << '\n';
        entries.push_back({{"fingerprint", facts.at("fingerprint")},
                           {"subjectName", facts.at("subjectName")},
                           {"file", fileFor(layout, hex).string()}});
    }
    writeOutput(options.json
                    ? dumpJson({{"folder", layout.folder.string()}, {"certificates", entries}})
                    : text.str());
}

}  // namespace

void registerSystemTrustCommand(CLI::App& app) {
    CLI::App* system = app.add_subcommand(
        "system",
        "Põe autoridades certificadoras na confiança do sistema (curl, OpenSSL, Python, PHP e os "
        "demais programas que leem o pacote do sistema), só como root, e tira só o que pôs.");
    system->require_subcommand(1);
    {
        auto options = std::make_shared<SystemOptions>();
        CLI::App* add = system->add_subcommand(
            "add", "Adiciona as autoridades dos arquivos (ou, com --from-user, as dos "
                   "repositórios ROOT e CA do usuário) à confiança do sistema. Raízes pedem "
                   "confirmação.");
        add->group("Subcomandos");
        add->add_option("ARQUIVO", options->files, "arquivo de certificado ou pacote");
        add->add_flag("--from-user", options->fromUser,
                      "copia as autoridades dos repositórios ROOT e CA do usuário (com sudo, os "
                      "de quem chamou o sudo)");
        add->add_flag("--yes,-y", options->yes, "aprova sem perguntar a inclusão de raízes");
        add->add_flag("--json", options->json, "imprime os mesmos dados como um objeto JSON");
        add->footer("Exemplos:\n  sudo quor-certs system add ICP-Brasilv10.crt\n"
                    "  sudo quor-certs system add --from-user --yes\n");
        add->callback([options] {
            options->words = {"system", "add"};
            if (options->fromUser)
                options->words.push_back("--from-user");
            if (options->yes)
                options->words.push_back("--yes");
            if (options->json)
                options->words.push_back("--json");
            for (const std::string& file : options->files)
                options->words.push_back(file);
            runSystemAdd(*options);
        });
    }
    {
        auto options = std::make_shared<SystemOptions>();
        CLI::App* remove = system->add_subcommand(
            "remove", "Tira da confiança do sistema os certificados que quor-certs pôs lá.");
        remove->group("Subcomandos");
        remove
            ->add_option("IMPRESSAO", options->fingerprints,
                         "impressão digital SHA-1 (\"ab cd ...\", \"AB:CD:...\" ou \"abcd...\")")
            ->required();
        remove->add_flag("--json", options->json, "imprime os mesmos dados como um objeto JSON");
        remove->footer("Exemplo:\n  sudo quor-certs system remove AB:12:...:9F\n");
        remove->callback([options] {
            options->words = {"system", "remove"};
            if (options->json)
                options->words.push_back("--json");
            for (const std::string& fingerprint : options->fingerprints)
                options->words.push_back(fingerprint);
            runSystemRemove(*options);
        });
    }
    {
        auto options = std::make_shared<SystemOptions>();
        CLI::App* list = system->add_subcommand(
            "list", "Lista os certificados que quor-certs pôs na confiança do sistema.");
        list->group("Subcomandos");
        list->add_flag("--json", options->json, "imprime os mesmos dados como um objeto JSON");
        list->callback([options] { runSystemList(*options); });
    }
}

}  // namespace quor::cli
