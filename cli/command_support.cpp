// File reading and output writing shared by the commands.
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include <openssl/pem.h>

#include "cli/commands.h"
#include "platform/openssl_ptr.h"
#include "signer/model/certificate.h"

namespace quor::cli {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

// strerror speaks the C locale's English: the causes a user can meet when opening a file, in
// Portuguese, and the number of any other.
std::string openFailureText(int cause) {
    switch (cause) {
        case 0:
            return "não pode ser lido";
        case EACCES:
        case EPERM:
            return "permissão negada";
        case ENOENT:
            return "arquivo inexistente";
        case ENOTDIR:
            return "uma parte do caminho não é uma pasta";
        case EISDIR:
            return "é uma pasta";
        case ELOOP:
            return "links simbólicos demais no caminho";
        case ENAMETOOLONG:
            return "nome longo demais";
        case EMFILE:
        case ENFILE:
            return "arquivos abertos demais";
        case ENOMEM:
            return "memória insuficiente";
        case EIO:
            return "erro de entrada e saída";
        default:
            return "erro do sistema " + std::to_string(cause);
    }
}

}  // namespace

std::ifstream openInputFile(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        throw CommandError("não foi possível abrir " + quoted(path) + ": arquivo inexistente");
    }
    if (status.type() == std::filesystem::file_type::directory) {
        throw CommandError("não foi possível ler " + quoted(path) + ": é uma pasta");
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int cause = errno;
        throw CommandError("não foi possível abrir " + quoted(path) + ": " +
                           openFailureText(cause));
    }
    return in;
}

std::string readInputFile(const std::filesystem::path& path, std::uintmax_t maxBytes) {
    std::ifstream in = openInputFile(path);
    std::string content;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        content.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (content.size() > maxBytes) {
            throw CommandError("não foi possível ler " + quoted(path) + ": maior que " +
                               std::to_string(maxBytes) + " bytes");
        }
    }
    if (in.bad())
        throw CommandError("não foi possível ler " + quoted(path) + ": erro de leitura");
    return content;
}

const std::vector<std::string> kStoreNames{"MY", "AddressBook", "CA", "ROOT"};

std::string pemOf(const signer::Certificate& certificate) {
    const std::vector<unsigned char> der = certificate.getEncoded();
    const unsigned char* cursor = der.data();
    openssl::X509Ptr x509{d2i_X509(nullptr, &cursor, static_cast<long>(der.size()))};
    openssl::BioPtr out{BIO_new(BIO_s_mem())};
    if (!x509 || !out || PEM_write_bio_X509(out.get(), x509.get()) != 1)
        throw CommandError("não foi possível codificar um certificado em PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

CLI::Validator oneOf(std::vector<std::string> values) {
    CLI::Validator check(
        [values](std::string& value) {
            for (const std::string& allowed : values) {
                if (value == allowed)
                    return std::string();
            }
            std::string list;
            for (std::size_t i = 0; i < values.size(); ++i) {
                list += (i == 0 ? "" : (i + 1 == values.size() ? " ou " : ", ")) + values[i];
            }
            return "'" + value + "' não é um dos valores aceitos: " + list;
        },
        "");
    return check;
}

void writeOutput(const std::string& text) {
    std::cout << text << std::flush;
    if (!std::cout)
        throw CommandError("não foi possível escrever na saída padrão");
}

std::string fingerprintArgument(const std::string& text) {
    const std::string normal = signer::Certificate::normalizeFingerprint(text);
    bool valid = normal.size() == 59;
    for (std::size_t i = 0; valid && i < normal.size(); ++i) {
        valid =
            (i % 3 == 2) ? normal[i] == ' ' : std::isxdigit(static_cast<unsigned char>(normal[i]));
    }
    if (!valid) {
        throw CommandError("'" + text +
                           "' não é uma impressão digital SHA-1 (20 bytes em hexadecimal)");
    }
    return normal;
}

struct EchoOff::Saved {
    termios settings{};
};

EchoOff::EchoOff() {
    auto saved = std::make_unique<Saved>();
    if (tcgetattr(STDIN_FILENO, &saved->settings) != 0)
        return;
    termios quiet = saved->settings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0)
        saved_ = std::move(saved);
}

EchoOff::~EchoOff() {
    if (saved_)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->settings);
}

}  // namespace quor::cli
