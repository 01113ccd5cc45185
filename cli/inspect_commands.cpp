// show and chain: what a ".crt" certificate file or a ".p7b" chain file holds.
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>

#include "cli/certificate_view.h"
#include "cli/commands.h"
#include "detection/certificate_chain_reader.h"
#include "signer/model/certificate.h"

namespace quor::cli {

namespace {

// Certificates are a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaxCertificateFile = 16u << 20;

struct InspectOptions {
    std::string file;
    bool json = false;
};

// Whether bytes that are not a certificate are a chain file (DER or PEM PKCS#7) instead.
bool isBundle(const std::string& content) {
    if (content.find("-----BEGIN PKCS7-----") != std::string::npos)
        return true;
    std::istringstream in(content);
    return !signer::CertificateChain(in).certificates.empty();
}

void runShow(const InspectOptions& options) {
    const std::string content = readInputFile(options.file, kMaxCertificateFile);
    std::optional<signer::Certificate> certificate;
    try {
        certificate.emplace(content);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // The library's message quotes the whole input; the file name says enough.
        throw CommandError(
            "'" + options.file + "' não é um certificado em PEM, DER ou Base64" +
            (isBundle(content) ? " (é um pacote PKCS#7; use 'quor-certs chain')" : ""));
    }
    writeOutput(options.json ? dumpJson(certificateJson(*certificate))
                             : certificateText(*certificate));
}

// The first bytes of the file, for telling the user what a file that is not a bundle is.
std::string peekHead(std::istream& in) {
    char head[256] = {};
    in.read(head, sizeof head - 1);
    const std::streamsize got = in.gcount();
    in.clear();
    in.seekg(0);
    return std::string(head, static_cast<std::size_t>(got > 0 ? got : 0));
}

std::string hintFor(const std::string& head) {
    if (head.find("-----BEGIN PKCS7-----") != std::string::npos) {
        return " (PEM não é lido; converta com 'openssl pkcs7 -outform DER')";
    }
    if (head.find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
        return " (contém um único certificado; use 'quor-certs show')";
    }
    return "";
}

void runChain(const InspectOptions& options) {
    std::ifstream in = openInputFile(options.file);
    const std::string head = peekHead(in);
    std::optional<signer::CertificateChain> chain;
    try {
        chain.emplace(detection::readCertificateBundle(in));
    } catch (const detection::BundleReadError& error) {
        std::string message = "'" + options.file + "': " + error.what();
        if (error.problem() == detection::BundleProblem::NotPkcs7)
            message += hintFor(head);
        throw CommandError(message);
    }
    writeOutput(options.json ? dumpJson(chainJson(*chain)) : chainText(*chain));
}

CLI::App* addInspectCommand(CLI::App& app, const char* name, const char* description,
                            const char* fileHelp, const char* examples,
                            void (*run)(const InspectOptions&)) {
    auto options = std::make_shared<InspectOptions>();
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("ARQUIVO", options->file, fileHelp)->required();
    command->add_flag("--json", options->json,
                      "imprime os mesmos dados como um objeto JSON (nomes de membros da "
                      "biblioteca)");
    command->footer(examples);
    command->callback([options, run] { run(*options); });
    return command;
}

}  // namespace

void registerInspectCommands(CLI::App& app) {
    addInspectCommand(app, "show",
                      "Mostra um certificado lido como um arquivo \".crt\" (PEM, DER ou Base64).",
                      "arquivo do certificado",
                      "Exemplos:\n"
                      "  quor-certs show ICP-Brasilv10.crt\n"
                      "  quor-certs show --json ICP-Brasilv10.crt\n",
                      runShow);
    addInspectCommand(app, "chain",
                      "Lê um pacote PKCS#7 em DER (arquivo \".p7b\"), põe os certificados na "
                      "ordem da cadeia (do mais baixo à raiz) e mostra a situação da cadeia.",
                      "arquivo do pacote PKCS#7 (DER)",
                      "Exemplos:\n"
                      "  quor-certs chain cadeia.p7b\n"
                      "  quor-certs chain --json cadeia.p7b\n"
                      "  openssl crl2pkcs7 -nocrl -certfile a.crt -certfile b.crt -outform DER "
                      "-out cadeia.p7b\n",
                      runChain);
}

}  // namespace quor::cli
