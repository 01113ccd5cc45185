// The stores' mirrors in real NSS databases of a temporary home: NSS's certutil reads back what
// each change left there, validates a server certificate under an installed root, and sees
// that a locked or read-only database never fails the change in our own stores.
#include "platform/nss_mirror.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_store.h"
#include "tests/nss/nss_test_support.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace quor::platform;
using quor::test::CertBuilder;
using quor::test::certutil;
using quor::test::certutilList;
using quor::test::FakeProfile;
using quor::test::Name;
using quor::test::TestCert;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Key;
using ::testing::Not;
using ::testing::Pair;

// Every test gets its own home with the user's stores, a Firefox and a Thunderbird profile
// tree; root additions are confirmed.
class NssMirrorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = setRootAddHandler([](const RootAddRequest&) { return true; });
        quor::test::makeProfileTree(firefoxBase(), {{"default-release", "ab12.default-release"},
                                                    {"old", "cd34.old", true}});
        quor::test::makeProfileTree(home_.home() / ".thunderbird", {{"default", "ef56.default"}});
    }
    void TearDown() override { setRootAddHandler(std::move(previous_)); }

    fs::path firefoxBase() const { return home_.home() / ".mozilla" / "firefox"; }
    // No ~/.pki/nssdb in these homes: the shared database is the XDG one.
    fs::path shared() const { return home_.dataHome() / "pki" / "nssdb"; }
    fs::path firefox() const { return firefoxBase() / "ab12.default-release"; }
    fs::path oldProfile() const { return firefoxBase() / "cd34.old"; }
    fs::path thunderbird() const { return home_.home() / ".thunderbird" / "ef56.default"; }
    std::vector<fs::path> writable() const { return {shared(), firefox(), thunderbird()}; }

    static void add(std::string_view store, const TestCert& cert) {
        auto handle = openSystemStore(store);
        ASSERT_TRUE(handle) << lastError();
        ASSERT_TRUE(handle->addEncoded(cert.derBytes())) << std::hex << lastError();
    }
    static void remove(std::string_view store, const TestCert& cert) {
        auto handle = openSystemStore(store);
        ASSERT_TRUE(handle);
        auto context = handle->findBySha1(sha1Of(cert.derBytes()));
        ASSERT_TRUE(context);
        ASSERT_TRUE(handle->remove(*context)) << std::hex << lastError();
    }
    static const MirrorResult* resultFor(const MirrorReport& report, const fs::path& dir) {
        for (const auto& result : report.results) {
            if (fs::path(result.mirror.directory) == dir)
                return &result;
        }
        return nullptr;
    }

    quor::test::ScopedDataHome home_;
    RootAddHandler previous_;
};

TEST_F(NssMirrorTest, FindsSharedDatabaseAndEveryProfileListedInProfilesIni) {
    quor::test::makeProfileTree(home_.home() / "snap/firefox/common/.mozilla/firefox",
                                {{"snap-profile", "xy.snap"}});
    quor::test::makeProfileTree(home_.home() / ".var/app/org.mozilla.firefox/.mozilla/firefox",
                                {{"flatpak-profile", "zz.flat"}});
    // A profile listed but gone from the disk is not a database.
    std::ofstream(firefoxBase() / "profiles.ini", std::ios::app)
        << "\n[Profile9]\nName=gone\nIsRelative=1\nPath=gone.folder\n";

    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& mirror : findNssMirrors())
        found.emplace_back(mirror.label(), fs::relative(mirror.directory, home_.home()));
    EXPECT_THAT(found,
                ::testing::ElementsAre(
                    Pair("Chromium/Chrome", "data/pki/nssdb"),
                    Pair("Firefox (default-release)", ".mozilla/firefox/ab12.default-release"),
                    Pair("Firefox (old)", ".mozilla/firefox/cd34.old"),
                    Pair("Firefox (snap-profile)", "snap/firefox/common/.mozilla/firefox/xy.snap"),
                    Pair("Firefox (flatpak-profile)",
                         ".var/app/org.mozilla.firefox/.mozilla/firefox/zz.flat"),
                    Pair("Thunderbird (default)", ".thunderbird/ef56.default")));
}

TEST_F(NssMirrorTest, EachStoreReachesEveryDatabaseWithItsTrustAndLeavesItOnRemoval) {
    const TestCert root = CertBuilder(Name::cn("Raiz Teste")).ca().selfSigned();
    const TestCert inter = CertBuilder(Name::cn("AC Intermediaria"))
                               .ca(0)
                               .serial(2)
                               .key(quor::test::testKey(1))
                               .signedBy(root);
    const TestCert person =
        CertBuilder(Name::cn("Fulano de Tal")).key(quor::test::testKey(2)).signedBy(inter);
    struct Case {
        std::string_view store;
        TestCert cert;
        std::string nickname;
        std::string trust;
    };
    const std::vector<Case> cases{
        {kRootStore, root, "Raiz Teste", "C,C,C"},
        {kCaStore, inter, "AC Intermediaria", ",,"},
        {kAddressBookStore, person, "Fulano de Tal", ",,"},
    };
    ASSERT_FALSE(fs::exists(shared()));
    for (const auto& c : cases) {
        add(c.store, c.cert);
        const MirrorReport report = lastMirrorReport();
        for (const auto* failure : report.failures())
            ADD_FAILURE() << c.store << ": " << failure->mirror.label() << ": "
                          << ::testing::PrintToString(failure->notes);
        for (const auto& dir : writable()) {
            EXPECT_THAT(certutilList(dir), Contains(Pair(c.nickname, c.trust)))
                << c.store << " in " << dir;
            const MirrorResult* result = resultFor(report, dir);
            ASSERT_NE(result, nullptr) << dir;
            EXPECT_EQ(result->status, MirrorStatus::Written);
            ASSERT_EQ(result->changes.size(), 1u);
            EXPECT_EQ(result->changes[0].action, MirrorAction::Added);
            EXPECT_EQ(result->changes[0].nickname, c.nickname);
        }
        const MirrorResult* old = resultFor(report, oldProfile());
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(old->status, MirrorStatus::OldFormat);
    }
    // The shared database was made as browsers make it: an empty password, so certutil needs none.
    EXPECT_EQ(certutil({"-K", "-d", "sql:" + shared().string()}).exitCode, 255) << "no keys yet";
    EXPECT_EQ(quor::test::readFile(oldProfile() / "cert8.db"), "old dbm certificate database");
    EXPECT_FALSE(fs::exists(oldProfile() / "cert9.db"));

    for (const auto& c : cases) {
        remove(c.store, c.cert);
        for (const auto& dir : writable())
            EXPECT_THAT(certutilList(dir), Not(Contains(Key(c.nickname)))) << dir;
        const MirrorReport report = lastMirrorReport();
        const MirrorResult* result = resultFor(report, shared());
        ASSERT_NE(result, nullptr);
        ASSERT_EQ(result->changes.size(), 1u);
        EXPECT_EQ(result->changes[0].action, MirrorAction::Removed);
    }
}

TEST_F(NssMirrorTest, ServerCertificateValidatesUnderAnInstalledRootOnly) {
    const TestCert root =
        CertBuilder(Name::cn("Raiz TLS")).ca().keyUsage("keyCertSign,cRLSign").selfSigned();
    const TestCert inter = CertBuilder(Name::cn("AC TLS"))
                               .ca(0)
                               .serial(2)
                               .keyUsage("keyCertSign,cRLSign")
                               .key(quor::test::testKey(3))
                               .signedBy(root);
    const TestCert server = CertBuilder(Name::cn("servidor.teste"))
                                .dnsName("servidor.teste")
                                .extendedKeyUsage("serverAuth")
                                .key(quor::test::testKey(4))
                                .signedBy(inter);
    add(kCaStore, inter);
    const quor::test::TempDir files;
    quor::test::writeFile(files.path() / "server.pem", server.pem());
    for (const auto& dir : writable()) {
        ASSERT_EQ(certutil({"-A", "-n", "servidor", "-t", ",,", "-i",
                            (files.path() / "server.pem").string(), "-d", "sql:" + dir.string()})
                      .exitCode,
                  0);
    }
    const auto validate = [](const fs::path& dir) {
        return certutil({"-V", "-u", "V", "-n", "servidor", "-d", "sql:" + dir.string()});
    };
    for (const auto& dir : writable())
        EXPECT_NE(validate(dir).exitCode, 0) << "no root yet in " << dir;
    add(kRootStore, root);
    for (const auto& dir : writable()) {
        const auto result = validate(dir);
        EXPECT_EQ(result.exitCode, 0) << dir << ": " << result.output;
        EXPECT_THAT(result.output, HasSubstr("certificate is valid"));
    }
    remove(kRootStore, root);
    for (const auto& dir : writable())
        EXPECT_NE(validate(dir).exitCode, 0) << "root gone from " << dir;
}

TEST_F(NssMirrorTest, CertificatesTheUserPutThereStayAndGetTheirOwnTrustBack) {
    const TestCert own = CertBuilder(Name::cn("Do Usuario")).ca().selfSigned();
    const TestCert trusted =
        CertBuilder(Name::cn("Ja Confiavel")).ca().key(quor::test::testKey(5)).selfSigned();
    const quor::test::TempDir files;
    quor::test::writeFile(files.path() / "own.pem", own.pem());
    quor::test::writeFile(files.path() / "trusted.pem", trusted.pem());
    quor::test::makeNssDatabase(shared());
    for (const auto& [file, nick, trust] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"own.pem", "Meu", ",,"}, {"trusted.pem", "Confio", "CT,C,"}}) {
        ASSERT_EQ(certutil({"-A", "-n", nick, "-t", trust, "-i", (files.path() / file).string(),
                            "-d", "sql:" + shared().string()})
                      .exitCode,
                  0);
    }
    add(kRootStore, own);    // the user's untrusted copy gets the root's trust ...
    add(kCaStore, trusted);  // ... a trusted one is left as it is
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Meu", "C,C,C")));
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Confio", "CT,C,")));
    remove(kRootStore, own);
    remove(kCaStore, trusted);
    // Removed from our stores, the user's certificates stay, with the user's trust.
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Meu", ",,")));
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Confio", "CT,C,")));
    // Firefox never had them: there, ours were added and are gone again.
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Do Usuario"))));
}

TEST_F(NssMirrorTest, StrongestStoreWinsWhileTheCertificateIsInSeveral) {
    const TestCert cert = CertBuilder(Name::cn("Duas Lojas")).ca().selfSigned();
    add(kCaStore, cert);
    add(kRootStore, cert);
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Duas Lojas", "C,C,C")));
    remove(kRootStore, cert);
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Duas Lojas", ",,")));
    remove(kCaStore, cert);
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Duas Lojas"))));
}

TEST_F(NssMirrorTest, SubjectsSharingACommonNameGetDistinctNicknames) {
    const TestCert first = CertBuilder(Name{{"O", "Um"}, {"CN", "Mesmo Nome"}}).selfSigned();
    const TestCert second = CertBuilder(Name{{"O", "Dois"}, {"CN", "Mesmo Nome"}})
                                .key(quor::test::testKey(6))
                                .selfSigned();
    add(kAddressBookStore, first);
    add(kAddressBookStore, second);
    const auto listed = certutilList(shared());
    EXPECT_THAT(listed, Contains(Key("Mesmo Nome")));
    EXPECT_THAT(listed, Contains(Key("Mesmo Nome #2")));
}

// Within one batch every database is opened once and its nicknames are known from its listing
// and from what the batch put there: a name the user's own certificate holds, or an earlier
// certificate of the batch, is numbered for another subject and shared by the same subject.
TEST_F(NssMirrorTest, NicknamesInOneBatchStayDistinctPerSubject) {
    const TestCert users = CertBuilder(Name{{"O", "Usuario"}, {"CN", "Nome Tomado"}})
                               .key(quor::test::testKey(14))
                               .selfSigned();
    const quor::test::TempDir files;
    quor::test::writeFile(files.path() / "users.pem", users.pem());
    for (const auto& dir : writable()) {
        fs::create_directories(dir);
        if (!fs::exists(dir / "cert9.db")) {
            ASSERT_EQ(certutil({"-N", "--empty-password", "-d", "sql:" + dir.string()}).exitCode, 0);
        }
        ASSERT_EQ(certutil({"-A", "-n", "Nome Tomado", "-t", ",,", "-i",
                            (files.path() / "users.pem").string(), "-d", "sql:" + dir.string()})
                      .exitCode,
                  0);
    }
    const Name um{{"O", "Um"}, {"CN", "Nome Tomado"}};
    const TestCert first = CertBuilder(um).key(quor::test::testKey(15)).selfSigned();
    const TestCert renewed = CertBuilder(um).serial(2).key(quor::test::testKey(3)).selfSigned();
    const TestCert other = CertBuilder(Name{{"O", "Dois"}, {"CN", "Nome Tomado"}})
                               .key(quor::test::testKey(5))
                               .selfSigned();
    MirrorReportScope scope;
    {
        MirrorBatch batch;
        add(kAddressBookStore, first);
        add(kAddressBookStore, other);
        add(kAddressBookStore, renewed);
    }
    for (const fs::path& dir : writable()) {
        SCOPED_TRACE(dir.string());
        const MirrorResult* result = resultFor(scope.report(), dir);
        ASSERT_NE(result, nullptr);
        std::map<Sha1Hash, std::string> given;
        for (const auto& change : result->changes)
            given[change.sha1] = change.nickname;
        ASSERT_EQ(given.size(), 3u);
        const std::string firstName = given[sha1Of(first.derBytes())];
        EXPECT_THAT(firstName, ::testing::StartsWith("Nome Tomado #"));
        EXPECT_EQ(given[sha1Of(renewed.derBytes())], firstName);
        EXPECT_THAT(given[sha1Of(other.derBytes())], ::testing::StartsWith("Nome Tomado #"));
        EXPECT_NE(given[sha1Of(other.derBytes())], firstName);
        // As NSS's own tool sees the database: the user's certificate keeps its name.
        const auto listed = certutilList(dir);
        EXPECT_THAT(listed, Contains(Key("Nome Tomado")));
        EXPECT_THAT(listed, Contains(Key(firstName)));
        EXPECT_THAT(listed, Contains(Key(given[sha1Of(other.derBytes())])));
    }
}

TEST_F(NssMirrorTest, PersonalCertificateGoesWithItsPrivateKey) {
    const TestCert mine = CertBuilder(Name::cn("Titular Pessoal"))
                              .keyUsage("digitalSignature")
                              .key(quor::test::testKey(7))
                              .selfSigned();
    const std::string p12 = quor::test::pkcs12(mine, "senha", {});
    auto imported = importPkcs12(Bytes(p12.begin(), p12.end()), "senha", kImportExportable);
    ASSERT_TRUE(imported);
    auto context = imported->next(nullptr);
    ASSERT_TRUE(context);
    auto personal = openSystemStore(kPersonalStore);
    ASSERT_TRUE(personal->addContext(*context));
    // NSS marks a certificate with its key as the user's own.
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Titular Pessoal", "u,u,u")));
    const auto keys = certutil({"-K", "-d", "sql:" + shared().string()});
    EXPECT_THAT(keys.output, HasSubstr("Titular Pessoal"));
    const MirrorReport report = lastMirrorReport();
    const MirrorResult* result = resultFor(report, shared());
    ASSERT_NE(result, nullptr);
    std::vector<MirrorAction> actions;
    for (const auto& change : result->changes)
        actions.push_back(change.action);
    EXPECT_THAT(actions, ::testing::ElementsAre(MirrorAction::KeyAdded, MirrorAction::Added));

    // A personal certificate whose key stays inside (imported without export rights).
    const TestCert locked =
        CertBuilder(Name::cn("Chave Presa")).key(quor::test::testKey(8)).selfSigned();
    const std::string p12b = quor::test::pkcs12(locked, "x", {});
    auto importedB = importPkcs12(Bytes(p12b.begin(), p12b.end()), "x", 0);
    ASSERT_TRUE(importedB);
    ASSERT_TRUE(personal->addContext(*importedB->next(nullptr)));
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Chave Presa", ",,")));
    const MirrorReport secondReport = lastMirrorReport();
    const MirrorResult* second = resultFor(secondReport, shared());
    ASSERT_NE(second, nullptr);
    EXPECT_THAT(second->notes, Contains(HasSubstr("certificate only")));

    // Removing it takes the key we put there too.
    ASSERT_TRUE(personal->remove(*personal->findBySha1(sha1Of(mine.derBytes()))));
    EXPECT_THAT(certutil({"-K", "-d", "sql:" + shared().string()}).output,
                Not(HasSubstr("Titular Pessoal")));
}

TEST_F(NssMirrorTest, LockedDatabaseNeverFailsTheAddAndSyncCatchesUp) {
    const TestCert root = CertBuilder(Name::cn("Raiz Travada")).ca().selfSigned();
    const TestCert gone =
        CertBuilder(Name::cn("Sai Depois")).key(quor::test::testKey(9)).selfSigned();
    add(kAddressBookStore, gone);
    {
        quor::test::DatabaseLocker locker(firefox() / "cert9.db");
        const auto started = std::chrono::steady_clock::now();
        setLastError(0);
        add(kRootStore, root);
        EXPECT_EQ(lastError(), 0u) << "a successful add leaves the last error alone";
        remove(kAddressBookStore, gone);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        const MirrorReport report = lastMirrorReport();
        ASSERT_EQ(report.failures().size(), 1u);
        EXPECT_EQ(report.failures()[0]->mirror.label(), "Firefox (default-release)");
        EXPECT_EQ(report.failures()[0]->status, MirrorStatus::Locked);
        EXPECT_THAT(report.failures()[0]->notes, Contains(HasSubstr("cert9.db")));
        // Our own store has it, and so do the databases nobody held.
        EXPECT_TRUE(openSystemStore(kRootStore)->findBySha1(sha1Of(root.derBytes())));
        EXPECT_THAT(certutilList(thunderbird()), Contains(Pair("Raiz Travada", "C,C,C")));
    }
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Raiz Travada"))));
    EXPECT_THAT(certutilList(firefox()), Contains(Key("Sai Depois")));

    MirrorReport report;
    ASSERT_TRUE(syncNssMirrors(&report));
    EXPECT_TRUE(report.failures().empty());
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Raiz Travada", "C,C,C")));
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Sai Depois"))));
    const MirrorResult* result = resultFor(report, firefox());
    ASSERT_NE(result, nullptr);
    std::vector<std::pair<MirrorAction, std::string>> changes;
    for (const auto& change : result->changes)
        changes.emplace_back(change.action, change.nickname);
    EXPECT_THAT(changes,
                ::testing::UnorderedElementsAre(Pair(MirrorAction::Added, "Raiz Travada"),
                                                Pair(MirrorAction::Removed, "Sai Depois")));
    // Nothing left to do: a second sync changes nothing anywhere.
    ASSERT_TRUE(syncNssMirrors(&report));
    EXPECT_FALSE(report.changed());
}

// A sync looks into a database again only when something may have changed it: a database left
// complete by the last sync and untouched since is passed over (even while a program holds it
// locked), and whatever touches it (a certificate deleted in the browser, an older copy of the
// files put back) makes the next sync a full one that puts back what is missing.
TEST_F(NssMirrorTest, SyncPassesOverOnlyADatabaseUnchangedSinceItsLastFullPass) {
    const TestCert root = CertBuilder(Name::cn("Raiz Estavel")).ca().selfSigned();
    const TestCert ca = CertBuilder(Name::cn("AC Estavel"))
                            .ca(0)
                            .serial(2)
                            .key(quor::test::testKey(12))
                            .signedBy(root);
    add(kRootStore, root);
    MirrorReport report;
    ASSERT_TRUE(syncNssMirrors(&report));
    const fs::path backup = home_.home() / "copia";
    fs::create_directories(backup);
    for (const char* file : {"cert9.db", "key4.db"})
        fs::copy_file(firefox() / file, backup / file);
    add(kCaStore, ca);
    ASSERT_TRUE(syncNssMirrors(&report));
    ASSERT_THAT(certutilList(firefox()), Contains(Pair("AC Estavel", ",,")));

    using Changes = std::vector<std::pair<MirrorAction, std::string>>;
    // Firefox's database in one sync: its status and the changes made to it.
    const auto syncFirefox = [&]() -> std::pair<MirrorStatus, Changes> {
        MirrorReport synced;
        const MirrorResult* result = syncNssMirrors(&synced) ? resultFor(synced, firefox()) : nullptr;
        if (result == nullptr)
            return {MirrorStatus::Failed, {}};
        Changes changes;
        for (const auto& change : result->changes)
            changes.emplace_back(change.action, change.nickname);
        return {result->status, changes};
    };
    const std::pair<MirrorStatus, Changes> nothingToDo{MirrorStatus::Written, {}};
    const std::pair<MirrorStatus, Changes> putBack{MirrorStatus::Written,
                                                   {{MirrorAction::Added, "AC Estavel"}}};
    {
        // A full pass would find it locked.
        quor::test::DatabaseLocker locker(firefox() / "cert9.db");
        EXPECT_EQ(syncFirefox(), nothingToDo);
    }
    // Deleted in the browser.
    ASSERT_EQ(certutil({"-D", "-n", "AC Estavel", "-d", "sql:" + firefox().string()}).exitCode, 0);
    ASSERT_THAT(certutilList(firefox()), Not(Contains(Key("AC Estavel"))));
    EXPECT_EQ(syncFirefox(), putBack);
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("AC Estavel", ",,")));
    EXPECT_EQ(syncFirefox(), nothingToDo);
    // The files of an earlier day put back.
    for (const char* file : {"cert9.db", "key4.db"})
        fs::copy_file(backup / file, firefox() / file, fs::copy_options::overwrite_existing);
    ASSERT_THAT(certutilList(firefox()), Not(Contains(Key("AC Estavel"))));
    EXPECT_EQ(syncFirefox(), putBack);
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("AC Estavel", ",,")));
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Raiz Estavel", "C,C,C")));
}

// A read-only profile. File modes bind ordinary users only, so when the suite runs as root (as
// CI runs it) the writing process is made an ordinary user: the home is handed to nobody for
// the child's lifetime and the child drops to nobody before it adds. The add runs in the child;
// its outcome comes back through the exit status.
TEST_F(NssMirrorTest, ReadOnlyProfileNeverFailsTheAddAndSyncCatchesUp) {
    const TestCert root = CertBuilder(Name::cn("Raiz Somente Leitura")).ca().selfSigned();
    const bool asRoot = ::geteuid() == 0;
    constexpr uid_t kNobody = 65534;
    const auto chownHome = [&](uid_t owner) {
        ASSERT_EQ(::chown(home_.home().c_str(), owner, owner), 0);
        for (const auto& entry : fs::recursive_directory_iterator(home_.home()))
            ASSERT_EQ(::lchown(entry.path().c_str(), owner, owner), 0) << entry.path();
    };
    if (asRoot)
        chownHome(kNobody);
    for (const auto& entry : fs::directory_iterator(firefox()))
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::remove);
    fs::permissions(firefox(), fs::perms::owner_write, fs::perm_options::remove);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (asRoot && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 ||
                       ::setuid(kNobody) != 0 || ::geteuid() != kNobody)) {
            ::_exit(10);
        }
        auto store = openSystemStore(kRootStore);
        if (!store || !store->addEncoded(root.derBytes()))
            ::_exit(11);
        const MirrorReport report = lastMirrorReport();
        const auto failures = report.failures();
        if (failures.size() != 1 || failures[0]->status != MirrorStatus::ReadOnly ||
            failures[0]->mirror.label() != "Firefox (default-release)") {
            ::_exit(12);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::permissions(firefox(), fs::perms::owner_write, fs::perm_options::add);
    for (const auto& entry : fs::directory_iterator(firefox()))
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    if (asRoot)
        chownHome(0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0)
        << "10: could not become nobody; 11: the add failed; 12: the report missed the profile";
    EXPECT_THAT(certutilList(firefox()), Not(Contains(Key("Raiz Somente Leitura"))));
    EXPECT_THAT(certutilList(shared()), Contains(Pair("Raiz Somente Leitura", "C,C,C")));

    MirrorReport report;
    ASSERT_TRUE(syncNssMirrors(&report));
    EXPECT_TRUE(report.failures().empty());
    EXPECT_THAT(certutilList(firefox()), Contains(Pair("Raiz Somente Leitura", "C,C,C")));
}

TEST_F(NssMirrorTest, ScopeGathersEveryChangeOfTheThread) {
    const TestCert a = CertBuilder(Name::cn("Primeira")).ca().selfSigned();
    const TestCert b =
        CertBuilder(Name::cn("Segunda")).ca().key(quor::test::testKey(10)).selfSigned();
    MirrorReportScope outer;
    add(kCaStore, a);
    {
        MirrorReportScope inner;
        add(kRootStore, b);
        const MirrorResult* result = resultFor(inner.report(), shared());
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->changes.size(), 1u);
    }
    const MirrorResult* result = resultFor(outer.report(), shared());
    ASSERT_NE(result, nullptr);
    std::vector<std::string> nicknames;
    for (const auto& change : result->changes)
        nicknames.push_back(change.nickname);
    EXPECT_THAT(nicknames, ::testing::ElementsAre("Primeira", "Segunda"));
}

// A batch (one install run, one quor-certs add or remove of many certificates) copies its
// changes when it ends, opening each database once: one result per database, holding every
// change of the batch. A nested batch hands its changes to the enclosing one.
TEST_F(NssMirrorTest, BatchCopiesItsChangesTogetherWhenItEnds) {
    const TestCert a = CertBuilder(Name::cn("Lote A")).ca().key(quor::test::testKey(11)).selfSigned();
    const TestCert b = CertBuilder(Name::cn("Lote B")).ca().key(quor::test::testKey(12)).selfSigned();
    const TestCert gone =
        CertBuilder(Name::cn("Lote Sai")).key(quor::test::testKey(13)).selfSigned();
    add(kAddressBookStore, gone);
    ASSERT_THAT(certutilList(firefox()), Contains(Key("Lote Sai")));

    MirrorReportScope scope;
    {
        MirrorBatch batch;
        add(kCaStore, a);
        {
            MirrorBatch inner;
            add(kRootStore, b);
        }
        remove(kAddressBookStore, gone);
        // Nothing reached the databases yet; the stores have it all.
        for (const fs::path& dir : writable()) {
            SCOPED_TRACE(dir.string());
            EXPECT_THAT(certutilList(dir), Not(Contains(Key("Lote A"))));
            EXPECT_THAT(certutilList(dir), Not(Contains(Key("Lote B"))));
            EXPECT_THAT(certutilList(dir), Contains(Key("Lote Sai")));
        }
        EXPECT_TRUE(scope.report().results.empty());
        EXPECT_TRUE(openSystemStore(kRootStore)->findBySha1(sha1Of(b.derBytes())));
    }
    for (const fs::path& dir : writable()) {
        SCOPED_TRACE(dir.string());
        EXPECT_THAT(certutilList(dir), Contains(Pair("Lote A", ",,")));
        EXPECT_THAT(certutilList(dir), Contains(Pair("Lote B", "C,C,C")));
        EXPECT_THAT(certutilList(dir), Not(Contains(Key("Lote Sai"))));
        std::size_t results = 0;
        for (const auto& result : scope.report().results)
            results += fs::path(result.mirror.directory) == dir ? 1 : 0;
        EXPECT_EQ(results, 1u);
        const MirrorResult* result = resultFor(scope.report(), dir);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->status, MirrorStatus::Written);
        std::vector<std::pair<MirrorAction, std::string>> changes;
        for (const auto& change : result->changes)
            changes.emplace_back(change.action, change.nickname);
        EXPECT_THAT(changes, ::testing::UnorderedElementsAre(Pair(MirrorAction::Added, "Lote A"),
                                                             Pair(MirrorAction::Added, "Lote B"),
                                                             Pair(MirrorAction::Removed, "Lote Sai")));
    }
    const MirrorResult* old = resultFor(scope.report(), oldProfile());
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->status, MirrorStatus::OldFormat);
}

TEST_F(NssMirrorTest, ReadingTheMirrorsChangesNothing) {
    const TestCert cert = CertBuilder(Name::cn("So Leitura")).ca().selfSigned();
    const TestCert absent =
        CertBuilder(Name::cn("Ausente")).key(quor::test::testKey(11)).selfSigned();
    add(kRootStore, cert);
    const auto before = quor::test::readFile(firefox() / "cert9.db");
    const auto holdings = readNssMirrors({cert.derBytes(), absent.derBytes()});
    std::map<std::string, std::vector<bool>> held;
    for (const auto& h : holdings)
        held[h.mirror.label()] = h.held;
    EXPECT_EQ(held["Chromium/Chrome"], (std::vector<bool>{true, false}));
    EXPECT_EQ(held["Firefox (default-release)"], (std::vector<bool>{true, false}));
    EXPECT_EQ(held["Thunderbird (default)"], (std::vector<bool>{true, false}));
    EXPECT_EQ(held["Firefox (old)"], (std::vector<bool>{false, false}));
    EXPECT_EQ(holdings[0].trust[0], "C,C,C");
    EXPECT_EQ(quor::test::readFile(firefox() / "cert9.db"), before);
}

}  // namespace
