// The files the package ships beside the programs, read by the tools a desktop and Debian read
// them with: desktop-file-validate, appstreamcli, man, bash with bash-completion, and CMake's
// install rules. The manual page and the completion are compared with the real quor-certs, so
// a command or option added to the program without them fails here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quor::test::ProcessResult;
using quor::test::runProcess;
using ::testing::HasSubstr;

const fs::path kSource = QUOR_SOURCE_DIR;
const fs::path kData = kSource / "data";
const std::string& kProgram = quor::test::kQuorCerts;
const char* const kBashCompletion = "/usr/share/bash-completion/bash_completion";

std::string toolPath(const std::string& name) {
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(path, dir, ':')) {
        const fs::path candidate = fs::path(dir) / name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

// Lines of the "Comandos:" block of the top-level help: the first word of each entry.
std::vector<std::string> programCommands() {
    const ProcessResult help = runProcess(kProgram, {"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    std::vector<std::string> commands;
    std::istringstream lines(help.out);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Comandos:", 0) == 0) {
            inside = true;
            continue;
        }
        if (inside && !line.empty() && line[0] != ' ')
            break;
        if (inside && line.size() > 2 && line[0] == ' ' && line[1] == ' ' && line[2] >= 'a' &&
            line[2] <= 'z') {
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    EXPECT_FALSE(commands.empty()) << help.out;
    return commands;
}

// Long options named at the start of a line of a command's help ("  -o,--output TEXT").
std::set<std::string> programOptions(const std::vector<std::string>& command) {
    std::vector<std::string> args = command;
    args.push_back("--help");
    const ProcessResult help = runProcess(kProgram, args);
    EXPECT_EQ(help.exitCode, 0) << help.err;
    std::set<std::string> options;
    const std::regex option(R"(^ +(?:-[a-zA-Z],)?(--[a-z][a-z-]*))");
    std::istringstream lines(help.out);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, match, option) && match[1] != "--help")
            options.insert(match[1]);
    }
    return options;
}

// Subcommands a command lists in its help (CLI11's "Subcommands:" block), e.g. system's.
std::vector<std::string> programSubcommands(const std::string& command) {
    const ProcessResult help = runProcess(kProgram, {command, "--help"});
    std::vector<std::string> subcommands;
    std::istringstream lines(help.out);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Subcommands:", 0) == 0 || line.rfind("Subcomandos:", 0) == 0) {
            inside = true;
            continue;
        }
        if (inside && (line.empty() || line[0] != ' '))
            break;
        if (inside) {
            std::istringstream words(line);
            std::string word;
            words >> word;
            subcommands.push_back(word);
        }
    }
    return subcommands;
}

// The manual page as text to search, roff's escaped hyphens made plain.
std::string manualSource(const std::string& page) {
    std::string text = quor::test::readFile(kData / "man" / page);
    for (std::size_t at = text.find("\\-"); at != std::string::npos; at = text.find("\\-", at))
        text.replace(at, 2, "-");
    return text;
}

std::string textOf(const ProcessResult& result) {
    return "exit " + std::to_string(result.exitCode) + "\n" + result.out + result.err;
}

TEST(DesktopEntry, PassesTheValidatorAndStartsTheDialogWithItsOwnIcon) {
    const std::string validator = toolPath("desktop-file-validate");
    if (validator.empty())
        GTEST_SKIP() << "desktop-file-validate is missing (scripts/install-deps.sh installs it)";
    const fs::path entry = kData / "quor-chain-installer.desktop";
    const ProcessResult checked = runProcess(validator, {entry.string()});
    EXPECT_EQ(checked.exitCode, 0) << textOf(checked);
    EXPECT_EQ(checked.out + checked.err, "") << "findings of desktop-file-validate";

    const std::string text = quor::test::readFile(entry);
    for (const char* line :
         {"\nName[pt_BR]=Instalador de cadeias Quorsa\n", "\nComment[pt_BR]=Instala as cadeias",
          "\nExec=quor-chain-installer\n", "\nIcon=quor-chain-installer\n",
          "\nCategories=System;Security;Qt;\n", "\nTerminal=false\n"}) {
        EXPECT_THAT(text, HasSubstr(line));
    }
    const std::string icon = quor::test::readFile(kData / "icons" / "quor-chain-installer.svg");
    EXPECT_THAT(icon, HasSubstr("<svg xmlns=\"http://www.w3.org/2000/svg\""));
}

TEST(AppStreamMetadata, ValidatesWithoutAnyFindingAndMatchesTheProgramVersion) {
    const std::string appstreamcli = toolPath("appstreamcli");
    if (appstreamcli.empty())
        GTEST_SKIP() << "appstreamcli is missing (scripts/install-deps.sh installs appstream)";
    const fs::path metainfo = kData / "br.com.quorsa.quor_chain_installer.metainfo.xml";
    const ProcessResult checked =
        runProcess(appstreamcli, {"validate", "--no-net", "--pedantic", metainfo.string()});
    EXPECT_EQ(checked.exitCode, 0) << textOf(checked);
    EXPECT_THAT(checked.out, HasSubstr("Validation was successful")) << textOf(checked);
    // Pedantic hints, infos and warnings all start with their letter and a colon.
    EXPECT_FALSE(std::regex_search(checked.out, std::regex(R"((^|\n)[PIWE]: )")))
        << textOf(checked);

    const std::string text = quor::test::readFile(metainfo);
    EXPECT_THAT(text, HasSubstr("<launchable type=\"desktop-id\">quor-chain-installer.desktop<"));
    EXPECT_TRUE(fs::exists(kData / "quor-chain-installer.desktop"));
    EXPECT_THAT(text, HasSubstr("<release version=\"" QUOR_VERSION "\""));
    const std::string changelog = quor::test::readFile(kSource / "debian" / "changelog");
    EXPECT_EQ(changelog.rfind("quor-chain-installer (" QUOR_VERSION ") ", 0), 0u)
        << "debian/changelog and CMakeLists.txt give different versions";
}

TEST(ManualPages, FormatWithoutWarnings) {
    const std::string man = toolPath("man");
    if (man.empty())
        GTEST_SKIP() << "man is missing (man-db)";
    for (const char* page : {"quor-certs.1", "quor-chain-installer.1"}) {
        const ProcessResult shown =
            runProcess("/usr/bin/env", {"MANPAGER=cat", "PAGER=cat", "MANWIDTH=80", man,
                                        "--warnings", "-E", "UTF-8", "-l",
                                        (kData / "man" / page).string()});
        EXPECT_EQ(shown.exitCode, 0) << page << ": " << textOf(shown);
        EXPECT_EQ(shown.err, "") << page << ": warnings of groff";
        EXPECT_THAT(shown.out, HasSubstr("NOME")) << page;
    }
}

TEST(ManualPages, QuorCertsPageDescribesEveryCommandAndOptionOfTheProgram) {
    const std::string page = manualSource("quor-certs.1");
    std::vector<std::string> missing;
    for (const std::string& option : programOptions({})) {
        if (page.find(option) == std::string::npos)
            missing.push_back(option);
    }
    for (const std::string& command : programCommands()) {
        std::vector<std::vector<std::string>> forms{{command}};
        for (const std::string& sub : programSubcommands(command))
            forms.push_back({command, sub});
        for (const std::vector<std::string>& form : forms) {
            std::string heading = ".SS \"";
            for (std::size_t i = 0; i < form.size(); ++i)
                heading += (i ? " " : "") + form[i];
            if (page.find(heading) == std::string::npos)
                missing.push_back(heading + "\"");
            for (const std::string& option : programOptions(form)) {
                if (page.find(option) == std::string::npos)
                    missing.push_back(form[0] + " " + option);
            }
        }
    }
    EXPECT_THAT(missing, ::testing::IsEmpty()) << "absent from data/man/quor-certs.1";
}

// What bash offers after the words typed, through bash-completion and our completion file,
// with the quor-certs under test first in PATH.
std::set<std::string> completions(const std::vector<std::string>& words) {
    std::string array;
    for (const std::string& word : words)
        array += " '" + word + "'";
    const std::string script =
        std::string("source ") + kBashCompletion + "\nsource '" +
        (kData / "completion" / "quor-certs").string() + "'\nCOMP_WORDS=(" + array +
        ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\nCOMP_LINE=\"${COMP_WORDS[*]}\"\n"
        "COMP_POINT=${#COMP_LINE}\n_quor_certs\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    const std::string path = fs::path(kProgram).parent_path().string() + ":" +
                             (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    const ProcessResult run =
        runProcess("/usr/bin/env", {"PATH=" + path, "/bin/bash", "-c", script});
    EXPECT_EQ(run.exitCode, 0) << textOf(run);
    std::set<std::string> offered;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            offered.insert(line);
    }
    return offered;
}

TEST(BashCompletion, OffersTheProgramsOwnCommandsOptionsAndValues) {
    if (!fs::exists(kBashCompletion))
        GTEST_SKIP() << "bash-completion is missing (scripts/install-deps.sh installs it)";
    const std::vector<std::string> commands = programCommands();
    const std::set<std::string> everyCommand(commands.begin(), commands.end());
    EXPECT_EQ(completions({"quor-certs", ""}), everyCommand);
    EXPECT_EQ(completions({"quor-certs", "li"}), std::set<std::string>{"list"});
    EXPECT_EQ(completions({"quor-certs", "list", "R"}), std::set<std::string>{"ROOT"});
    EXPECT_EQ(completions({"quor-certs", "list", "ROOT", ""}),
              (std::set<std::string>{"MY", "AddressBook", "CA", "ROOT"}));
    EXPECT_EQ(completions({"quor-certs", "export", "--format", "p"}),
              (std::set<std::string>{"pem", "pkcs12"}));
    EXPECT_EQ(completions({"quor-certs", "sign", "--hash", "SHA2"}),
              std::set<std::string>{"SHA256"});
    // Every long option of every command, read from the program as the completion does.
    for (const std::string& command : commands) {
        std::vector<std::vector<std::string>> forms{{command}};
        for (const std::string& sub : programSubcommands(command))
            forms.push_back({command, sub});
        for (const std::vector<std::string>& form : forms) {
            std::vector<std::string> words{"quor-certs"};
            words.insert(words.end(), form.begin(), form.end());
            words.push_back("--");
            const std::set<std::string> offered = completions(words);
            for (const std::string& option : programOptions(form))
                EXPECT_TRUE(offered.count(option)) << words[1] << " " << option;
            EXPECT_TRUE(offered.count("--help")) << words[1];
        }
    }
}

TEST(InstallRules, PutTheProgramsAndTheirFilesWhereADesktopLooksForThem) {
    const quor::test::TempDir root;
    const ProcessResult installed =
        runProcess("/usr/bin/env", {"DESTDIR=" + root.path().string(), QUOR_CMAKE_COMMAND,
                                    "--install", QUOR_BINARY_DIR, "--prefix", "/usr"});
    ASSERT_EQ(installed.exitCode, 0) << textOf(installed);
    std::set<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root.path())) {
        if (!item.is_directory())
            files.insert(fs::relative(item.path(), root.path()).string());
    }
    const std::set<std::string> expected{
        "usr/bin/quor-certs",
        "usr/bin/quor-chain-installer",
        "usr/share/applications/quor-chain-installer.desktop",
        "usr/share/icons/hicolor/scalable/apps/quor-chain-installer.svg",
        "usr/share/metainfo/br.com.quorsa.quor_chain_installer.metainfo.xml",
        "usr/share/man/man1/quor-certs.1",
        "usr/share/man/man1/quor-chain-installer.1",
        "usr/share/bash-completion/completions/quor-certs",
    };
    EXPECT_EQ(files, expected);
}

}  // namespace
