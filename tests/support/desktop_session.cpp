#include "tests/support/desktop_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quor::test {

namespace {

// Waits for `pid` up to `limit`; true when it ended.
bool waitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Reads one line from `fd` within `limit`; empty when none came.
std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return {};
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left)) <= 0)
            continue;
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            return {};
        line += c;
    }
    line.pop_back();
    return line;
}

const char* const kReplacedVariables[] = {"DBUS_SESSION_BUS_ADDRESS",
                                          "XDG_CONFIG_HOME",
                                          "XDG_RUNTIME_DIR",
                                          "XDG_CACHE_HOME",
                                          "GSETTINGS_BACKEND",
                                          "DESKTOP_SESSION",
                                          "GNOME_DESKTOP_SESSION_ID",
                                          "KDE_FULL_SESSION",
                                          "XDG_CURRENT_DESKTOP",
                                          "PX_MODULE_PATH",
                                          "http_proxy",
                                          "https_proxy",
                                          "HTTP_PROXY",
                                          "HTTPS_PROXY",
                                          "all_proxy",
                                          "ALL_PROXY",
                                          "no_proxy",
                                          "NO_PROXY"};

}  // namespace

GnomeSession::GnomeSession() {
    const auto home = dir_.path() / "home";
    const auto config = dir_.path() / "config";
    const auto runtime = dir_.path() / "run";
    const auto cache = dir_.path() / "cache";
    for (const auto& folder : {home, config, runtime, cache}) {
        std::filesystem::create_directories(folder);
        ::chmod(folder.c_str(), 0700);
    }

    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        throw std::runtime_error("pipe");
    }
    // The bus, and the dconf service it starts on demand, see only this session's folders.
    const char* path = std::getenv("PATH");
    std::vector<std::string> childEnvironment{
        std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "HOME=" + home.string(),
        "XDG_CONFIG_HOME=" + config.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
        "XDG_CACHE_HOME=" + cache.string()};
    std::vector<char*> envp;
    for (auto& entry : childEnvironment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // The session lives as long as its child, which waits for this end of the pipe to close:
    // if the test dies, the bus goes with it.
    const std::string errorPath = (dir_.path() / "dbus.err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const char* argv[] = {"dbus-run-session",
                          "--",
                          "sh",
                          "-c",
                          "printf '%s\\n' \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat >/dev/null",
                          nullptr};
    const int spawned = ::posix_spawnp(&pid_, "dbus-run-session", &actions, &attributes,
                                       const_cast<char* const*>(argv), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (spawned != 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        pid_ = -1;
        throw std::runtime_error(
            "cannot start dbus-run-session (scripts/install-deps.sh installs dbus)");
    }
    keepAlive_ = toChild[1];
    busAddress_ = readLine(fromChild[0], std::chrono::seconds(20));
    ::close(fromChild[0]);
    if (busAddress_.empty()) {
        ::close(keepAlive_);
        keepAlive_ = -1;
        if (!waitFor(pid_, std::chrono::seconds(5))) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        throw std::runtime_error("the D-Bus session did not start: " + readFile(errorPath));
    }

    for (const char* name : kReplacedVariables) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::unsetenv(name);
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "dconf", 1);
    ::setenv("DESKTOP_SESSION", "gnome", 1);
}

GnomeSession::~GnomeSession() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second) {
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
            ::unsetenv(it->first.c_str());
        }
    }
    if (keepAlive_ >= 0)
        ::close(keepAlive_);
    if (pid_ > 0 && !waitFor(pid_, std::chrono::seconds(5))) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::vector<std::string> GnomeSession::environment() const {
    std::vector<std::string> variables;
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                             "XDG_CACHE_HOME", "GSETTINGS_BACKEND", "DESKTOP_SESSION"}) {
        if (const char* value = std::getenv(name))
            variables.push_back(std::string(name) + "=" + value);
    }
    return variables;
}

std::string GnomeSession::runGsettings(const std::vector<std::string>& args) {
    const std::string outputPath = (dir_.path() / "gsettings.out").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> words{"gsettings"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        ::posix_spawnp(&child, "gsettings", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start gsettings (scripts/install-deps.sh installs it)");
    int status = 0;
    ::waitpid(child, &status, 0);
    std::string output = readFile(outputPath);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto& word : words)
            command += word + " ";
        throw std::runtime_error(command + "failed: " + output);
    }
    return output;
}

void GnomeSession::set(const std::string& schema, const std::string& key,
                       const std::string& value) {
    runGsettings({"set", schema, key, value});
}

std::string GnomeSession::get(const std::string& schema, const std::string& key) {
    std::string value = runGsettings({"get", schema, key});
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

namespace {

std::optional<std::filesystem::path> findModule(const std::string& prefix) {
    std::error_code error;
    for (const char* root : {"/usr/lib", "/usr/lib64", "/usr/local/lib"}) {
        std::vector<std::filesystem::path> candidates{std::filesystem::path(root) / "libproxy"};
        for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
            if (entry.is_directory(error))
                candidates.push_back(entry.path() / "libproxy");
        }
        for (const auto& libproxy : candidates) {
            for (const auto& version : std::filesystem::directory_iterator(libproxy, error)) {
                const auto modules = version.path() / "modules";
                for (const auto& module : std::filesystem::directory_iterator(modules, error)) {
                    if (module.path().filename().string().rfind(prefix, 0) == 0)
                        return module.path();
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> libproxyModuleFolder() {
    const auto gnome = findModule("config_gnome3");
    if (!gnome)
        return std::nullopt;
    return gnome->parent_path();
}

std::optional<std::filesystem::path> libproxyPacRunner() {
    return findModule("pacrunner_");
}

}  // namespace quor::test
