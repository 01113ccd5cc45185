// What the NSS mirror tests share: NSS's own certutil as the oracle, fake Mozilla profile trees
// and a real program holding a database locked.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quor::test {

// Runs certutil with the arguments (no shell); exit code and everything it wrote.
struct CertutilResult {
    int exitCode = -1;
    std::string output;
};
CertutilResult certutil(const std::vector<std::string>& args);

// nickname -> trust ("C,C,C", ",,", "u,u,u") as `certutil -L -d sql:DIR` lists them. Throws when
// certutil fails.
std::map<std::string, std::string> certutilList(const std::filesystem::path& dir);

// Makes an empty NSS database as Mozilla programs and certutil do (empty password).
void makeNssDatabase(const std::filesystem::path& dir);

// A Mozilla profile tree: base/profiles.ini listing the profiles (relative paths), each with a
// fresh NSS database unless dbm is set (then only a cert8.db file, as old profiles have).
struct FakeProfile {
    std::string name;
    std::string folder;  // relative to the base
    bool dbm = false;
};
void makeProfileTree(const std::filesystem::path& base, const std::vector<FakeProfile>& profiles);

// A sqlite3 process holding an exclusive lock on a database file until the object goes.
class DatabaseLocker {
  public:
    explicit DatabaseLocker(const std::filesystem::path& file);
    ~DatabaseLocker();
    DatabaseLocker(const DatabaseLocker&) = delete;
    DatabaseLocker& operator=(const DatabaseLocker&) = delete;
    void release();

  private:
    pid_t pid_ = -1;
    int input_ = -1;
};

}  // namespace quor::test
