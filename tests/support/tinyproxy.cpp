#include "tests/support/tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quor::test {

namespace {

std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

Tinyproxy::Tinyproxy(const TinyproxyOptions& options) {
    port_ = freeLoopbackPort();
    std::string config = "Port " + std::to_string(port_) +
                         "\n"
                         "Listen 127.0.0.1\n"
                         "Timeout 30\n"
                         "MaxClients 20\n"
                         "LogLevel Info\n"
                         "LogFile \"" +
                         (dir_.path() / "tinyproxy.log").string() +
                         "\"\n"
                         "DisableViaHeader Yes\n";
    if (!options.user.empty())
        config += "BasicAuth " + options.user + " " + options.password + "\n";
    for (auto port : options.connectPorts)
        config += "ConnectPort " + std::to_string(port) + "\n";
    writeFile(dir_.path() / "tinyproxy.conf", config);

    const std::string configPath = (dir_.path() / "tinyproxy.conf").string();
    const std::string outputPath = (dir_.path() / "tinyproxy.out").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const char* argv[] = {"tinyproxy", "-d", "-c", configPath.c_str(), nullptr};
    const int spawned = ::posix_spawnp(&pid_, "tinyproxy", &actions, nullptr,
                                       const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start tinyproxy (scripts/install-deps.sh installs it)");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!accepts(port_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > deadline) {
            const std::string output = readFile(outputPath);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
            throw std::runtime_error("tinyproxy did not start: " + output);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Tinyproxy::~Tinyproxy() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string Tinyproxy::url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::string Tinyproxy::log() const {
    try {
        return readFile(dir_.path() / "tinyproxy.log");
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace quor::test
