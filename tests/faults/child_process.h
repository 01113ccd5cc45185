// A child process for the fault tests: the real quor-certs with its own environment and
// standard input, which a test can wait for (with a deadline) or kill at any moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace quor::faults {

struct ChildResult {
    // Exit status, or 128 + signal number when a signal ended the child.
    int exitCode = -1;
    bool killedByTest = false;
    std::string out;
    std::string err;

    // The last non-empty line of standard output (the status line of the run).
    std::string lastLine() const;
};

class Child {
  public:
    // Starts program with args. The environment is this process's, with `setEnv` entries
    // replacing or adding variables and `unsetEnv` names removed. `input` is written to the
    // child's standard input, which is then closed.
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& setEnv = {},
          const std::vector<std::string>& unsetEnv = {}, const std::string& input = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Collects output until the child exits; past the deadline it is killed (SIGKILL) and the
    // result says so.
    ChildResult wait(std::chrono::milliseconds deadline);
    // SIGKILL now, then collects what it wrote.
    ChildResult kill();

  private:
    ChildResult collect(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool killed_ = false;
};

}  // namespace quor::faults
