// File reading and output writing shared by the commands.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "cli/commands.h"

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

}  // namespace quor::cli
