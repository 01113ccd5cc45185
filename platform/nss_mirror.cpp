// Copying the stores into the user's NSS databases, through the NSS library.
#include "platform/nss_mirror.h"

#include <cert.h>
#include <certdb.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <secasn1.h>
#include <secerr.h>
#include <secitem.h>
#include <secport.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/cert_info.h"
#include "platform/decoded_certificate.h"
#include "platform/key_store.h"
#include "platform/openssl_ptr.h"
#include "platform/sqlite_database.h"

namespace quor::platform {

namespace detail {
// The certificates whose changes a batch of this thread has put off, innermost batch last.
thread_local std::vector<std::set<Sha1Hash>*> tlsBatches;
}  // namespace detail

namespace {

// How long a program may hold a database locked before the mirror gives up on it for now.
constexpr std::chrono::milliseconds kMirrorWait{1500};

constexpr const char* kCreateRecords = R"sql(
CREATE TABLE IF NOT EXISTS nss_mirror_entries (
    mirror         TEXT    NOT NULL,  -- the NSS database folder
    sha1           BLOB    NOT NULL,
    der            BLOB    NOT NULL,
    nickname       TEXT    NOT NULL,
    created        INTEGER NOT NULL,  -- 1: put there by us; 0: the user's, we only raised its trust
    previous_trust TEXT,              -- the user's own trust, given back when ours goes
    key_added      INTEGER NOT NULL,
    PRIMARY KEY (mirror, sha1)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS nss_mirror_state (
    mirror TEXT PRIMARY KEY,  -- the NSS database folder
    state  BLOB NOT NULL      -- see unchangedState: the database and what it was brought up to
) WITHOUT ROWID)sql";
constexpr const char* kSelectState = "SELECT state FROM nss_mirror_state WHERE mirror = ?1";
constexpr const char* kUpsertState =
    "INSERT INTO nss_mirror_state (mirror, state) VALUES (?1, ?2) ON CONFLICT (mirror) DO UPDATE "
    "SET state = excluded.state";
constexpr const char* kDeleteState = "DELETE FROM nss_mirror_state WHERE mirror = ?1";

constexpr const char* kSelectRecords =
    "SELECT sha1, der, nickname, created, previous_trust, key_added FROM nss_mirror_entries "
    "WHERE mirror = ?1";
constexpr const char* kUpsertRecord =
    "INSERT INTO nss_mirror_entries (mirror, sha1, der, nickname, created, previous_trust, "
    "key_added) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (mirror, sha1) DO UPDATE SET "
    "der = excluded.der, nickname = excluded.nickname, created = excluded.created, "
    "previous_trust = excluded.previous_trust, key_added = excluded.key_added";
constexpr const char* kDeleteRecord =
    "DELETE FROM nss_mirror_entries WHERE mirror = ?1 AND sha1 = ?2";
constexpr const char* kSelectOne = "SELECT store, der FROM certificates WHERE sha1 = ?1";
constexpr const char* kSelectAll = "SELECT store, sha1, der FROM certificates ORDER BY id";
constexpr const char* kSelectOrphans =
    "SELECT DISTINCT sha1 FROM nss_mirror_entries WHERE sha1 NOT IN (SELECT sha1 FROM "
    "certificates)";

std::mutex& nssMutex() {
    static std::mutex mutex;
    return mutex;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

Sha1Hash toSha1(const Bytes& bytes) {
    Sha1Hash hash{};
    if (bytes.size() == hash.size())
        std::copy(bytes.begin(), bytes.end(), hash.begin());
    return hash;
}

bool makeFolders(const std::string& path) {
    if (exists(path))
        return true;
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string nssErrorText() {
    const PRErrorCode code = PORT_GetError();
    const char* name = PORT_ErrorToName(code);
    const char* text = PORT_ErrorToString(code);
    std::string result = name ? name : "NSS error " + std::to_string(code);
    if (text && *text)
        result += std::string(": ") + text;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Our record of what each mirror got from us.

struct Record {
    Sha1Hash sha1{};
    Bytes der;
    std::string nickname;
    bool created = true;
    std::optional<std::string> previousTrust;
    bool keyAdded = false;
};

bool ensureRecordTable(detail::Database& db) {
    std::lock_guard lock(db.mutex());
    return sqlite3_exec(db.handle(), kCreateRecords, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::map<Sha1Hash, Record> readRecords(detail::Database& db, const std::string& mirror) {
    std::map<Sha1Hash, Record> records;
    std::lock_guard lock(db.mutex());
    detail::Query query(db, kSelectRecords);
    query.bind(1, mirror);
    while (query.step() == SQLITE_ROW) {
        Record record;
        record.sha1 = toSha1(query.blob(0));
        record.der = query.blob(1);
        const Bytes nickname = query.blob(2);
        record.nickname.assign(nickname.begin(), nickname.end());
        record.created = query.integer(3) != 0;
        // A trust text is never empty (",," at the least): empty is NULL, no trust to give back.
        if (const Bytes trust = query.blob(4); !trust.empty())
            record.previousTrust = std::string(trust.begin(), trust.end());
        record.keyAdded = query.integer(5) != 0;
        records.emplace(record.sha1, std::move(record));
    }
    return records;
}

// One change to the record, written after the mirror's database is closed.
struct RecordUpdate {
    Record record;
    bool remove = false;
};

bool writeRecords(detail::Database& db, const std::string& mirror,
                  const std::vector<RecordUpdate>& updates) {
    if (updates.empty())
        return true;
    std::lock_guard lock(db.mutex());
    detail::WriteTransaction transaction(db);
    if (transaction.begin() != SQLITE_OK)
        return false;
    for (const auto& update : updates) {
        const Record& record = update.record;
        int result;
        if (update.remove) {
            detail::Query query(db, kDeleteRecord);
            query.bind(1, mirror).bind(2, record.sha1.data(), record.sha1.size());
            result = query.step();
        } else {
            detail::Query query(db, kUpsertRecord);
            query.bind(1, mirror)
                .bind(2, record.sha1.data(), record.sha1.size())
                .bind(3, record.der)
                .bind(4, record.nickname)
                .bind(5, std::int64_t{record.created ? 1 : 0});
            if (record.previousTrust)
                query.bind(6, *record.previousTrust);
            query.bind(7, std::int64_t{record.keyAdded ? 1 : 0});
            result = query.step();
        }
        if (result != SQLITE_DONE)
            return false;
    }
    return transaction.commit() == SQLITE_OK;
}

// ---------------------------------------------------------------------------------------------
// What the stores want each mirror to hold.

struct Wanted {
    Bytes der;
    bool root = false;
    bool personal = false;
    std::optional<Bytes> key;  // PKCS#8, for a personal certificate whose key can be exported
    std::string keyNote;       // why a personal certificate goes without its key
};

// The private key of a personal certificate, when the key services let it out.
void exportKey(const Sha1Hash& sha1, Wanted* wanted) {
    auto personal = openSystemStore(kPersonalStore);
    CertContextPtr context = personal ? personal->findBySha1(sha1) : nullptr;
    KeyStorageHandle key = 0;
    std::uint32_t spec = 0;
    bool mustFree = false;
    if (!context ||
        !acquirePrivateKey(*context, kAcquireOnlyKeyStorage, &key, nullptr, &spec, &mustFree)) {
        wanted->keyNote = lastError() == error::kNotSupported
                              ? "its private key is held by the legacy provider, which does not "
                                "export it: certificate only"
                              : "it has no private key in the key storage: certificate only";
        return;
    }
    Bytes pkcs8;
    if (keyStorageExportKey(key, &pkcs8) == 0)
        wanted->key = std::move(pkcs8);
    else
        wanted->keyNote = "its private key is not exportable: certificate only";
    freeKeyStorageKey(key);
}

void addWanted(std::map<Sha1Hash, Wanted>& wanted, const std::string& store, const Sha1Hash& sha1,
               Bytes der) {
    Wanted& entry = wanted[sha1];
    entry.der = std::move(der);
    entry.root = entry.root || store == kRootStore;
    entry.personal = entry.personal || store == kPersonalStore;
}

// ---------------------------------------------------------------------------------------------
// Databases left as this layer made them.
//
// A full pass over a database (its listing, every certificate looked up) costs more than anything
// else a run does once everything is installed. When neither the database nor what the stores
// want of it changed since the last full pass that left it complete, that pass would change
// nothing, so it is not made. The state says which files the database is and how they stand
// (SQLite's change counter, which every write of a database in rollback-journal mode, NSS's,
// moves; a browser deleting a certificate moves it), and what the stores wanted and the records
// held at the time.

// One database file as it stands, appended to state; false when that cannot be told (missing,
// not a rollback-journal SQLite file, a journal or log left beside it).
bool appendFileState(const std::string& file, Bytes* state) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || exists(file + "-journal") ||
        exists(file + "-wal")) {
        return false;
    }
    unsigned char header[100];
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const ssize_t got = ::pread(fd, header, sizeof header, 0);
        ::close(fd);
        if (got != static_cast<ssize_t>(sizeof header))
            return false;
    }
    // "SQLite format 3", then the file format numbers: 1 and 1 for rollback journal (2 is WAL,
    // where the change counter does not move).
    if (std::memcmp(header, "SQLite format 3", 16) != 0 || header[18] != 1 || header[19] != 1)
        return false;
    auto append = [state](auto value) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
        state->insert(state->end(), bytes, bytes + sizeof value);
    };
    append(static_cast<std::uint64_t>(info.st_dev));
    append(static_cast<std::uint64_t>(info.st_ino));
    append(static_cast<std::int64_t>(info.st_size));
    append(static_cast<std::int64_t>(info.st_mtim.tv_sec));
    append(static_cast<std::int64_t>(info.st_mtim.tv_nsec));
    append(static_cast<std::int64_t>(info.st_ctim.tv_sec));
    append(static_cast<std::int64_t>(info.st_ctim.tv_nsec));
    state->insert(state->end(), header + 24, header + 28);  // file change counter
    return true;
}

// The state of a database for what is wanted of it and what the records say; empty when the
// database's files cannot vouch for it.
Bytes unchangedState(const std::string& folder, const std::map<Sha1Hash, Wanted>& wanted,
                     const std::map<Sha1Hash, Record>& records) {
    Bytes state{'v', '1'};
    if (!appendFileState(folder + "/cert9.db", &state) ||
        !appendFileState(folder + "/key4.db", &state)) {
        return {};
    }
    Bytes described;
    for (const auto& [sha1, entry] : wanted) {
        described.insert(described.end(), sha1.begin(), sha1.end());
        described.push_back(static_cast<unsigned char>((entry.root ? 1 : 0) |
                                                       (entry.personal ? 2 : 0) |
                                                       (entry.key ? 4 : 0)));
    }
    described.push_back(0xFF);
    for (const auto& [sha1, record] : records) {
        described.insert(described.end(), sha1.begin(), sha1.end());
        described.push_back(static_cast<unsigned char>((record.created ? 1 : 0) |
                                                       (record.keyAdded ? 2 : 0) |
                                                       (record.previousTrust ? 4 : 0)));
        if (record.previousTrust) {
            described.insert(described.end(), record.previousTrust->begin(),
                             record.previousTrust->end());
            described.push_back(0);
        }
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(described.data(), described.size(), digest);
    state.insert(state.end(), digest, digest + sizeof digest);
    return state;
}

Bytes readState(detail::Database& db, const std::string& mirror) {
    std::lock_guard lock(db.mutex());
    detail::Query query(db, kSelectState);
    query.bind(1, mirror);
    return query.step() == SQLITE_ROW ? query.blob(0) : Bytes();
}

// Records the database's state after a full pass, or forgets it (empty state).
void writeState(detail::Database& db, const std::string& mirror, const Bytes& state) {
    std::lock_guard lock(db.mutex());
    detail::Query query(db, state.empty() ? kDeleteState : kUpsertState);
    query.bind(1, mirror);
    if (!state.empty())
        query.bind(2, state);
    query.step();  // at worst the next pass is a full one
}

// ---------------------------------------------------------------------------------------------
// NSS.

struct CertDeleter {
    void operator()(CERTCertificate* cert) const noexcept { CERT_DestroyCertificate(cert); }
};
using NssCertPtr = std::unique_ptr<CERTCertificate, CertDeleter>;
struct SlotDeleter {
    void operator()(PK11SlotInfo* slot) const noexcept { PK11_FreeSlot(slot); }
};
using SlotPtr = std::unique_ptr<PK11SlotInfo, SlotDeleter>;

SECItem itemOf(const Bytes& bytes) {
    SECItem item{};
    item.type = siBuffer;
    item.data = const_cast<unsigned char*>(bytes.data());
    item.len = static_cast<unsigned int>(bytes.size());
    return item;
}

// One NSS database open in this process: NSS is initialised for it alone and shut down again
// when the object goes. Callers hold nssMutex() for its whole life, and destroy every NSS object
// they made before it.
class NssSession {
  public:
    static std::unique_ptr<NssSession> open(const std::string& folder, bool readOnly,
                                            std::string* error) {
        const bool existing = exists(folder + "/cert9.db");
        if (!readOnly && !existing && !makeFolders(folder)) {
            *error = "the folder " + folder + " cannot be created";
            return nullptr;
        }
        NSSInitParameters parameters{};
        parameters.length = sizeof parameters;
        // The builtin roots module is not needed to edit a database; a profile's module list may
        // name other programs' PKCS#11 modules, which have no business in this process. A new
        // database does get its module list, as NSS's own tools write it.
        PRUint32 flags = NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE;
        if (readOnly)
            flags |= NSS_INIT_READONLY;
        if (existing)
            flags |= NSS_INIT_NOMODDB;
        const std::string config = "sql:" + folder;
        NSSInitContext* context = NSS_InitContext(config.c_str(), "", "", "", &parameters, flags);
        if (context == nullptr) {
            *error = "NSS cannot open the database: " + nssErrorText();
            return nullptr;
        }
        auto session = std::unique_ptr<NssSession>(new NssSession(context));
        session->slot_.reset(PK11_GetInternalKeySlot());
        if (!session->slot_) {
            *error = "NSS has no key slot for the database: " + nssErrorText();
            return nullptr;
        }
        // A database nobody has used yet gets the empty password, as browsers give it.
        if (!readOnly && PK11_NeedUserInit(session->slot_.get()) &&
            PK11_InitPin(session->slot_.get(), nullptr, "") != SECSuccess) {
            *error = "NSS cannot initialise the new database: " + nssErrorText();
            return nullptr;
        }
        return session;
    }

    ~NssSession() {
        held_.clear();
        slot_.reset();
        NSS_ShutdownContext(context_);
    }
    NssSession(const NssSession&) = delete;
    NssSession& operator=(const NssSession&) = delete;

    PK11SlotInfo* slot() const noexcept { return slot_.get(); }
    static CERTCertDBHandle* certdb() { return CERT_GetDefaultCertDB(); }

    // The database's certificate with exactly these bytes, or null.
    NssCertPtr find(const Bytes& der) {
        // NSS looks a certificate up by its bytes by reading every certificate of the database;
        // a session that looks up many lists them once instead.
        if (!listed_)
            listCertificates();
        if (listed_) {
            // The listing and what the session put there since are all the database holds.
            const auto it = held_.find(sha1Of(der));
            if (it == held_.end())
                return nullptr;
            if (it->second.cert)
                return NssCertPtr(CERT_DupCertificate(it->second.cert.get()));
            // Put there during this session: found by issuer and serial number.
            SECItem item = itemOf(der);
            NssCertPtr cert(CERT_FindCertByDERCert(certdb(), &item));
            if (cert && cert->isperm && SECITEM_ItemsAreEqual(&cert->derCert, &item))
                return cert;
            return nullptr;
        }
        SECItem item = itemOf(der);
        return NssCertPtr(PK11_FindCertFromDERCertItem(slot_.get(), &item, nullptr));
    }

    // Puts the certificate into the database under the nickname (or the one its subject already
    // has there). Returns it as the database now holds it, or null when NSS refused it.
    NssCertPtr import(const Bytes& der, const std::string& nickname) {
        SECItem item = itemOf(der);
        NssCertPtr cert(CERT_NewTempCertificate(certdb(), &item, nullptr, PR_FALSE, PR_TRUE));
        if (!cert || PK11_ImportCert(slot_.get(), cert.get(), CK_INVALID_HANDLE, nickname.c_str(),
                                     PR_FALSE) != SECSuccess) {
            return nullptr;
        }
        // NSS brings the object it handed out up to date: permanent, with the database's
        // nickname. The session knows it from now on without looking it up again; the object
        // itself is not kept, since a run may put thousands there.
        if (cert->isperm && listed_)
            hold(sha1Of(der), cert.get(), false);
        return cert;
    }

    // A certificate taken out of the database during the session.
    void forget(const Bytes& der) {
        const auto it = held_.find(sha1Of(der));
        if (it == held_.end())
            return;
        const std::string nickname = it->second.nickname;
        held_.erase(it);
        const bool stillUsed = std::any_of(held_.begin(), held_.end(), [&](const auto& entry) {
            return entry.second.nickname == nickname;
        });
        if (!stillUsed)
            nicknames_.erase(nickname);
    }

    // The subject of the certificates the database holds under this nickname (NSS gives one
    // nickname to all the certificates of a subject), or nothing when none has it.
    std::optional<Bytes> subjectWithNickname(const std::string& nickname) {
        if (!listed_)
            listCertificates();
        if (listed_) {
            const auto it = nicknames_.find(nickname);
            if (it == nicknames_.end())
                return std::nullopt;
            return it->second;
        }
        NssCertPtr holder(CERT_FindCertByNickname(certdb(), nickname.c_str()));
        if (!holder)
            return std::nullopt;
        return Bytes(holder->derSubject.data, holder->derSubject.data + holder->derSubject.len);
    }

    // A certificate's nickname without the token name NSS puts in front of it.
    static std::string nicknameIn(PK11SlotInfo* slot, const CERTCertificate* cert) {
        if (cert->nickname == nullptr)
            return {};
        std::string nickname = cert->nickname;
        const std::string token = std::string(PK11_GetTokenName(slot)) + ":";
        if (nickname.rfind(token, 0) == 0)
            nickname.erase(0, token.size());
        return nickname;
    }

  private:
    explicit NssSession(NSSInitContext* context) : context_(context) {}

    void listCertificates() {
        listed_ = true;
        CERTCertList* list = PK11_ListCertsInSlot(slot_.get());
        if (list == nullptr) {
            listed_ = false;
            return;
        }
        for (CERTCertListNode* node = CERT_LIST_HEAD(list); !CERT_LIST_END(node, list);
             node = CERT_LIST_NEXT(node)) {
            const SECItem& der = node->cert->derCert;
            hold(sha1Of(Bytes(der.data, der.data + der.len)), node->cert, true);
        }
        CERT_DestroyCertList(list);
    }

    void hold(const Sha1Hash& sha1, CERTCertificate* cert, bool keep) {
        Held& held = held_[sha1];
        held.cert.reset(keep ? CERT_DupCertificate(cert) : nullptr);
        held.nickname = nicknameIn(slot_.get(), cert);
        if (!held.nickname.empty())
            nicknames_.emplace(held.nickname, Bytes(cert->derSubject.data,
                                                    cert->derSubject.data + cert->derSubject.len));
    }

    struct Held {
        NssCertPtr cert;  // null for what the session put there (looked up again if needed)
        std::string nickname;
    };

    NSSInitContext* context_;
    SlotPtr slot_;
    bool listed_ = false;
    // Declared after the slot and freed before NSS is shut down, like every NSS object.
    std::map<Sha1Hash, Held> held_;
    std::map<std::string, Bytes> nicknames_;  // of the certificates held, to their subject
};

struct ArenaDeleter {
    void operator()(PLArenaPool* arena) const noexcept { PORT_FreeArena(arena, PR_FALSE); }
};

struct PublicKeyDeleter {
    void operator()(SECKEYPublicKey* key) const noexcept { SECKEY_DestroyPublicKey(key); }
};
using NssPublicKeyPtr = std::unique_ptr<SECKEYPublicKey, PublicKeyDeleter>;

// NSS initialised without any database, to ask it about certificates before any database is
// opened (or when none can be). Callers hold nssMutex() for its whole life.
class NssWithoutDatabase {
  public:
    NssWithoutDatabase() {
        NSSInitParameters parameters{};
        parameters.length = sizeof parameters;
        context_ = NSS_InitContext("", "", "", "", &parameters,
                                   NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB |
                                       NSS_INIT_FORCEOPEN | NSS_INIT_NOROOTINIT |
                                       NSS_INIT_OPTIMIZESPACE);
    }
    ~NssWithoutDatabase() {
        if (context_ != nullptr)
            NSS_ShutdownContext(context_);
    }
    NssWithoutDatabase(const NssWithoutDatabase&) = delete;
    NssWithoutDatabase& operator=(const NssWithoutDatabase&) = delete;
    bool ready() const noexcept { return context_ != nullptr; }

  private:
    NSSInitContext* context_ = nullptr;
};

std::string oidText(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && static_cast<std::size_t>(length) < sizeof text ? std::string(text)
                                                                         : std::string("?");
}

// The type of a certificate's public key, as the user is told it: "Ed448", "EC com parâmetros
// explícitos" (a curve given by its numbers, not by name), "EC, curva <OID>" for a named curve,
// else the algorithm's OID.
std::string keyTypeOf(const Bytes& der) {
    // A key OpenSSL cannot decode leaves errors behind that are not the caller's.
    ERR_set_mark();
    openssl::X509Ptr x509 = decodeCertificate(der.data(), der.size());
    std::string type = "?";
    ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR* parameters = nullptr;
    if (x509 && X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, &parameters,
                                       X509_get_X509_PUBKEY(x509.get())) == 1 &&
        algorithm != nullptr) {
        const int nid = OBJ_obj2nid(algorithm);
        int parameterType = V_ASN1_UNDEF;
        const void* parameterValue = nullptr;
        if (parameters != nullptr)
            X509_ALGOR_get0(nullptr, &parameterType, &parameterValue, parameters);
        if (nid == NID_ED448) {
            type = "Ed448";
        } else if (nid == NID_X9_62_id_ecPublicKey && parameterType == V_ASN1_SEQUENCE) {
            type = "EC com parâmetros explícitos";
        } else if (nid == NID_X9_62_id_ecPublicKey && parameterType == V_ASN1_OBJECT) {
            type = "EC, curva " + oidText(static_cast<const ASN1_OBJECT*>(parameterValue));
        } else {
            type = oidText(algorithm);
        }
    }
    ERR_pop_to_mark();
    return type;
}

// A certificate as NSS reads it: the signed wrapper, then the body, into an arena, pointing into
// the caller's bytes (which must outlive it). Quick: the key is taken apart only when asked, the
// names stay encoded. NSS must be initialised.
class NssReading {
  public:
    explicit NssReading(const Bytes& der) : arena_(PORT_NewArena(DER_DEFAULT_CHUNKSIZE)) {
        CERTSignedData signedData{};
        SECItem item = itemOf(der);
        read_ = arena_ &&
                SEC_QuickDERDecodeItem(arena_.get(), &signedData,
                                       SEC_ASN1_GET(CERT_SignedDataTemplate), &item) == SECSuccess &&
                SEC_QuickDERDecodeItem(arena_.get(), &certificate_,
                                       SEC_ASN1_GET(CERT_CertificateTemplate),
                                       &signedData.data) == SECSuccess;
    }
    explicit operator bool() const noexcept { return read_; }
    const CERTCertificate& certificate() const noexcept { return certificate_; }

  private:
    std::unique_ptr<PLArenaPool, ArenaDeleter> arena_;
    CERTCertificate certificate_{};
    bool read_ = false;
};

// Why NSS cannot hold a certificate because of its public key (NSS keeps every certificate with
// an identifier made from its key, so one whose key it cannot decode is refused): the key's type,
// or empty when NSS decodes the key. NSS must be initialised.
std::string unsupportedKeyOf(const Bytes& der) {
    const NssReading reading(der);
    if (!reading)
        return {};  // not a matter of the key: the import says what it is
    NssPublicKeyPtr key(SECKEY_ExtractPublicKey(&reading.certificate().subjectPublicKeyInfo));
    return key ? std::string() : keyTypeOf(der);
}

// Trust flags in the letters NSS's tools read and print ("C,C,C", "CT,C,", "u,u,u").
// A certificate's nickname without the token name NSS puts in front of it.
std::string nicknameOf(const NssSession& session, CERTCertificate* cert) {
    return NssSession::nicknameIn(session.slot(), cert);
}

std::string trustLetters(unsigned int flags) {
    std::string letters;
    if ((flags & CERTDB_VALID_CA) && !(flags & CERTDB_TRUSTED_CA) &&
        !(flags & CERTDB_TRUSTED_CLIENT_CA))
        letters += 'c';
    if ((flags & CERTDB_TERMINAL_RECORD) && !(flags & CERTDB_TRUSTED))
        letters += 'p';
    if (flags & CERTDB_TRUSTED_CA)
        letters += 'C';
    if (flags & CERTDB_TRUSTED_CLIENT_CA)
        letters += 'T';
    if (flags & CERTDB_TRUSTED)
        letters += 'P';
    if (flags & CERTDB_USER)
        letters += 'u';
    if (flags & CERTDB_SEND_WARN)
        letters += 'w';
    if (flags & CERTDB_INVISIBLE_CA)
        letters += 'I';
    if (flags & CERTDB_GOVT_APPROVED_CA)
        letters += 'G';
    return letters;
}

std::string trustText(CERTCertificate* cert) {
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(cert, &trust) != SECSuccess)
        return ",,";
    return trustLetters(trust.sslFlags) + "," + trustLetters(trust.emailFlags) + "," +
           trustLetters(trust.objectSigningFlags);
}

// The trust to give back to a user's certificate later. NSS reports a CA certificate stored
// without trust as a valid CA ("c"); written back, that letter would become a stored trust the
// user never set, so it is left out.
std::string userTrustText(CERTCertificate* cert) {
    std::string text = trustText(cert);
    text.erase(std::remove(text.begin(), text.end(), 'c'), text.end());
    return text;
}

bool trustedAsRoot(CERTCertificate* cert) {
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(cert, &trust) != SECSuccess)
        return false;
    constexpr unsigned int ca = CERTDB_TRUSTED_CA;
    return (trust.sslFlags & ca) && (trust.emailFlags & ca) && (trust.objectSigningFlags & ca);
}

bool hasAnyCaTrust(CERTCertificate* cert) {
    CERTCertTrust trust{};
    if (CERT_GetCertTrust(cert, &trust) != SECSuccess)
        return false;
    constexpr unsigned int ca = CERTDB_TRUSTED_CA;
    return (trust.sslFlags & ca) || (trust.emailFlags & ca) || (trust.objectSigningFlags & ca);
}

bool setTrust(CERTCertificate* cert, const std::string& text) {
    CERTCertTrust trust{};
    if (CERT_DecodeTrustString(&trust, text.c_str()) != SECSuccess)
        return false;
    return CERT_ChangeCertTrust(NssSession::certdb(), cert, &trust) == SECSuccess;
}

// The certificate's nickname: its subject's common name, numbered when another subject already
// uses it (NSS gives one nickname to all certificates of a subject).
std::string uniqueNickname(NssSession& session, const Bytes& der, const Sha1Hash& sha1) {
    const NssReading reading(der);
    Bytes subject;
    std::string base;
    if (reading) {
        const SECItem& name = reading.certificate().derSubject;
        subject.assign(name.data, name.data + name.len);
        base = detail::displayNameOf(subject);
    }
    if (base.empty()) {
        static const char digits[] = "0123456789abcdef";
        base = "quor ";
        for (int i = 0; i < 4; ++i) {
            base += digits[sha1[i] >> 4];
            base += digits[sha1[i] & 0x0F];
        }
    }
    for (int n = 1;; ++n) {
        const std::string candidate = n == 1 ? base : base + " #" + std::to_string(n);
        const std::optional<Bytes> holder = session.subjectWithNickname(candidate);
        if (!holder || *holder == subject)
            return candidate;
    }
}

// Puts a private key into the database. Empty text on success, else why it was not.
std::string importKey(const NssSession& session, const Bytes& pkcs8, const std::string& nickname) {
    PK11SlotInfo* slot = session.slot();
    if (PK11_NeedLogin(slot) && !PK11_IsLoggedIn(slot, nullptr)) {
        return "the database is protected by a primary password: the private key was not "
               "copied, certificate only";
    }
    SECItem key = itemOf(pkcs8);
    SECItem name{};
    name.type = siUTF8String;
    name.data = reinterpret_cast<unsigned char*>(const_cast<char*>(nickname.data()));
    name.len = static_cast<unsigned int>(nickname.size());
    if (PK11_ImportDERPrivateKeyInfo(slot, &key, &name, nullptr, PR_TRUE, PR_TRUE, KU_ALL,
                                     nullptr) != SECSuccess) {
        return "NSS refused the private key (" + nssErrorText() + "): certificate only";
    }
    return {};
}

// Brings one certificate the stores hold into the database. Returns false when NSS failed.
bool applyWanted(NssSession& session, const Sha1Hash& sha1, const Wanted& wanted,
                 const Record* record, MirrorResult* result, std::vector<RecordUpdate>* updates) {
    NssCertPtr cert = session.find(wanted.der);
    if (!cert) {
        // Not there (never put there, or the user deleted it in the browser): put it there.
        Record entry;
        entry.sha1 = sha1;
        entry.der = wanted.der;
        entry.nickname = uniqueNickname(session, wanted.der, sha1);
        entry.created = true;
        if (wanted.personal) {
            if (wanted.key) {
                const std::string problem = importKey(session, *wanted.key, entry.nickname);
                if (problem.empty()) {
                    entry.keyAdded = true;
                    result->changes.push_back({MirrorAction::KeyAdded, sha1, entry.nickname});
                } else {
                    result->notes.push_back(entry.nickname + ": " + problem);
                }
            } else {
                result->notes.push_back(entry.nickname + ": " + wanted.keyNote);
            }
        }
        cert = session.import(wanted.der, entry.nickname);
        if (!cert) {
            result->notes.push_back(entry.nickname +
                                    ": NSS refused the certificate: " + nssErrorText());
            return false;
        }
        if (!cert->isperm) {
            result->notes.push_back(entry.nickname + ": the certificate was not kept by NSS");
            return false;
        }
        if (const std::string given = nicknameOf(session, cert.get()); !given.empty())
            entry.nickname = given;
        result->changes.push_back({MirrorAction::Added, sha1, entry.nickname});
        updates->push_back({entry, false});
        if (wanted.root && !setTrust(cert.get(), "C,C,C")) {
            result->notes.push_back(entry.nickname + ": NSS refused the trust: " + nssErrorText());
            return false;
        }
        return true;
    }

    const std::string nickname = nicknameOf(session, cert.get());
    if (record == nullptr || !record->created) {
        // The user's own certificate: only a root of ours needs more from it (its trust).
        if (wanted.root && !trustedAsRoot(cert.get())) {
            Record entry;
            entry.sha1 = sha1;
            entry.der = wanted.der;
            entry.nickname = nickname;
            entry.created = false;
            entry.previousTrust = record && record->previousTrust ? *record->previousTrust
                                                                  : userTrustText(cert.get());
            if (!setTrust(cert.get(), "C,C,C")) {
                result->notes.push_back(nickname + ": NSS refused the trust: " + nssErrorText());
                return false;
            }
            result->changes.push_back({MirrorAction::TrustChanged, sha1, nickname});
            updates->push_back({entry, false});
        } else if (!wanted.root && record != nullptr) {
            // No longer a root of ours: the user's trust comes back.
            if (record->previousTrust && !setTrust(cert.get(), *record->previousTrust)) {
                result->notes.push_back(nickname + ": NSS refused the trust: " + nssErrorText());
                return false;
            }
            result->changes.push_back({MirrorAction::TrustRestored, sha1, nickname});
            updates->push_back({*record, true});
        }
        return true;
    }

    // Ours: its trust follows the stores, and a personal certificate gets its key when it can.
    Record entry = *record;
    bool recordChanged = false;
    if (wanted.root != trustedAsRoot(cert.get()) && (wanted.root || hasAnyCaTrust(cert.get()))) {
        if (!setTrust(cert.get(), wanted.root ? "C,C,C" : ",,")) {
            result->notes.push_back(nickname + ": NSS refused the trust: " + nssErrorText());
            return false;
        }
        result->changes.push_back({MirrorAction::TrustChanged, sha1, nickname});
    }
    if (wanted.personal && wanted.key && !record->keyAdded) {
        const std::string problem = importKey(session, *wanted.key, nickname);
        if (problem.empty()) {
            entry.keyAdded = true;
            recordChanged = true;
            result->changes.push_back({MirrorAction::KeyAdded, sha1, nickname});
        } else {
            result->notes.push_back(nickname + ": " + problem);
        }
    }
    if (recordChanged)
        updates->push_back({entry, false});
    return true;
}

// Takes out of the database what we put there for a certificate the stores no longer hold.
bool removeRecorded(NssSession& session, const Record& record, MirrorResult* result,
                    std::vector<RecordUpdate>* updates) {
    NssCertPtr cert = session.find(record.der);
    if (cert) {
        std::string nickname = nicknameOf(session, cert.get());
        if (nickname.empty())
            nickname = record.nickname;
        if (record.created) {
            CERTCertificate* raw = cert.get();
            const SECStatus status = record.keyAdded ? PK11_DeleteTokenCertAndKey(raw, nullptr)
                                                     : SEC_DeletePermCertificate(raw);
            if (status != SECSuccess) {
                result->notes.push_back(
                    nickname + ": NSS could not remove the certificate: " + nssErrorText());
                return false;
            }
            session.forget(record.der);
            result->changes.push_back({MirrorAction::Removed, record.sha1, nickname});
        } else {
            if (record.previousTrust && !setTrust(cert.get(), *record.previousTrust)) {
                result->notes.push_back(nickname + ": NSS refused the trust: " + nssErrorText());
                return false;
            }
            result->changes.push_back({MirrorAction::TrustRestored, record.sha1, nickname});
        }
    }
    updates->push_back({record, true});
    return true;
}

// Can the database be changed (or read) now? Written when it can; otherwise the reason.
MirrorStatus probe(const std::string& folder, bool forWrite, std::string* note) {
    if (forWrite && exists(folder) && ::access(folder.c_str(), W_OK) != 0) {
        *note = "the profile folder cannot be written";
        return MirrorStatus::ReadOnly;
    }
    for (const char* name : {"/cert9.db", "/key4.db"}) {
        const std::string file = folder + name;
        if (!exists(file))
            continue;
        if (forWrite && ::access(file.c_str(), W_OK) != 0) {
            *note = file + " cannot be written";
            return MirrorStatus::ReadOnly;
        }
        sqlite3* raw = nullptr;
        const int flags = forWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
        const int opened = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
        if (opened != SQLITE_OK) {
            *note = file + " cannot be opened: " + sqlite3_errstr(opened);
            return MirrorStatus::Failed;
        }
        if (forWrite && sqlite3_db_readonly(db.get(), "main") == 1) {
            *note = file + " cannot be written";
            return MirrorStatus::ReadOnly;
        }
        sqlite3_busy_timeout(db.get(), static_cast<int>(kMirrorWait.count()));
        const char* sql =
            forWrite ? "BEGIN IMMEDIATE" : "BEGIN; SELECT count(*) FROM sqlite_master";
        const int result = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        if ((result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED) {
            *note = file + " is locked by another program";
            return MirrorStatus::Locked;
        }
        if ((result & 0xFF) == SQLITE_READONLY) {
            *note = file + " cannot be written";
            return MirrorStatus::ReadOnly;
        }
        if (result != SQLITE_OK) {
            *note = file + ": " + sqlite3_errstr(result);
            return MirrorStatus::Failed;
        }
    }
    return MirrorStatus::Written;
}

bool isOldFormat(const std::string& folder) {
    return exists(folder + "/cert8.db") && !exists(folder + "/cert9.db");
}

// Brings the mirrors up to date for some certificates (only) or for all of them, and takes out
// what the stores dropped. Each database is opened once. False when the store database cannot
// be read.
bool reconcile(const std::set<Sha1Hash>* only, MirrorReport* report) {
    auto db = detail::Database::openUserDatabase();
    if (!db || !ensureRecordTable(*db))
        return false;

    std::map<Sha1Hash, Wanted> wanted;
    std::set<Sha1Hash> orphans;
    {
        std::lock_guard lock(db->mutex());
        if (only) {
            for (const Sha1Hash& sha1 : *only) {
                detail::Query query(*db, kSelectOne);
                query.bind(1, sha1.data(), sha1.size());
                int result;
                while ((result = query.step()) == SQLITE_ROW) {
                    const Bytes store = query.blob(0);
                    addWanted(wanted, std::string(store.begin(), store.end()), sha1,
                              query.blob(1));
                }
                if (result != SQLITE_DONE)
                    return false;
            }
        } else {
            detail::Query query(*db, kSelectAll);
            int result;
            while ((result = query.step()) == SQLITE_ROW) {
                const Bytes store = query.blob(0);
                addWanted(wanted, std::string(store.begin(), store.end()), toSha1(query.blob(1)),
                          query.blob(2));
            }
            if (result != SQLITE_DONE)
                return false;
        }
        detail::Query query(*db, kSelectOrphans);
        int result;
        while ((result = query.step()) == SQLITE_ROW)
            orphans.insert(toSha1(query.blob(0)));
        if (result != SQLITE_DONE)
            return false;
    }
    for (auto& [sha1, entry] : wanted) {
        if (entry.personal)
            exportKey(sha1, &entry);
    }

    std::lock_guard nss(nssMutex());
    // A certificate whose key NSS cannot decode goes into no database: that is a fact about the
    // certificate, said once, not a failure of every database it missed.
    if (!wanted.empty()) {
        const NssWithoutDatabase nssAlone;
        for (auto entry = wanted.begin(); nssAlone.ready() && entry != wanted.end();) {
            std::string keyType = unsupportedKeyOf(entry->second.der);
            if (keyType.empty()) {
                ++entry;
                continue;
            }
            const auto info = detail::readCertInfo(entry->second.der);
            report->unsupported.push_back(
                {entry->first, info ? info->subjectDisplayName : std::string(), std::move(keyType)});
            entry = wanted.erase(entry);
        }
    }
    for (const NssMirror& mirror : findNssMirrors()) {
        auto records = readRecords(*db, mirror.directory);
        std::vector<const Record*> toRemove;
        for (const auto& [sha1, record] : records) {
            if (orphans.count(sha1))
                toRemove.push_back(&record);
        }
        // A missing database is made only to put something into it.
        const bool present = exists(mirror.directory + "/cert9.db");
        if (wanted.empty() && (toRemove.empty() || !present))
            continue;

        MirrorResult result;
        result.mirror = mirror;
        if (isOldFormat(mirror.directory)) {
            result.status = MirrorStatus::OldFormat;
            result.notes.push_back(
                "the profile still uses the old dbm format (cert8.db); it was left alone");
            report->results.push_back(std::move(result));
            continue;
        }
        // Nothing to do in a database left complete by the last full pass and not changed since,
        // when the stores want of it what they wanted then.
        const bool fullPass = only == nullptr;
        if (fullPass && toRemove.empty()) {
            const Bytes state = unchangedState(mirror.directory, wanted, records);
            if (!state.empty() && state == readState(*db, mirror.directory)) {
                result.status = MirrorStatus::Written;
                report->results.push_back(std::move(result));
                continue;
            }
        }
        std::string note;
        result.status = probe(mirror.directory, true, &note);
        if (result.status != MirrorStatus::Written) {
            result.notes.push_back(note);
            report->results.push_back(std::move(result));
            continue;
        }
        std::vector<RecordUpdate> updates;
        {
            std::string error;
            auto session = NssSession::open(mirror.directory, false, &error);
            if (!session) {
                result.status = MirrorStatus::Failed;
                result.notes.push_back(error);
                report->results.push_back(std::move(result));
                continue;
            }
            bool sound = true;
            for (const auto& [sha1, entry] : wanted) {
                const auto record = records.find(sha1);
                sound = applyWanted(*session, sha1, entry,
                                    record == records.end() ? nullptr : &record->second, &result,
                                    &updates) &&
                        sound;
            }
            for (const Record* record : toRemove)
                sound = removeRecorded(*session, *record, &result, &updates) && sound;
            if (!sound)
                result.status = MirrorStatus::Failed;
        }
        const bool recorded = writeRecords(*db, mirror.directory, updates);
        if (!recorded) {
            result.notes.push_back(
                "what was changed could not be recorded in the store database; a later removal "
                "will leave these certificates in place");
        }
        if (fullPass) {
            const bool complete =
                recorded && result.status == MirrorStatus::Written && result.notes.empty();
            if (complete) {
                // The records as just written.
                for (const RecordUpdate& update : updates) {
                    if (update.remove)
                        records.erase(update.record.sha1);
                    else
                        records.insert_or_assign(update.record.sha1, update.record);
                }
            }
            // Taken with NSS shut down, so that the files stand as the pass left them.
            writeState(*db, mirror.directory,
                       complete ? unchangedState(mirror.directory, wanted, records) : Bytes());
        }
        report->results.push_back(std::move(result));
    }
    return true;
}

}  // namespace

void skipNssFileSystemTiming() noexcept {
    ::setenv("NSS_SDB_USE_CACHE", "no", 0);
}

bool syncNssMirrors(MirrorReport* report) {
    MirrorReport fresh;
    if (!reconcile(nullptr, &fresh)) {
        if (lastError() == error::kSuccess)
            setLastError(error::kDatabaseError);
        return false;
    }
    *report = std::move(fresh);
    return true;
}

std::vector<MirrorHoldings> readNssMirrors(const std::vector<Bytes>& certificates) {
    std::vector<MirrorHoldings> all;
    std::lock_guard nss(nssMutex());
    for (const NssMirror& mirror : findNssMirrors()) {
        MirrorHoldings holdings;
        holdings.mirror = mirror;
        holdings.held.assign(certificates.size(), false);
        holdings.trust.assign(certificates.size(), std::string());
        if (isOldFormat(mirror.directory)) {
            holdings.status = MirrorStatus::OldFormat;
            holdings.note = "old dbm format (cert8.db), not read";
            all.push_back(std::move(holdings));
            continue;
        }
        if (!exists(mirror.directory + "/cert9.db")) {
            all.push_back(std::move(holdings));
            continue;
        }
        holdings.status = probe(mirror.directory, false, &holdings.note);
        if (holdings.status == MirrorStatus::Written) {
            std::string error;
            auto session = NssSession::open(mirror.directory, true, &error);
            if (!session) {
                holdings.status = MirrorStatus::Failed;
                holdings.note = error;
            } else {
                for (std::size_t i = 0; i < certificates.size(); ++i) {
                    NssCertPtr cert = session->find(certificates[i]);
                    if (cert) {
                        holdings.held[i] = true;
                        holdings.trust[i] = trustText(cert.get());
                    }
                }
            }
        }
        all.push_back(std::move(holdings));
    }
    return all;
}

std::vector<std::string> nssUnsupportedKeys(const std::vector<Bytes>& certificates) {
    std::vector<std::string> types(certificates.size());
    std::lock_guard nss(nssMutex());
    const NssWithoutDatabase nssAlone;
    for (std::size_t i = 0; nssAlone.ready() && i < certificates.size(); ++i)
        types[i] = unsupportedKeyOf(certificates[i]);
    return types;
}

namespace detail {

namespace {

// Copies the changes of the given certificates and hands on the report as one change's.
void mirrorNow(const std::set<Sha1Hash>& certificates) noexcept {
    // The changes are committed; whatever happens here must not change what the caller sees.
    const ErrorCode saved = lastError();
    MirrorReport report;
    try {
        reconcile(&certificates, &report);
    } catch (...) {
        report.results.clear();
    }
    try {
        recordMirrorReport(report);
    } catch (...) {
    }
    setLastError(saved);
}

}  // namespace

void mirrorStoreChange(const std::string& storeName, const Bytes& der) {
    (void)storeName;  // the certificate's place in every store is read again
    if (!tlsBatches.empty()) {
        const ErrorCode saved = lastError();
        try {
            tlsBatches.back()->insert(sha1Of(der));
            setLastError(saved);
            return;
        } catch (...) {
            // No room to put it off: copy it now.
        }
        setLastError(saved);
    }
    mirrorNow({sha1Of(der)});
}

}  // namespace detail

MirrorBatch::MirrorBatch() {
    detail::tlsBatches.push_back(&pending_);
}

MirrorBatch::~MirrorBatch() {
    flush();
    auto& batches = detail::tlsBatches;
    batches.erase(std::remove(batches.begin(), batches.end(), &pending_), batches.end());
}

void MirrorBatch::flush() noexcept {
    if (pending_.empty())
        return;
    std::set<Sha1Hash> certificates;
    certificates.swap(pending_);
    // An enclosing batch takes them over: only the outermost one writes.
    auto& batches = detail::tlsBatches;
    const auto self = std::find(batches.begin(), batches.end(), &pending_);
    if (self != batches.end() && self != batches.begin()) {
        try {
            (*std::prev(self))->insert(certificates.begin(), certificates.end());
            return;
        } catch (...) {
        }
    }
    detail::mirrorNow(certificates);
}

void MirrorBatch::discard() noexcept {
    pending_.clear();
}

}  // namespace quor::platform
