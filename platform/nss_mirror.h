// Mirrors of the user's stores in the NSS databases of the user's other programs.
//
// The store database (cert_store.h) is this layer's own record. Browsers and mail programs on
// Linux (Chromium and Chrome, Firefox, Thunderbird, LibreOffice's signing, Evolution) read NSS
// databases instead, so every committed change to a system store is copied, through the NSS
// library, into:
//  - the shared database, the one NSS programs open themselves: ~/.pki/nssdb while it exists,
//    else $XDG_DATA_HOME/pki/nssdb (default ~/.local/share/pki/nssdb). A missing one is created
//    only there, as Chromium creates it (sql: format, empty password): a new ~/.pki/nssdb beside
//    the user's XDG database would hide that database from every NSS program;
//  - the same database inside snap Chromium's home (~/snap/chromium/current), when that home
//    exists;
//  - every Firefox and Thunderbird profile listed in a profiles.ini, under each folder those
//    programs use: $XDG_CONFIG_HOME/mozilla/firefox (default ~/.config/...) and ~/.mozilla/firefox,
//    $XDG_CONFIG_HOME/thunderbird and ~/.thunderbird, and the same inside their snap and flatpak
//    homes. A profile still in the old dbm format (cert8.db without cert9.db) is reported and
//    left alone.
// What a certificate becomes in a mirror:
//   "ROOT"        -> a certification authority trusted for TLS, e-mail and code signing (C,C,C);
//   "CA"          -> an authority available for path building, with no trust of its own;
//   "AddressBook" -> a certificate without trust;
//   "MY"          -> the certificate together with its private key when the key services can
//                    export it; otherwise the certificate alone, and the report says so.
// A certificate held by several of our stores gets the strongest of these.
//
// A mirror that cannot be written (a program holding the database locked past a short wait, a
// read-only profile, a database NSS cannot open) never fails the change in our own stores: the
// change stays committed and the failure is reported. syncNssMirrors brings every mirror up to
// date afterwards. The store database records what was put into each mirror, so that removing a
// certificate from our stores never removes from a mirror a certificate the user put there.
//
// Thread safety: NSS is global to the process; every function here takes one process-wide lock
// and opens one NSS database at a time, shutting NSS down again before it returns, so the
// process's own use of OpenSSL is never affected.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "platform/cert_store.h"

namespace quor::platform {

// One NSS database of the user.
struct NssMirror {
    // The program that reads it: "Chromium/Chrome" (the shared database, which LibreOffice,
    // Evolution and the other Chromium-based browsers read too), "Chromium" (the snap's own
    // database), "Firefox" or "Thunderbird".
    std::string program;
    // The profile's name from profiles.ini; "snap" for snap Chromium; empty for the shared
    // database.
    std::string profile;
    // The database folder, absolute.
    std::string directory;
    // program, with the profile in parentheses when there is one: "Firefox (default-release)".
    std::string label() const;
};

enum class MirrorStatus {
    Written,    // up to date after the operation (possibly with nothing to change)
    Locked,     // another program held the database past the short wait
    ReadOnly,   // the folder or its files cannot be written
    OldFormat,  // a dbm profile (cert8.db): left alone
    Failed,     // NSS could not open or change the database (detail says why)
};

// English name of a status ("written", "locked", "read-only", "old format", "failed").
const char* mirrorStatusName(MirrorStatus status);

enum class MirrorAction {
    Added,         // the certificate was put into the database
    KeyAdded,      // its private key was put there too
    TrustChanged,  // the trust of a certificate already there was changed
    Removed,       // the certificate (and a private key put there with it) was removed
    TrustRestored  // our trust was taken back from a certificate the user had put there
};

// English name of an action ("added", "key added", "trust changed", "removed", "trust restored").
const char* mirrorActionName(MirrorAction action);

struct MirrorChange {
    MirrorAction action;
    Sha1Hash sha1{};
    std::string nickname;  // the certificate's nickname in that database
};

// What happened to one database in one operation.
struct MirrorResult {
    NssMirror mirror;
    MirrorStatus status = MirrorStatus::Written;
    std::vector<MirrorChange> changes;
    // Why the database could not be written, or notes on a written one (for instance that a
    // personal certificate went without its private key). English.
    std::vector<std::string> notes;
};

// A certificate no NSS database can hold because NSS cannot decode its public key. It is left
// out of every database without counting as a failure of any.
struct UnsupportedCertificate {
    Sha1Hash sha1{};
    std::string subject;  // the subject's display name
    // "Ed448", "EC com parâmetros explícitos", "EC, curva <OID>" or the key algorithm's OID.
    std::string keyType;
};

// The mirror report of one or more store operations: one result per database touched.
struct MirrorReport {
    std::vector<MirrorResult> results;
    // Each certificate of the operations that NSS cannot hold, once.
    std::vector<UnsupportedCertificate> unsupported;

    // The results whose database could not be written (Locked, ReadOnly, Failed). A dbm profile
    // is not counted: closing its program would not help.
    std::vector<const MirrorResult*> failures() const;
    // True when some database was changed.
    bool changed() const;
    // Adds the results of another report, merging results of the same database.
    void merge(const MirrorReport& other);
};

// findNssMirrors: the user's NSS databases, the shared one first (even when it does not exist
// yet), then snap Chromium's when its home exists, then the Firefox and Thunderbird profiles in
// the order their profiles.ini lists them (the same folder reached twice is listed once).
// A profile folder that does not exist is skipped. Never fails: no home folder gives nothing.
std::vector<NssMirror> findNssMirrors();

// lastMirrorReport: the report of the last change to a system store made on this thread (empty
// before the first one). Replaced by each change.
MirrorReport lastMirrorReport();

class MirrorReportScope;
namespace detail {
// Hands the report of one change to lastMirrorReport and to every open scope of this thread.
void recordMirrorReport(const MirrorReport& report);
}  // namespace detail

// MirrorReportScope: gathers the reports of every change made on this thread while it lives
// (scopes may nest; each gets everything made during its own life).
class MirrorReportScope {
  public:
    MirrorReportScope();
    ~MirrorReportScope();
    MirrorReportScope(const MirrorReportScope&) = delete;
    MirrorReportScope& operator=(const MirrorReportScope&) = delete;

    const MirrorReport& report() const noexcept { return report_; }

  private:
    friend void detail::recordMirrorReport(const MirrorReport& report);
    MirrorReport report_;
};

// MirrorBatch: while it lives, the changes committed on this thread are not copied into the
// NSS databases one by one; they are collected and copied together when it ends (or at
// flush()), opening each database once. The report of that copy goes to lastMirrorReport and
// to the open MirrorReportScopes as one change's would, with every database's result as precise
// as per change. Batches may nest; only the outermost one writes. If the process dies first,
// the store database still holds the changes and syncNssMirrors (or the next install run)
// copies them.
class MirrorBatch {
  public:
    MirrorBatch();
    ~MirrorBatch();
    MirrorBatch(const MirrorBatch&) = delete;
    MirrorBatch& operator=(const MirrorBatch&) = delete;

    // Copies what was collected so far (to the enclosing batch, when there is one).
    void flush() noexcept;
    // Forgets what was collected, for a caller that brings every mirror up to date itself
    // (syncNssMirrors) right after.
    void discard() noexcept;
    // The certificates whose changes were collected and not yet copied.
    const std::set<Sha1Hash>& pending() const noexcept { return pending_; }

  private:
    std::set<Sha1Hash> pending_;
};

// syncNssMirrors: brings every mirror up to date with the stores: puts in what the stores hold
// and a mirror lacks (or holds with weaker trust), takes out what this layer put there and the
// stores no longer hold. Reports every database. Fails (false, last error set) only when the
// store database cannot be read; then *report holds nothing.
bool syncNssMirrors(MirrorReport* report);

// What one database holds of a list of certificates.
struct MirrorHoldings {
    NssMirror mirror;
    MirrorStatus status = MirrorStatus::Written;  // Written when it could be read
    std::string note;                             // why it could not be read
    // For each certificate asked about, in order: held or not, and its trust there as NSS
    // writes it ("C,C,C", ",,", "u,u,u"); empty text when not held.
    std::vector<bool> held;
    std::vector<std::string> trust;
};

// readNssMirrors: which databases hold each of the certificates (DER), without changing any of
// them. A database that does not exist yet holds nothing.
std::vector<MirrorHoldings> readNssMirrors(const std::vector<Bytes>& certificates);

// nssUnsupportedKeys: for each certificate (DER), the type of its key when NSS cannot hold it
// (as UnsupportedCertificate::keyType names it), else empty.
std::vector<std::string> nssUnsupportedKeys(const std::vector<Bytes>& certificates);

// For a program's main, before it starts any thread (it sets an environment variable): NSS times
// the file system of every database it opens, tens of thousands of failing access() calls, to
// decide whether to read the database through a copy in memory, which pays only on network file
// systems for programs that keep a database open for hours. This layer opens each database for a
// moment, so the timing is skipped (NSS_SDB_USE_CACHE=no) unless the user set the variable.
void skipNssFileSystemTiming() noexcept;

namespace detail {
// Called by the system stores after a committed change (before the change observer).
void mirrorStoreChange(const std::string& storeName, const Bytes& der);
}  // namespace detail

}  // namespace quor::platform
