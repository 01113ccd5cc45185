// CLI11 writes its help labels and its command-line errors in English; quor-certs speaks
// Brazilian Portuguese to its users. These settings and texts put CLI11's share of the program
// into Portuguese.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace quor::cli {

// CLI11's help layout with Portuguese labels and group headings.
class PortugueseFormatter : public CLI::Formatter {
  public:
    PortugueseFormatter();
    std::string make_group(std::string group, bool is_positional,
                           std::vector<const CLI::Option*> opts) const override;
};

// Sets on app the help flag "-h,--help", the version flag "--version" (which prints
// "quor-certs " + version) and the Portuguese failure message. Call it before any command is
// added: CLI11 copies these settings into each command when the command is created. The
// formatter is chosen apart (a PortugueseFormatter or one derived from it).
void usePortugueseCommandLine(CLI::App& app, const std::string& version);

// The Portuguese one-line text of a command-line error raised while app parsed its arguments,
// without the program's name in front: what went wrong (the command's name first when one was
// recognised) and where the help is. Texts of quor-certs's own validators (already Portuguese)
// are kept as they are.
std::string commandLineErrorText(const CLI::App& app, const CLI::Error& error);

}  // namespace quor::cli
