// CLI11's help labels and command-line errors in Portuguese.
//
// CLI11 builds its error texts in the exception constructors, in English; what reaches us is the
// error's class name and that text. Each form CLI11 can produce for quor-certs's options is
// recognised here and worded again, keeping the names and values it quotes.
#include "cli/command_line_messages.h"

#include <memory>
#include <regex>
#include <vector>

namespace quor::cli {

namespace {

// "1 valor", "2 valores": the counts CLI11 reports are small numbers in decimal.
std::string count(const std::string& number, const char* one, const char* many) {
    return number + ' ' + (number == "1" ? one : many);
}

std::string argumentText(const std::string& name) {
    return (name.rfind('-', 0) == 0 ? "a opção " : "o argumento ") + name;
}

std::string requiredText(const CLI::App& app, const std::string& text) {
    if (text == "A subcommand is required") {
        // A word that names no command is left over by the parser: say which word it was.
        const std::vector<std::string> left = app.remaining();
        if (!left.empty())
            return "comando desconhecido: " + left.front();
        return "falta o comando";
    }
    std::smatch m;
    if (std::regex_match(text, m, std::regex("Requires at least ([0-9]+) subcommands")))
        return "são necessários pelo menos " + m.str(1) + " comandos";
    if (std::regex_match(text, m, std::regex("(.*) is required")))
        return "falta " + argumentText(m.str(1));
    return {};
}

// The words left over are read from the parser, in the order they were typed (CLI11's own text
// lists them backwards).
std::string extrasText(const CLI::App& app) {
    const std::vector<CLI::App*> commands = app.get_subcommands();
    const std::vector<std::string> left =
        commands.empty() ? app.remaining() : commands.front()->remaining();
    if (left.empty())
        return {};
    std::string words;
    for (const std::string& word : left)
        words += (words.empty() ? "" : " ") + word;
    return (left.size() == 1 ? "argumento inesperado: " : "argumentos inesperados: ") + words;
}

std::string mismatchText(const std::string& text) {
    std::smatch m;
    if (std::regex_match(text, m,
                         std::regex("Expected (exactly|at least) ([0-9]+) arguments to (.*), "
                                    "got ([0-9]+)"))) {
        return m.str(3) + " espera " + (m.str(1) == "exactly" ? "exatamente " : "pelo menos ") +
               count(m.str(2), "argumento", "argumentos") + " e recebeu " + m.str(4);
    }
    if (std::regex_match(text, m,
                         std::regex("(.*): At (least|Most) ([0-9]+) required but received "
                                    "([0-9]+)"))) {
        return m.str(1) + ": " + (m.str(2) == "least" ? "pede pelo menos " : "aceita no máximo ") +
               count(m.str(3), "valor", "valores") + " e recebeu " + m.str(4);
    }
    if (std::regex_match(text, m, std::regex("(.*): ([0-9]+) required .* missing"))) {
        return m.str(1) + ": " +
               (m.str(2) == "1" ? std::string("falta o valor") : "faltam " + m.str(2) + " valores");
    }
    if (std::regex_match(text, m, std::regex("(.*) was given a disallowed flag override")))
        return m.str(1) + " não aceita valor";
    return {};
}

std::string conversionText(const std::string& text) {
    std::smatch m;
    if (std::regex_match(text, m, std::regex("Could not convert: (.*) = (.*)")))
        return "valor inválido para " + m.str(1) + ": " + m.str(2);
    if (std::regex_match(text, m, std::regex("The value (.*) is not an allowed value for (.*)")))
        return "valor inválido para " + m.str(2) + ": " + m.str(1);
    if (std::regex_match(text, m, std::regex("(.*): too many inputs for a flag")))
        return m.str(1) + " não aceita valor";
    if (std::regex_match(text, m, std::regex("(.*): Should be true/false or a number")))
        return m.str(1) + ": o valor deve ser true, false ou um número";
    return {};
}

std::string pairText(const std::string& text, const char* english, const char* portuguese) {
    std::smatch m;
    if (std::regex_match(text, m, std::regex("(.*) " + std::string(english) + " (.*)")))
        return m.str(1) + ' ' + portuguese + ' ' + m.str(2);
    return {};
}

// By the error's class: a command's errors carry the command's name instead of the class name.
std::string translated(const CLI::App& app, const CLI::Error& error) {
    const std::string text = error.what();
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr)
        return requiredText(app, text);
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)
        return extrasText(app);
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr)
        return mismatchText(text);
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr)
        return conversionText(text);
    if (dynamic_cast<const CLI::ExcludesError*>(&error) != nullptr)
        return pairText(text, "excludes", "não pode ser usada com");
    if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr)
        return pairText(text, "requires", "exige");
    // "NAME: text", the text coming from quor-certs's own validators.
    if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr)
        return text;
    return {};
}

}  // namespace

PortugueseFormatter::PortugueseFormatter() {
    label("Usage", "Uso");
    label("OPTIONS", "OPÇÕES");
    label("SUBCOMMAND", "COMANDO");
    label("SUBCOMMANDS", "COMANDOS");
    label("Positionals", "Argumentos");
    label("REQUIRED", "OBRIGATÓRIO");
    label("TEXT", "TEXTO");
    label("INT", "INTEIRO");
    label("UINT", "NATURAL");
    label("FLOAT", "NÚMERO");
    label("Env", "Variável");
    label("Needs", "Exige");
    label("Excludes", "Exclui");
}

// Group names are printed as they are, not through the labels. Options keep CLI11's default
// group, which every command gets (a command's help flag is made before the command takes its
// defaults from the application), and only its heading is Portuguese.
std::string PortugueseFormatter::make_group(std::string group, bool is_positional,
                                            std::vector<const CLI::Option*> opts) const {
    if (group == "Options")
        group = "Opções";
    else if (group == "Subcommands")
        group = "Comandos";
    return CLI::Formatter::make_group(std::move(group), is_positional, std::move(opts));
}

void usePortugueseCommandLine(CLI::App& app, const std::string& version) {
    app.set_help_flag("-h,--help", "mostra esta ajuda");
    app.set_version_flag("--version", "quor-certs " + version, "mostra a versão do quor-certs");
    app.failure_message([](const CLI::App* failed, const CLI::Error& error) {
        return "quor-certs: " + commandLineErrorText(*failed, error) + '\n';
    });
}

std::string commandLineErrorText(const CLI::App& app, const CLI::Error& error) {
    std::string text = translated(app, error);
    if (text.empty()) {
        // A form not listed above: still a Portuguese line, with CLI11's own words quoted.
        text = "linha de comando inválida (" + std::string(error.what()) + ")";
    }
    std::string help = "quor-certs --help";
    if (const std::vector<CLI::App*> commands = app.get_subcommands(); !commands.empty()) {
        text = commands.front()->get_name() + ": " + text;
        help = "quor-certs " + commands.front()->get_name() + " --help";
    }
    return text + " (veja '" + help + "')";
}

}  // namespace quor::cli
