// Helpers of the installer tests: controls that record what a run shows, prompts with canned
// answers, a loopback download folder, and a look into the user's stores.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "installer/installer_controls.h"
#include "installer/installer_prompts.h"
#include "tests/support/http_server.h"

namespace quor::installer::test {

// Records every log text and progress value, in order, as "log: <text>" and "progress <n>".
class RecordingControls : public LogControl, public ProgressControl {
  public:
    void replaceText(const std::wstring& text) override { events.push_back(L"log: " + text); }
    void setPosition(int value) override {
        events.push_back(L"progress " + std::to_wstring(value));
    }
    InstallerControls controls() { return InstallerControls{this, this}; }

    std::vector<std::wstring> events;
};

// Answers root confirmations with a fixed answer and proxy questions with nothing; remembers
// which roots it was asked about.
class CannedPrompts : public InstallerPrompts {
  public:
    explicit CannedPrompts(bool approveRoots) : approveRoots_(approveRoots) {}
    std::optional<net::ProxyCredentials> askProxyCredentials(
        const net::ProxyCredentialsRequest&) override {
        return std::nullopt;
    }
    bool confirmRootCertificate(const platform::RootAddRequest& request) override {
        askedRoots.push_back(request.subjectDisplayName);
        return approveRoots_;
    }

    std::vector<std::string> askedRoots;

  private:
    bool approveRoots_;
};

// The expected texts of a run, as RecordingControls records them.
namespace expect {
std::wstring progress(int value);
std::wstring log(const std::wstring& text);
// Progress 5 and 10 with the two list lines.
std::vector<std::wstring> listRead();
// One entry whose chain the step installs / finds installed / that is skipped for its suffix.
std::vector<std::wstring> installed(const std::wstring& name);
std::vector<std::wstring> alreadyInstalled(const std::wstring& name);
std::vector<std::wstring> ignored(const std::wstring& name);
// The entry's first line, before it fails.
std::vector<std::wstring> checking(const std::wstring& name);
std::vector<std::wstring> success();
std::vector<std::wstring> failure(const std::wstring& text);
std::vector<std::wstring> concat(std::initializer_list<std::vector<std::wstring>> parts);
}  // namespace expect

// A download folder "/DEZIruva/certificados/" on a loopback server.
class DownloadFolder {
  public:
    static constexpr const char* kFolder = "/DEZIruva/certificados/";

    // Serves body as the file `name` of the folder, with the given status.
    void put(const std::string& name, const std::string& body, int status = 200);
    // Serves every file of a local folder (not its sub-folders).
    void putAll(const std::filesystem::path& folder);
    std::wstring baseUrl() const;
    // File names requested so far, relative to the folder, in order.
    std::vector<std::string> fetched() const;

    quor::test::HttpServer server;
};

// SHA-1 texts ("ab cd ...") of the certificates in each of the user's stores, by store name;
// stores without certificates are left out.
std::map<std::string, std::set<std::string>> storeContents();

// SHA-1 text of the certificate in a PEM file.
std::string sha1OfPemFile(const std::filesystem::path& file);

}  // namespace quor::installer::test
