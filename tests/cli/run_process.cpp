#include "tests/cli/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quor::test {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~Pipe() {
        for (int end : fd) {
            if (end >= 0)
                close(end);
        }
    }
    void closeEnd(int which) {
        if (fd[which] >= 0)
            close(fd[which]);
        fd[which] = -1;
    }
};

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args) {
    Pipe out;
    Pipe err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    out.closeEnd(1);
    err.closeEnd(1);

    ProcessResult result;
    pollfd watched[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
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
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
}

ProcessResult runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                            const std::string& answer) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0)
        throw std::runtime_error("forkpty failed");
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ProcessResult result;
    bool answered = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;  // EIO once the child has closed the terminal
        result.out.append(buffer, static_cast<std::size_t>(n));
        if (!answered && result.out.find("[s/N]") != std::string::npos) {
            const std::string line = answer + "\n";
            if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                break;
            answered = true;
        }
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProcessResult runShell(const std::string& command) {
    return runProcess("/bin/sh", {"-c", command});
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace quor::test
