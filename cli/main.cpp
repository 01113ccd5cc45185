// quor-certs: the terminal front end of the certificate library.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "cli/command_line_messages.h"
#include "cli/commands.h"
#include "cli/usage.h"
#include "platform/nss_mirror.h"

namespace {

// The top level shows the one usage text with its examples; each command keeps the help that
// CLI11 builds from its options, description and examples.
class UsageFormatter : public quor::cli::PortugueseFormatter {
  public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr)
            return quor::cli::kUsage;
        return PortugueseFormatter::make_help(app, std::move(name), mode);
    }
};

// Error texts may quote input (names, file content): keep the report on one line and free of
// terminal control characters.
std::string oneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (unsigned char c : text) {
        line += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quor::cli;
    quor::platform::skipNssFileSystemTiming();
    CLI::App app{"Certificados e cadeias ICP-Brasil no terminal.", "quor-certs"};
    app.formatter(std::make_shared<UsageFormatter>());
    usePortugueseCommandLine(app, QUOR_VERSION);
    app.require_subcommand(1);
    for (CommandGroup group : commandGroups)
        group(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {  // --help, --version
        return app.exit(done, std::cout, std::cerr);
    } catch (const CLI::ParseError& wrong) {
        std::cerr << "quor-certs: " << oneLine(commandLineErrorText(app, wrong)) << '\n';
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        std::cerr << "quor-certs: memória insuficiente\n";
        return kExitFailure;
    } catch (const std::exception& failure) {
        std::cerr << "quor-certs: " << oneLine(failure.what()) << '\n';
        return kExitFailure;
    }
    return kExitSuccess;
}
