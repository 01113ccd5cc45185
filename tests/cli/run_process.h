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

}  // namespace quor::test
