// File reading and output writing shared by the commands.
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "cli/commands.h"
#include "signer/model/certificate.h"

namespace quor::cli {

namespace {

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace

std::ifstream openInputFile(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        throw CommandError("cannot open " + quoted(path) + ": no such file");
    }
    if (status.type() == std::filesystem::file_type::directory) {
        throw CommandError("cannot read " + quoted(path) + ": it is a directory");
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int cause = errno;
        throw CommandError("cannot open " + quoted(path) + ": " +
                           (cause != 0 ? std::strerror(cause) : "cannot be read"));
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
            throw CommandError("cannot read " + quoted(path) + ": larger than " +
                               std::to_string(maxBytes) + " bytes");
        }
    }
    if (in.bad())
        throw CommandError("cannot read " + quoted(path) + ": read error");
    return content;
}

void writeOutput(const std::string& text) {
    std::cout << text << std::flush;
    if (!std::cout)
        throw CommandError("cannot write to standard output");
}

std::string fingerprintArgument(const std::string& text) {
    const std::string normal = signer::Certificate::normalizeFingerprint(text);
    bool valid = normal.size() == 59;
    for (std::size_t i = 0; valid && i < normal.size(); ++i) {
        valid =
            (i % 3 == 2) ? normal[i] == ' ' : std::isxdigit(static_cast<unsigned char>(normal[i]));
    }
    if (!valid) {
        throw CommandError("'" + text + "' is not a SHA-1 fingerprint (20 hexadecimal bytes)");
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
