// sync: brings the user's NSS databases (browsers, mail) up to date with the stores.
#include <sstream>
#include <string>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "cli/mirror_report_view.h"
#include "platform/nss_mirror.h"
#include "signer/repository/errors.h"

namespace quor::cli {

namespace {

struct SyncOptions {
    bool json = false;
};

void runSync(const SyncOptions& options) {
    platform::MirrorReport report;
    if (!platform::syncNssMirrors(&report)) {
        signer::throwSystemError({}, "syncNssMirrors");
    }
    std::ostringstream text;
    std::size_t changed = 0;
    for (const auto& result : report.results)
        changed += result.changes.empty() ? 0 : 1;
    if (report.results.empty()) {
        text << "Nenhum banco de certificados NSS a atualizar.\n" << unsupportedText(report, "  ");
    } else {
        text << "Bancos de certificados NSS alterados: " << changed << " de "
             << report.results.size() << '\n'
             << mirrorReportText(report, "  ");
    }
    writeOutput(options.json ? dumpJson({{"databases", mirrorReportJson(report)},
                                         {"notSupportedByNss", unsupportedJson(report)}})
                             : text.str());
    const auto failures = report.failures();
    if (!failures.empty()) {
        std::string names;
        for (const auto* failed : failures)
            names += (names.empty() ? "" : ", ") + failed->mirror.label();
        throw CommandError((failures.size() == 1 ? std::string("1 banco NSS não pôde ser gravado: ")
                                                 : std::to_string(failures.size()) +
                                                       " bancos NSS não puderam ser gravados: ") +
                           names + "; feche o programa e rode quor-certs sync de novo");
    }
}

}  // namespace

void registerSyncCommand(CLI::App& app) {
    auto options = std::make_shared<SyncOptions>();
    CLI::App* command = app.add_subcommand(
        "sync",
        "Atualiza os bancos de certificados NSS do usuário (o banco compartilhado do "
        "Chromium/Chrome, ~/.pki/nssdb ou ~/.local/share/pki/nssdb, o do Chromium snap e os "
        "perfis do Firefox e do Thunderbird) com os repositórios: copia o que falta e retira o "
        "que foi removido, e diz quais bancos alterou.");
    command->add_flag("--json", options->json, "imprime os mesmos dados como um objeto JSON");
    command->footer("Exemplos:\n  quor-certs sync\n  quor-certs sync --json\n");
    command->callback([options] { runSync(*options); });
}

}  // namespace quor::cli
