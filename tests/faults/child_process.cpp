#include "tests/faults/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quor::faults {

std::string ChildResult::lastLine() const {
    std::size_t end = out.size();
    while (end > 0 && (out[end - 1] == '\n' || out[end - 1] == '\r'))
        --end;
    const std::size_t start = out.rfind('\n', end == 0 ? 0 : end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 1,
                      end - (start == std::string::npos ? 0 : start + 1));
}

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& setEnv,
             const std::vector<std::string>& unsetEnv, const std::string& input) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool drop = setEnv.count(name) != 0;
        for (const auto& unset : unsetEnv)
            drop = drop || unset == name;
        if (!drop)
            environment.push_back(text);
    }
    for (const auto& [name, value] : setEnv)
        environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : environment)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : argvText)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const int spawned =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    // Small inputs fit the pipe; the child reads them when it asks.
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        // The child is gone already; its result tells why.
    }
    close(in[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    closeFd(outFd_);
    closeFd(errFd_);
}

ChildResult Child::wait(std::chrono::milliseconds deadline) {
    return collect(std::chrono::steady_clock::now() + deadline);
}

ChildResult Child::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        killed_ = true;
    }
    return collect(std::chrono::steady_clock::now() + std::chrono::seconds(10));
}

ChildResult Child::collect(std::chrono::steady_clock::time_point deadline) {
    ChildResult result;
    pollfd watched[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (!killed_ && pid_ > 0) {
                ::kill(pid_, SIGKILL);
                killed_ = true;
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                continue;
            }
            break;
        }
        const int ready = poll(watched, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2 && ready > 0; ++k) {
            if (watched[k].fd < 0 || watched[k].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t got = read(watched[k].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[k]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                watched[k].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    closeFd(outFd_);
    closeFd(errFd_);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitCode = 128 + WTERMSIG(status);
    }
    result.killedByTest = killed_;
    return result;
}

}  // namespace quor::faults
