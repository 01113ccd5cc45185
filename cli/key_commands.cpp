// import, sign: private keys in the user's personal store.
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "signer/model/certificate.h"
#include "signer/model/text.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_issuance.h"

namespace quor::cli {

namespace {

using signer::Certificate;
using signer::SystemRepository;

constexpr std::uintmax_t kMaxPkcs12Bytes = 1 << 20;
constexpr std::uintmax_t kMaxSignedFileBytes = std::uintmax_t{1} << 30;

// The pass phrase: asked without echo on a terminal, else the first line of standard input.
std::string readPassPhrase() {
    std::string line;
    if (isatty(STDIN_FILENO) != 0) {
        std::cerr << "Frase secreta do arquivo PKCS#12: " << std::flush;
        {
            EchoOff quiet;
            std::getline(std::cin, line);
        }
        std::cerr << '\n';
    } else {
        std::getline(std::cin, line);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

struct ImportOptions {
    std::string file;
};

void runImport(const ImportOptions& options) {
    const std::string bytes = readInputFile(options.file, kMaxPkcs12Bytes);
    const std::string passPhrase = readPassPhrase();
    SystemRepository repository;
    std::istringstream in(bytes);
    // The pass phrase goes to the PKCS#12 reader byte for byte, as the terminal gave it.
    signer::importPkcs12IntoPersonalStore(repository, in, signer::toWideText(passPhrase));
    writeOutput("Certificado e chave privada importados para MY.\n");
}

struct SignOptions {
    std::string fingerprint;
    std::string file;
    std::string hash = "SHA256";
    std::string output;
};

void runSign(const SignOptions& options) {
    const std::string fingerprint = fingerprintArgument(options.fingerprint);
    const std::string content = readInputFile(options.file, kMaxSignedFileBytes);
    SystemRepository repository;
    std::optional<Certificate> signerCertificate;
    try {
        signerCertificate.emplace(repository.findCertificate(fingerprint));
    } catch (const signer::CertificateNotFoundException&) {
        throw CommandError("nenhum repositório guarda o certificado " + fingerprint);
    }
    const std::vector<unsigned char> data(content.begin(), content.end());
    const std::vector<unsigned char> signature =
        repository.sign(data, *signerCertificate, options.hash.c_str());
    const std::string bytes(signature.begin(), signature.end());
    if (options.output.empty()) {
        writeOutput(bytes);
        return;
    }
    std::ofstream out(options.output, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw CommandError("não foi possível gravar a assinatura em " + options.output);
}

}  // namespace

void registerKeyCommands(CLI::App& app) {
    {
        auto options = std::make_shared<ImportOptions>();
        CLI::App* command = app.add_subcommand(
            "import",
            "Importa um arquivo PKCS#12 (.p12/.pfx) para o repositório pessoal MY, com sua "
            "chave privada. A frase secreta é pedida sem eco no terminal, ou lida da primeira "
            "linha da entrada padrão.");
        command->add_option("ARQUIVO", options->file, "arquivo PKCS#12 em DER")->required();
        command->footer(
            "Exemplos:\n  quor-certs import meu-certificado.p12\n"
            "  printf 'frase\\n' | quor-certs import meu-certificado.p12\n");
        command->callback([options] { runImport(*options); });
    }
    {
        auto options = std::make_shared<SignOptions>();
        CLI::App* command = app.add_subcommand(
            "sign",
            "Assina um arquivo com a chave privada de um certificado dos repositórios "
            "(PKCS#1 v1.5) e escreve a assinatura binária na saída padrão ou em -o ARQUIVO.");
        command->add_option("IMPRESSAO", options->fingerprint, "impressão digital SHA-1")
            ->required();
        command->add_option("ARQUIVO", options->file, "arquivo a assinar")->required();
        command->add_option("--hash", options->hash, "SHA1, SHA256 (padrão), SHA384 ou SHA512")
            ->check(oneOf({"SHA1", "SHA256", "SHA384", "SHA512"}));
        command->add_option("-o,--output", options->output, "arquivo da assinatura");
        command->footer(
            "Exemplos:\n  quor-certs sign AB:12:...:9F contrato.pdf -o contrato.sig\n"
            "  openssl dgst -sha256 -verify chave.pem -signature contrato.sig contrato.pdf\n");
        command->callback([options] { runSign(*options); });
    }
}

}  // namespace quor::cli
