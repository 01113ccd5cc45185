// Runs a program as a child process and collects what it writes, for tests of command-line tools.
#pragma once

#include <string>
#include <vector>

namespace quor::test {

struct ProcessResult {
    int exitCode = -1;  // exit status, or 128 + signal number when a signal ended it
    std::string out;
    std::string err;
};

// Runs program with args (no shell), standard input empty, and waits for it. Throws
// std::runtime_error when the program cannot be started.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args);

// Runs program with args on a new pseudo-terminal (standard input, output and error all the
// terminal), answers `answer` + newline once the output shows "[s/N]", and waits for it (60
// seconds at most). Everything the program wrote is in `out`.
ProcessResult runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                            const std::string& answer);

// Runs a command line with /bin/sh -c.
ProcessResult runShell(const std::string& command);

// text in single quotes, as one word of a /bin/sh command line.
std::string shellQuoted(const std::string& text);

#ifdef QUOR_BINARY_DIR
// The quor-certs of this build, and running it as a user does.
inline const std::string kQuorCerts = QUOR_BINARY_DIR "/cli/quor-certs";
inline ProcessResult runQuorCerts(const std::vector<std::string>& args) {
    return runProcess(kQuorCerts, args);
}
// The same with input on its standard input (a pipe, not a terminal), through the shell.
inline ProcessResult runQuorCertsWithInput(const std::string& input,
                                           const std::vector<std::string>& args) {
    std::string command = "printf '%s' " + shellQuoted(input) + " | " + shellQuoted(kQuorCerts);
    for (const std::string& arg : args)
        command += " " + shellQuoted(arg);
    return runShell(command);
}
#endif

}  // namespace quor::test
