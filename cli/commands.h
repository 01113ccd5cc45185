// The commands of quor-certs, registered by group.
//
// Each group of commands lives in its own file and adds its subcommands to the application in
// one registration function, declared here and listed in commandGroups below. A new group is a
// new .cpp file in cli/ plus its line in this header. Command callbacks write their result to
// standard output only once it is complete, and report failure by throwing: CommandError (or any
// std::exception) ends the program with its text on standard error and exit status 1.
#pragma once

#include <CLI/CLI.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "signer/model/certificate.h"

namespace quor::cli {

// Exit statuses of quor-certs.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the command could not do its job
inline constexpr int kExitUsage = 2;    // wrong command line

// A failure to report to the user as one Portuguese line (the program adds its name in front).
// Library exception texts quoted in it stay as the library words them.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// show, chain: reading certificates and PKCS#7 bundles from files.
void registerInspectCommands(CLI::App& app);

// list, add, remove, verify: managing the user's certificate stores.
void registerStoreCommands(CLI::App& app);

// import, sign: private keys in the personal store (key_commands.cpp).
void registerKeyCommands(CLI::App& app);

// install: the chain installer's run in the terminal (install_command.cpp).
void registerInstallCommand(CLI::App& app);

// system: authorities in the system's trust, as root (system_trust_command.cpp).
void registerSystemTrustCommand(CLI::App& app);

// sync: the user's NSS databases brought up to date with the stores (sync_command.cpp).
void registerSyncCommand(CLI::App& app);

// export: the stores' certificates as a PEM bundle or a PKCS#12 trust store (export_command.cpp).
void registerExportCommand(CLI::App& app);

using CommandGroup = void (*)(CLI::App&);
inline constexpr std::array commandGroups{
    // clang-format off
    &registerInspectCommands,
    &registerStoreCommands,
    &registerKeyCommands,
    &registerInstallCommand,
    &registerSyncCommand,
    &registerExportCommand,
    &registerSystemTrustCommand,
    // clang-format on
};

// Shared by commands that read files.

// The file opened for binary reading. Throws CommandError naming the file when it is missing, is
// a directory or cannot be opened.
std::ifstream openInputFile(const std::filesystem::path& path);

// The whole content of a regular file, at most maxBytes long. Throws CommandError naming the
// file when it is missing, is a directory, cannot be read or is larger.
std::string readInputFile(const std::filesystem::path& path, std::uintmax_t maxBytes);

// A check for an option or argument that accepts only the given values, with the Portuguese
// failure text "'VALUE' não é um dos valores aceitos: A, B ou C". It adds nothing to the help's
// type name: the option's description lists the values.
CLI::Validator oneOf(std::vector<std::string> values);

// The user's four stores, in the order the commands list them.
extern const std::vector<std::string> kStoreNames;

// The certificate as one PEM block ("-----BEGIN CERTIFICATE-----" ... with its final newline).
// Throws CommandError when OpenSSL cannot encode it.
std::string pemOf(const signer::Certificate& certificate);

// The certificates of a file: a DER PKCS#7 bundle (recognised by its content) or one
// certificate as a ".crt" holds it (PEM, DER or Base64). Throws CommandError naming the file.
struct FileCertificates {
    std::string file;
    std::vector<signer::Certificate> certificates;
};
FileCertificates readCertificateFile(const std::string& file);

// Asks on the terminal, as "add" does, whether the certificate may become a trusted root; false
// when standard input is not a terminal or the user declines.
bool confirmTrustedRootOnTerminal(const platform::RootAddRequest& request);

// Writes text to standard output and flushes it; throws CommandError when the write fails (a
// closed pipe or a full disk must not pass for success).
void writeOutput(const std::string& text);

// The fingerprint form the stores are searched with ("ab cd ..."), from any usual spelling
// ("AB:CD:...", "abcd...", upper or lower case). Throws CommandError when the text is not 20
// hexadecimal bytes.
std::string fingerprintArgument(const std::string& text);

// Turns terminal echo off on standard input for its lifetime, so a password typed is not shown.
class EchoOff {
  public:
    EchoOff();
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

}  // namespace quor::cli
