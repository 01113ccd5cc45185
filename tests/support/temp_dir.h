// Temporary folders for tests, removed with everything in them when the object goes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quor::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points XDG_DATA_HOME (and HOME) at a fresh temporary folder for the object's lifetime, so the
// certificate store of a test is its own; the previous values come back afterwards.
class ScopedDataHome {
public:
    ScopedDataHome();
    ~ScopedDataHome();
    ScopedDataHome(const ScopedDataHome&) = delete;
    ScopedDataHome& operator=(const ScopedDataHome&) = delete;

    const std::filesystem::path& home() const { return dir_.path(); }
    std::filesystem::path dataHome() const { return dir_.path() / "data"; }
    std::filesystem::path storePath() const { return dataHome() / "quor" / "certstore.db"; }

private:
    TempDir dir_;
    std::optional<std::string> oldXdg_;
    std::optional<std::string> oldHome_;
};

// Reads a whole file as bytes in a string.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Path of a fixture under tests/fixtures.
std::filesystem::path fixture(const std::string& relative);

}  // namespace quor::test
