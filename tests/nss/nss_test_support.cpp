#include "tests/nss/nss_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/cli/run_process.h"

extern char** environ;

namespace quor::test {

namespace fs = std::filesystem;

CertutilResult certutil(const std::vector<std::string>& args) {
    const ProcessResult result = runProcess("/usr/bin/certutil", args);
    return {result.exitCode, result.out + result.err};
}

std::map<std::string, std::string> certutilList(const fs::path& dir) {
    const CertutilResult result = certutil({"-L", "-d", "sql:" + dir.string()});
    if (result.exitCode != 0)
        throw std::runtime_error("certutil -L failed: " + result.output);
    std::map<std::string, std::string> listed;
    std::istringstream lines(result.output);
    std::string line;
    bool body = false;
    while (std::getline(lines, line)) {
        // The listing starts after the legend, which ends with a line of trust letters.
        if (!body) {
            body = line.find("SSL,S/MIME,JAR/XPI") != std::string::npos;
            continue;
        }
        const auto end = line.find_last_not_of(" \t");
        if (end == std::string::npos)
            continue;
        const auto gap = line.find_last_of(" \t", end);
        if (gap == std::string::npos)
            continue;
        const std::string trust = line.substr(gap + 1, end - gap);
        const auto nameEnd = line.find_last_not_of(" \t", gap);
        if (nameEnd == std::string::npos)
            continue;
        listed[line.substr(0, nameEnd + 1)] = trust;
    }
    return listed;
}

void makeNssDatabase(const fs::path& dir) {
    fs::create_directories(dir);
    const CertutilResult result = certutil({"-N", "--empty-password", "-d", "sql:" + dir.string()});
    if (result.exitCode != 0)
        throw std::runtime_error("certutil -N failed: " + result.output);
}

void makeProfileTree(const fs::path& base, const std::vector<FakeProfile>& profiles) {
    fs::create_directories(base);
    std::ofstream ini(base / "profiles.ini");
    ini << "[General]\nStartWithLastProfile=1\nVersion=2\n\n";
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        const FakeProfile& profile = profiles[i];
        ini << "[Profile" << i << "]\nName=" << profile.name
            << "\nIsRelative=1\nPath=" << profile.folder << "\n"
            << (i == 0 ? "Default=1\n" : "") << "\n";
        const fs::path folder = base / profile.folder;
        if (profile.dbm) {
            fs::create_directories(folder);
            std::ofstream(folder / "cert8.db") << "old dbm certificate database";
        } else {
            makeNssDatabase(folder);
        }
    }
    ini << "[Install4F96D1932A9F858E]\nDefault=" << (profiles.empty() ? "" : profiles[0].folder)
        << "\nLocked=1\n";
}

DatabaseLocker::DatabaseLocker(const fs::path& file) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string path = file.string();
    std::vector<char*> argv{const_cast<char*>("/usr/bin/sqlite3"), const_cast<char*>(path.c_str()),
                            nullptr};
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        throw std::runtime_error("cannot start sqlite3");
    }
    input_ = in[1];
    // The lock is held once the select inside the transaction has answered.
    const std::string script = "BEGIN EXCLUSIVE;\nSELECT 'locked';\n";
    if (write(input_, script.data(), script.size()) != static_cast<ssize_t>(script.size())) {
        close(out[0]);
        release();
        throw std::runtime_error("cannot talk to sqlite3");
    }
    std::string answer;
    pollfd poller{out[0], POLLIN, 0};
    while (answer.find("locked") == std::string::npos && poll(&poller, 1, 10000) > 0) {
        char buffer[64];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    if (answer.find("locked") == std::string::npos) {
        release();
        throw std::runtime_error("sqlite3 did not take the lock");
    }
}

void DatabaseLocker::release() {
    if (input_ >= 0) {
        close(input_);  // end of input: sqlite3 rolls back and exits
        input_ = -1;
    }
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

DatabaseLocker::~DatabaseLocker() {
    release();
}

}  // namespace quor::test
