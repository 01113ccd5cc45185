// A GNOME desktop's proxy settings for tests, made of the real parts: a private D-Bus session
// (dbus-run-session), the dconf GSettings back-end that the desktop keeps its settings in, and the
// gsettings tool to change them.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace quor::test {

// GnomeSession starts a session bus of its own and, for the object's lifetime, points this
// process at it as a GNOME session (DESKTOP_SESSION=gnome, which is what makes libproxy read the
// GNOME settings) with its own settings folders, so neither the machine's bus nor the settings of
// whoever runs the tests are ever read or written. The proxy variables (http_proxy and the
// others) are removed meanwhile. Everything comes back, and the bus ends, in the destructor.
//
// Throws std::runtime_error when dbus-run-session cannot start (scripts/install-deps.sh installs
// it with the dconf back-end and the schemas).
class GnomeSession {
  public:
    GnomeSession();
    ~GnomeSession();
    GnomeSession(const GnomeSession&) = delete;
    GnomeSession& operator=(const GnomeSession&) = delete;

    // Runs "gsettings set schema key value" on this session; throws std::runtime_error with the
    // tool's output when it fails. `value` is in GVariant text form ("'manual'", "3128",
    // "['localhost']").
    void set(const std::string& schema, const std::string& key, const std::string& value);

    // "gsettings get schema key", without the trailing line break.
    std::string get(const std::string& schema, const std::string& key);

    // The variables this session sets, as NAME=VALUE, for a program started with a clean
    // environment.
    std::vector<std::string> environment() const;

  private:
    std::string runGsettings(const std::vector<std::string>& args);

    TempDir dir_;
    pid_t pid_ = -1;
    int keepAlive_ = -1;
    std::string busAddress_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The folder of libproxy's modules (config_gnome3.so, the PAC runner), or nothing when libproxy's
// GNOME module is not installed.
std::optional<std::filesystem::path> libproxyModuleFolder();

// A libproxy PAC runner module, or nothing when none is installed.
std::optional<std::filesystem::path> libproxyPacRunner();

}  // namespace quor::test
