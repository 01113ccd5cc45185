// The store shared between processes: concurrent writers, writers killed mid-change, and a
// user who may not read the database.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "platform/cert_store.h"
#include "tests/platform/store_test_support.h"

namespace quor::platform::testing {
namespace {

// Runs body in a child process; returns its exit status (the child never returns to gtest).
template <typename Body>
pid_t spawn(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class StoreProcessTest : public StoreTest {};

TEST_F(StoreProcessTest, TwoProcessesAddingAtOnceLoseNothing) {
    const auto first = distinctCertificates(120, "Primeiro");
    const auto second = distinctCertificates(120, "Segundo");
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    auto writer = [&](const std::vector<Bytes>& certs) {
        return spawn([&, certs]() {
            char go;
            if (::read(gate[0], &go, 1) != 1)
                return 98;
            CertStorePtr ca = openSystemStore("CA");
            if (!ca)
                return 97;
            for (const Bytes& der : certs) {
                if (!ca->addEncoded(der))
                    return 1;
            }
            return 0;
        });
    };
    const pid_t a = writer(first);
    const pid_t b = writer(second);
    ASSERT_EQ(::write(gate[1], "gg", 2), 2);  // both start together
    ::close(gate[0]);
    ::close(gate[1]);
    EXPECT_EQ(exitCodeOf(a), 0);
    EXPECT_EQ(exitCodeOf(b), 0);

    CertStorePtr ca = open("CA");
    const auto stored = walk(*ca);
    EXPECT_EQ(stored.size(), first.size() + second.size());
    for (const auto* set : {&first, &second}) {
        for (const Bytes& der : *set)
            EXPECT_TRUE(ca->findBySha1(sha1Of(der)));
    }
    // Each writer's certificates keep their own order in the common insertion order.
    std::vector<Bytes> ofFirst;
    for (const Bytes& der : stored) {
        if (std::find(first.begin(), first.end(), der) != first.end())
            ofFirst.push_back(der);
    }
    EXPECT_TRUE(ofFirst == first) << ofFirst.size() << " of " << first.size()
                                  << " in their own order";
}

// A writer killed at random moments leaves a whole database in which every certificate is
// fully present (bytes, hash and its property written in the same change) or absent.
TEST_F(StoreProcessTest, WriterKilledMidAddLeavesEachCertificateWholeOrAbsent) {
    const auto certs = distinctCertificates(300, "Morto");
    // Each certificate comes from a temporary store with a friendly name, so one add writes a
    // certificate row and a property row.
    CertStorePtr temporary = openMemoryStore();
    std::vector<CertContextPtr> contexts;
    std::map<Bytes, std::u16string> names;
    for (std::size_t i = 0; i < certs.size(); ++i) {
        CertContextPtr context;
        ASSERT_TRUE(temporary->addEncoded(certs[i], &context));
        const std::u16string name =
            u"nome " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
        ASSERT_TRUE(setFriendlyName(*context, name));
        names[certs[i]] = name;
        contexts.push_back(context);
    }
    ASSERT_TRUE(open("CA"));  // the database exists before the first kill

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayMs(15, 120);
    for (int round = 0; round < 8; ++round) {
        const pid_t child = spawn([&]() {
            CertStorePtr ca = openSystemStore("CA");
            if (!ca)
                return 97;
            for (;;) {
                for (const auto& context : contexts) {
                    if (!ca->addContext(*context) && lastError() != error::kExists)
                        return 1;
                }
                // Keep changing: remove everything and start again.
                for (CertContextPtr c = ca->next(nullptr); c; c = ca->next(nullptr)) {
                    if (!ca->remove(*c))
                        return 2;
                }
            }
        });
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ::kill(child, SIGKILL);
        EXPECT_EQ(exitCodeOf(child), 128 + SIGKILL) << "the writer must still be running";

        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(home.storePath().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* check = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
        sqlite3_finalize(check);
        sqlite3_close(db);

        CertStorePtr ca = open("CA");
        ASSERT_TRUE(ca);
        for (const Bytes& der : walk(*ca)) {
            ASSERT_TRUE(names.count(der)) << "a stored certificate must be one that was added";
            CertContextPtr found = ca->findBySha1(sha1Of(der));
            ASSERT_TRUE(found) << "hash and bytes must agree";
            EXPECT_EQ(friendlyName(*found), names[der])
                << "the property belongs to the same change";
        }
    }
}

// The user cannot read the database file or its folder: a clear access error, nothing changed.
TEST_F(StoreProcessTest, UnreadableDatabaseIsAnAccessError) {
    ASSERT_TRUE(open("CA")->addEncoded(distinctCertificates(1)[0]));
    const std::string file = home.storePath().string();
    const std::string folder = home.storePath().parent_path().string();
    struct Case {
        const char* what;
        std::string path;
    };
    for (const Case& c : {Case{"file", file}, Case{"folder", folder}}) {
        SCOPED_TRACE(c.what);
        const std::string before = test::readFile(file);
        const pid_t child = spawn([&]() {
            // root reads everything: become an ordinary user for the check.
            if (::geteuid() == 0) {
                for (const auto& entry :
                     std::filesystem::recursive_directory_iterator(home.home())) {
                    if (::chown(entry.path().c_str(), 65534, 65534) != 0)
                        return 90;
                }
                if (::chown(home.home().c_str(), 65534, 65534) != 0)
                    return 91;
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    return 92;
            }
            if (::chmod(c.path.c_str(), 0) != 0)
                return 93;
            setLastError(0);
            const bool opened = static_cast<bool>(openSystemStore("CA"));
            const ErrorCode code = lastError();
            ::chmod(c.path.c_str(), c.path == folder ? 0700 : 0600);
            if (opened)
                return 1;
            return code == error::kAccessDenied ? 0 : 2;
        });
        EXPECT_EQ(exitCodeOf(child), 0);
        if (::geteuid() == 0) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(home.home())) {
                ASSERT_EQ(::chown(entry.path().c_str(), 0, 0), 0);
            }
        }
        EXPECT_EQ(test::readFile(file), before);
    }
    EXPECT_EQ(walk(*open("CA")).size(), 1u);
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The files the store database can have besides itself, which the tests hold open so that they
// exist while another process opens the store.
struct HeldDatabase {
    explicit HeldDatabase(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "SELECT count(*) FROM certificates", nullptr, nullptr, nullptr);
    }
    ~HeldDatabase() { sqlite3_close(db); }
    sqlite3* db = nullptr;
};

// A store folder and files left readable by others (an older version, a copy, a loose umask)
// are brought back to the user's alone by the next program that opens them, before anything
// is written.
TEST_F(StoreProcessTest, LooseModesOfTheUsersOwnStoreAreTightenedOnOpen) {
    const auto certificates = distinctCertificates(3);
    ASSERT_EQ(exitCodeOf(spawn([&] { return open("CA")->addEncoded(certificates[0]) ? 0 : 1; })),
              0);
    const std::string file = home.storePath().string();
    const std::string folder = home.storePath().parent_path().string();
    struct Case {
        mode_t folderMode;
        mode_t fileMode;
    };
    int added = 1;
    for (const Case& c : {Case{0755, 0644}, Case{0777, 0666}}) {
        SCOPED_TRACE(std::to_string(c.folderMode) + "/" + std::to_string(c.fileMode));
        HeldDatabase held(file);
        ASSERT_TRUE(std::filesystem::exists(file + "-wal"));
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        for (const char* suffix : {"", "-wal", "-shm"})
            ASSERT_EQ(::chmod((file + suffix).c_str(), c.fileMode), 0);
        const Bytes next = certificates[static_cast<std::size_t>(added)];
        EXPECT_EQ(exitCodeOf(spawn([&] { return open("CA")->addEncoded(next) ? 0 : 1; })), 0);
        ++added;
        EXPECT_EQ(modeOf(folder), 0700u);
        for (const char* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(modeOf(file + suffix), 0600u) << suffix;
    }
    EXPECT_EQ(walk(*open("CA")).size(), 3u);
}

// A store folder or file that belongs to another user is refused with its own error, and left
// exactly as it was: no key is ever written into a file someone else can read or replace.
TEST_F(StoreProcessTest, StoreOfAnotherUserIsRefusedAndLeftAsItIs) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "making files of another user needs root";
    ASSERT_EQ(exitCodeOf(spawn([&] {
                  return open("CA")->addEncoded(distinctCertificates(1)[0]) ? 0 : 1;
              })),
              0);
    const std::string file = home.storePath().string();
    const std::string folder = home.storePath().parent_path().string();
    for (const std::string& path : {folder, file, file + "-wal"}) {
        SCOPED_TRACE(path);
        HeldDatabase held(file);
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(path.c_str(), path == folder ? 0755 : 0644), 0);
        const std::string before = test::readFile(file);
        const pid_t child = spawn([&] {
            setLastError(0);
            if (openSystemStore("CA"))
                return 1;
            return lastError() == error::kStoreNotOwned ? 0 : 2;
        });
        EXPECT_EQ(exitCodeOf(child), 0);
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_mode & 07777, path == folder ? 0755u : 0644u);
        EXPECT_EQ(test::readFile(file), before);
        ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(path.c_str(), path == folder ? 0700 : 0600), 0);
    }
    EXPECT_EQ(messageText(error::kStoreNotOwned),
              L"The certificate store folder or file belongs to another user; it was left "
              L"unchanged.\r\n");
    EXPECT_EQ(walk(*open("CA")).size(), 1u);
}

}  // namespace
}  // namespace quor::platform::testing
