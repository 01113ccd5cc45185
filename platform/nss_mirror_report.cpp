// Finding the user's NSS databases, and the mirror reports handed to callers.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sqlite_database.h"

#include "platform/nss_mirror.h"

namespace quor::platform {

namespace {

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

struct IniProfile {
    std::string name;
    std::string path;
    bool relative = true;
};

// The [ProfileN] sections of a Mozilla profiles.ini, in file order. The [Install...] sections
// name the same folders again and are not needed.
std::vector<IniProfile> readProfilesIni(const std::string& file) {
    std::vector<IniProfile> profiles;
    std::ifstream in(file);
    std::string line;
    bool inProfile = false;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inProfile = line.rfind("[Profile", 0) == 0;
            if (inProfile)
                profiles.emplace_back();
            continue;
        }
        if (!inProfile)
            continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (key == "Name")
            profiles.back().name = value;
        else if (key == "Path")
            profiles.back().path = value;
        else if (key == "IsRelative")
            profiles.back().relative = value != "0";
    }
    return profiles;
}

// An XDG base folder: the variable when it holds an absolute path (the XDG rules ignore a
// relative one), else its default under the home folder.
std::string xdgFolder(const char* variable, const std::string& home, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string folder = value && isAbsolute(value) ? std::string(value) : home + fallback;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// The shared database NSS programs open for a home, by NSS's own rule: the old ~/.pki/nssdb while
// it exists, else pki/nssdb in the data folder. Writing anywhere else would make a second
// database that, once created, hides the user's from every NSS program.
std::string sharedNssDatabase(const std::string& home, const std::string& dataHome) {
    const std::string legacy = home + "/.pki/nssdb";
    struct stat info {};
    if (::stat(legacy.c_str(), &info) == 0)
        return legacy;
    return dataHome + "/pki/nssdb";
}

thread_local MirrorReport tlsLastReport;
thread_local std::vector<MirrorReportScope*> tlsScopes;

}  // namespace

std::string NssMirror::label() const {
    return profile.empty() ? program : program + " (" + profile + ")";
}

const char* mirrorStatusName(MirrorStatus status) {
    switch (status) {
        case MirrorStatus::Written:
            return "written";
        case MirrorStatus::Locked:
            return "locked";
        case MirrorStatus::ReadOnly:
            return "read-only";
        case MirrorStatus::OldFormat:
            return "old format";
        case MirrorStatus::Failed:
            return "failed";
    }
    return "failed";
}

const char* mirrorActionName(MirrorAction action) {
    switch (action) {
        case MirrorAction::Added:
            return "added";
        case MirrorAction::KeyAdded:
            return "key added";
        case MirrorAction::TrustChanged:
            return "trust changed";
        case MirrorAction::Removed:
            return "removed";
        case MirrorAction::TrustRestored:
            return "trust restored";
    }
    return "changed";
}

std::vector<const MirrorResult*> MirrorReport::failures() const {
    std::vector<const MirrorResult*> failed;
    for (const auto& result : results) {
        if (result.status == MirrorStatus::Locked || result.status == MirrorStatus::ReadOnly ||
            result.status == MirrorStatus::Failed) {
            failed.push_back(&result);
        }
    }
    return failed;
}

bool MirrorReport::changed() const {
    return std::any_of(results.begin(), results.end(),
                       [](const MirrorResult& result) { return !result.changes.empty(); });
}

void MirrorReport::merge(const MirrorReport& other) {
    for (const auto& certificate : other.unsupported) {
        if (std::none_of(unsupported.begin(), unsupported.end(),
                         [&](const UnsupportedCertificate& known) {
                             return known.sha1 == certificate.sha1;
                         })) {
            unsupported.push_back(certificate);
        }
    }
    for (const auto& incoming : other.results) {
        auto same = std::find_if(results.begin(), results.end(), [&](const MirrorResult& result) {
            return result.mirror.directory == incoming.mirror.directory;
        });
        if (same == results.end()) {
            results.push_back(incoming);
            continue;
        }
        // A later failure outweighs an earlier success: what failed still has to be synced.
        if (incoming.status != MirrorStatus::Written)
            same->status = incoming.status;
        same->changes.insert(same->changes.end(), incoming.changes.begin(), incoming.changes.end());
        for (const auto& note : incoming.notes) {
            if (std::find(same->notes.begin(), same->notes.end(), note) == same->notes.end())
                same->notes.push_back(note);
        }
    }
}

std::vector<NssMirror> findNssMirrors() {
    std::vector<NssMirror> mirrors;
    const std::string home = detail::homeFolder();
    if (home.empty())
        return mirrors;
    // The shared database is created on the first write, so it is listed even when missing.
    mirrors.push_back(
        {"Chromium/Chrome", "", sharedNssDatabase(home, xdgFolder("XDG_DATA_HOME", home,
                                                                   "/.local/share"))});
    // Snap Chromium has a home of its own ("current" follows the snap's revisions); the same rule
    // applies there, with the data folder the snap gives it.
    const std::string snapHome = home + "/snap/chromium/current";
    if (isFolder(snapHome))
        mirrors.push_back(
            {"Chromium", "snap", sharedNssDatabase(snapHome, snapHome + "/.local/share")});

    struct Root {
        const char* program;
        std::string folder;
    };
    const std::string config = xdgFolder("XDG_CONFIG_HOME", home, "/.config");
    // Regular installs (the XDG folder newer versions use and the older dot folder), snap and
    // flatpak installs, each in both places.
    const Root roots[] = {
        {"Firefox", home + "/.mozilla/firefox"},
        {"Firefox", config + "/mozilla/firefox"},
        {"Firefox", home + "/snap/firefox/common/.mozilla/firefox"},
        {"Firefox", home + "/snap/firefox/common/.config/mozilla/firefox"},
        {"Firefox", home + "/.var/app/org.mozilla.firefox/.mozilla/firefox"},
        {"Firefox", home + "/.var/app/org.mozilla.firefox/config/mozilla/firefox"},
        {"Thunderbird", home + "/.thunderbird"},
        {"Thunderbird", config + "/thunderbird"},
        {"Thunderbird", home + "/snap/thunderbird/common/.thunderbird"},
        {"Thunderbird", home + "/snap/thunderbird/common/.config/thunderbird"},
        {"Thunderbird", home + "/.var/app/org.mozilla.Thunderbird/.thunderbird"},
        {"Thunderbird", home + "/.var/app/org.mozilla.Thunderbird/config/thunderbird"},
    };
    std::vector<std::string> seen;
    for (const auto& root : roots) {
        const std::string& base = root.folder;
        for (const auto& profile : readProfilesIni(base + "/profiles.ini")) {
            if (profile.path.empty())
                continue;
            std::string folder = profile.relative ? base + "/" + profile.path : profile.path;
            while (folder.size() > 1 && folder.back() == '/')
                folder.pop_back();
            if (!isAbsolute(folder) || !isFolder(folder))
                continue;
            char* resolved = ::realpath(folder.c_str(), nullptr);
            const std::string canonical = resolved ? std::string(resolved) : folder;
            std::free(resolved);
            if (std::find(seen.begin(), seen.end(), canonical) != seen.end())
                continue;
            seen.push_back(canonical);
            mirrors.push_back(
                {root.program, profile.name.empty() ? profile.path : profile.name, folder});
        }
    }
    return mirrors;
}

MirrorReport lastMirrorReport() {
    return tlsLastReport;
}

MirrorReportScope::MirrorReportScope() {
    tlsScopes.push_back(this);
}

MirrorReportScope::~MirrorReportScope() {
    tlsScopes.erase(std::remove(tlsScopes.begin(), tlsScopes.end(), this), tlsScopes.end());
}

namespace detail {

void recordMirrorReport(const MirrorReport& report) {
    tlsLastReport = report;
    for (MirrorReportScope* scope : tlsScopes)
        scope->report_.merge(report);
}

}  // namespace detail

}  // namespace quor::platform
