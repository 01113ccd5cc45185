// install: the chain installer's run in a terminal. The same run as the dialog's, reporting
// through terminal versions of its two controls and asking its questions on the terminal.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "cli/mirror_report_view.h"
#include "installer/chain_list.h"
#include "installer/install_run.h"
#include "installer/installer_controls.h"
#include "installer/installer_prompts.h"
#include "installer/mirror_warning.h"
#include "installer/official_install.h"
#include "net/system_proxy.h"
#include "signer/model/text.h"

namespace quor::cli {

namespace {

const std::wstring kSuccessLine = L"Instalação de cadeias concluída com sucesso.";

// UTF-8 of a status text. Names in the texts come from the server's list: control characters
// (escape sequences included) are shown as '?' so they cannot drive the terminal.
std::string terminalText(const std::wstring& text) {
    std::wstring shown(text);
    for (wchar_t& wc : shown) {
        const auto c = static_cast<char32_t>(wc);
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            wc = L'?';
    }
    return signer::toUtf8Text(shown);
}

// Characters (not bytes) of a UTF-8 text, to fit a line into the terminal's width.
std::string firstColumns(const std::string& text, std::size_t columns) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == columns)
                return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

// The status line and the progress bar on standard output (standard error when the output is a
// JSON summary). On a terminal both share one line that each update redraws in place; otherwise
// every status text is one line of its own.
class TerminalStatus : public installer::LogControl, public installer::ProgressControl {
  public:
    explicit TerminalStatus(bool toStandardError = false)
        : out_(toStandardError ? std::cerr : std::cout),
          fd_(toStandardError ? STDERR_FILENO : STDOUT_FILENO),
          terminal_(isatty(fd_) != 0) {}

    void replaceText(const std::wstring& text) override {
        lastText_ = text;
        if (terminal_) {
            redraw();
        } else {
            out_ << terminalText(text) << '\n' << std::flush;
        }
    }

    void setPosition(int value) override {
        position_ = value < 0 ? 0 : (value > 100 ? 100 : value);
        if (terminal_)
            redraw();
    }

    // Leaves the line being redrawn, so a question or the final text starts on its own line.
    void breakLine() {
        if (terminal_ && drawn_) {
            out_ << '\n' << std::flush;
            drawn_ = false;
        }
    }

    // On a terminal the last text is shown whole once the run is over (redrawn lines are cut to
    // the terminal's width).
    void finish() {
        if (!terminal_)
            return;
        out_ << "\r\x1b[K" << bar() << ' ' << terminalText(lastText_) << '\n' << std::flush;
        drawn_ = false;
    }

    const std::wstring& lastText() const { return lastText_; }

  private:
    std::string bar() const {
        constexpr int kWidth = 20;
        const int filled = position_ * kWidth / 100;
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", position_);
        return "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), '-') + "] " + percent;
    }

    void redraw() {
        winsize size{};
        std::size_t columns = 80;
        if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            columns = size.ws_col;
        std::string line = bar() + ' ' + terminalText(lastText_);
        // One column short of the width: a full line would wrap on some terminals.
        line = firstColumns(line, columns > 1 ? columns - 1 : columns);
        out_ << "\r\x1b[K" << line << std::flush;
        drawn_ = true;
    }

    std::ostream& out_;
    int fd_;
    bool terminal_;
    bool drawn_ = false;
    int position_ = 0;
    std::wstring lastText_;
};

std::optional<std::string> readLine() {
    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The run's questions on the terminal; with nobody at a terminal, roots are refused (unless
// --yes approved them all) and proxies get no credentials.
class TerminalPrompts : public installer::InstallerPrompts {
  public:
    TerminalPrompts(TerminalStatus& status, bool approveRoots)
        : status_(status), approveRoots_(approveRoots), interactive_(isatty(STDIN_FILENO) != 0) {}

    std::optional<net::ProxyCredentials> askProxyCredentials(
        const net::ProxyCredentialsRequest& request) override {
        if (!interactive_)
            return std::nullopt;
        status_.breakLine();
        if (request.attempt > 1)
            std::cerr << "O proxy recusou o usuário ou a senha.\n";
        std::cerr << "O servidor proxy " << request.proxy << " pede usuário e senha para baixar "
                  << request.target << ".\nUsuário (vazio para desistir): " << std::flush;
        const std::optional<std::string> user = readLine();
        if (!user || user->empty())
            return std::nullopt;
        std::cerr << "Senha: " << std::flush;
        std::optional<std::string> password;
        {
            EchoOff quiet;
            password = readLine();
        }
        std::cerr << '\n';
        if (!password)
            return std::nullopt;
        return net::ProxyCredentials{*user, *password};
    }

    bool confirmRootCertificate(const platform::RootAddRequest& request) override {
        status_.breakLine();
        const std::string sha1 =
            installer::thumbprintText(request.sha1.data(), request.sha1.size());
        const std::string origin = installer::rootOrigin(request).text;
        if (approveRoots_) {
            std::cerr << "Autoridade raiz aprovada por --yes: " << request.subjectDisplayName
                      << " (SHA-1 " << sha1 << ")\n"
                      << origin << '\n';
            return true;
        }
        if (!interactive_) {
            std::cerr << "Autoridade raiz recusada: " << request.subjectDisplayName
                      << ". Sem terminal para confirmar; use --yes para aprovar as raízes.\n";
            return false;
        }
        std::cerr << "Instalar um certificado de autoridade certificadora raiz?\n"
                  << "  Emitido para:  " << request.subjectDisplayName << '\n'
                  << "  Emitido por:   " << request.issuerDisplayName << '\n'
                  << "  Válido de:     " << installer::utcTimeText(request.notBefore) << '\n'
                  << "  Válido até:    " << installer::utcTimeText(request.notAfter) << '\n'
                  << "  SHA-1:         " << sha1 << '\n'
                  << "  SHA-256:       "
                  << installer::thumbprintText(request.sha256.data(), request.sha256.size()) << '\n'
                  << origin << '\n'
                  << "Confira a impressão digital com a publicada pela autoridade.\n"
                  << "Deseja instalar este certificado? [s/N] " << std::flush;
        const std::optional<std::string> answer = readLine();
        return answer && (*answer == "s" || *answer == "S" || *answer == "sim" ||
                          *answer == "Sim" || *answer == "SIM");
    }

  private:
    TerminalStatus& status_;
    bool approveRoots_;
    bool interactive_;
};

// A text from the network (the target of a request) as a terminal may show it: control bytes,
// escape sequences included, become '?'.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return out;
}

std::string wayText(const std::string& way) {
    return way == "direct://" ? "conexão direta" : printable(way);
}

// With --verbose, one line on standard error for each request: the proxy it went through, the
// direct connection, or every way that failed, for a user finding out what the network does.
class ProxyRouteLines {
  public:
    explicit ProxyRouteLines(TerminalStatus& status)
        : previous_(net::setProxyRouteObserver(
              [&status](const net::ProxyRoute& route) { print(status, route); })) {}
    ~ProxyRouteLines() { net::setProxyRouteObserver(std::move(previous_)); }
    ProxyRouteLines(const ProxyRouteLines&) = delete;
    ProxyRouteLines& operator=(const ProxyRouteLines&) = delete;

  private:
    static void print(TerminalStatus& status, const net::ProxyRoute& route) {
        status.breakLine();
        std::string line = "Requisição de " + printable(route.target) + ": ";
        std::size_t failed = route.tried.size();
        if (route.reached && !route.tried.empty()) {
            const std::string& way = route.tried.back();
            line += way == "direct://" ? "conexão direta, sem proxy" : "pelo proxy " + wayText(way);
            --failed;
        } else {
            line += "não foi possível enviar";
        }
        if (failed > 0) {
            line += route.reached ? " (sem resposta antes: " : " (tentado: ";
            for (std::size_t i = 0; i < failed; ++i)
                line += (i > 0 ? ", " : "") + wayText(route.tried[i]);
            line += ")";
        }
        std::cerr << line << '\n' << std::flush;
    }

    net::ProxyRouteObserver previous_;
};

struct InstallOptions {
    std::string baseUrl;
    bool yes = false;
    bool verbose = false;
    bool official = false;
    std::string officialUrl;
    bool json = false;
};

nlohmann::ordered_json officialJson(const installer::OfficialInstallReport& report,
                                    const std::string& url) {
    nlohmann::ordered_json certificates = nlohmann::ordered_json::array();
    std::size_t added = 0;
    for (const installer::OfficialCertificate& entry : report.certificates) {
        const nlohmann::ordered_json facts = certificateJson(entry.certificate);
        certificates.push_back({{"file", entry.entryName},
                                {"fingerprint", facts.at("fingerprint")},
                                {"subjectName", facts.at("subjectName")},
                                {"store", entry.store},
                                {"added", entry.added}});
        added += entry.added ? 1 : 0;
    }
    return {{"source", url},
            {"certificates", certificates.size()},
            {"added", added},
            {"alreadyInstalled", report.certificates.size() - added},
            {"results", certificates}};
}

void runInstall(const InstallOptions& options) {
    TerminalStatus status(options.json);
    TerminalPrompts prompts(status, options.yes);
    const installer::ScopedInstallerPrompts registration(prompts);
    installer::InstallerControls controls{&status, &status};
    // The whole command asks libproxy once per host, whichever run it makes.
    const net::ScopedProxyCache proxyAnswers;
    std::optional<ProxyRouteLines> routeLines;
    if (options.verbose)
        routeLines.emplace(status);
    installer::MirrorCheck mirrors;
    std::optional<installer::OfficialInstallReport> official;
    const std::string officialUrl = options.officialUrl.empty()
                                        ? terminalText(installer::officialArchiveBaseUrl)
                                        : options.officialUrl;
    if (options.official) {
        official = installer::installOfficialArchive(controls, installer::toWide(officialUrl));
    } else if (options.baseUrl.empty()) {
        installer::installChains(controls);
    } else {
        installer::installChains(controls, installer::toWide(options.baseUrl));
    }
    status.finish();
    const platform::MirrorReport mirrored = mirrors.finish();
    // Standard output carries only the JSON document with --json.
    (options.json ? std::cerr : std::cout) << unsupportedText(mirrored, "") << std::flush;
    const bool succeeded =
        official ? official->succeeded : status.lastText() == kSuccessLine;
    const installer::RunOutcome outcome =
        succeeded ? installer::RunOutcome::Installed : installer::RunOutcome::Failed;
    if (const std::wstring warning =
            installer::mirrorWarning(mirrored, outcome, installer::WarningFront::Terminal);
        !warning.empty()) {
        std::cerr << terminalText(warning) << '\n';
    }
    if (official) {
        if (!official->succeeded) {
            throw CommandError(
                "os certificados da ICP-Brasil não foram instalados (veja a mensagem acima)");
        }
        if (options.json)
            writeOutput(dumpJson(officialJson(*official, officialUrl)) + "\n");
        return;
    }
    if (outcome != installer::RunOutcome::Installed) {
        throw CommandError("nem todas as cadeias foram instaladas (veja a mensagem acima)");
    }
}

}  // namespace

void registerInstallCommand(CLI::App& app) {
    auto options = std::make_shared<InstallOptions>();
    CLI::App* install = app.add_subcommand(
        "install",
        "Baixa a lista de cadeias do servidor e instala nos repositórios do usuário as que "
        "faltam, como o botão \"Instalar cadeias\" do instalador.");
    install
        ->add_option("--base-url", options->baseUrl,
                     "pasta do servidor que contém Chains.xml (termina com \"/\"); padrão: " +
                         terminalText(installer::chainBaseUrl))
        ->check([](const std::string& url) {
            return url.empty() || url.back() == '/' ? std::string()
                                                    : std::string("a URL base deve terminar com /");
        });
    install->add_flag("--yes,-y", options->yes,
                      "aprova sem perguntar a instalação das autoridades raiz");
    install->add_flag("--verbose,-v", options->verbose,
                      "diz no erro padrão por qual proxy (ou por conexão direta) foi cada "
                      "requisição, para investigar a rede de uma empresa");
    auto endsWithSlash = [](const std::string& url) {
        return url.empty() || url.back() == '/' ? std::string()
                                                : std::string("a URL da pasta deve terminar com /");
    };
    CLI::Option* official = install->add_flag(
        "--official", options->official,
        "instala o conjunto oficial do ITI (ACcompactado.zip, conferido por hashsha512.txt), "
        "em vez da lista de cadeias");
    install
        ->add_option("--official-url", options->officialUrl,
                     "pasta que contém ACcompactado.zip e hashsha512.txt (termina com \"/\"); "
                     "padrão: " +
                         terminalText(installer::officialArchiveBaseUrl))
        ->check(endsWithSlash)
        ->needs(official);
    install
        ->add_flag("--json", options->json,
                   "com --official, imprime um resumo JSON (as linhas de situação vão para o "
                   "erro padrão)")
        ->needs(official);
    official->excludes("--base-url");
    install->footer(
        "Exemplos:\n"
        "  quor-certs install\n"
        "  quor-certs install --yes --base-url http://127.0.0.1:8080/DEZIruva/certificados/\n"
        "  quor-certs install --verbose\n"
        "  quor-certs install --official --yes\n"
        "  quor-certs install --official --json --official-url http://127.0.0.1:8080/acraiz/\n\n"
        "Saída: 0 depois da mensagem de sucesso; 1 depois da mensagem de erro.");
    install->callback([options] { runInstall(*options); });
}

}  // namespace quor::cli
