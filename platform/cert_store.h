// Certificate store services of the platform layer.
//
// The library keeps no certificates of its own: it works on the current user's named stores
// "MY" (personal certificates, with private keys), "AddressBook" (other people's), "CA"
// (intermediate authorities) and "ROOT" (trusted roots). These services stand in for the
// operating system's certificate stores. The stores persist in one SQLite database per user
// (sqlite_cert_store.cpp); this header is the interface the library programs against.
//
// Error convention, the same for every function here: a failing call returns its failure value
// (null pointer or false) and leaves a non-zero code on the calling thread (platform/last_error.h),
// which callers turn into an exception with quor::signer::throwIfSystemError. A call that
// succeeds does not touch the last error, except where noted.
//
// Thread safety: stores and contexts may be used from several threads; each store serialises its
// own database access. Handlers and observers are process-wide.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/last_error.h"

namespace quor::platform {

using Bytes = std::vector<unsigned char>;
using Sha1Hash = std::array<unsigned char, 20>;
using Sha256Hash = std::array<unsigned char, 32>;

// Names of the current user's stores, exactly as callers pass them.
inline constexpr std::string_view kPersonalStore = "MY";
inline constexpr std::string_view kAddressBookStore = "AddressBook";
inline constexpr std::string_view kCaStore = "CA";
inline constexpr std::string_view kRootStore = "ROOT";

// Property identifiers of a stored certificate.
enum class CertProperty : std::uint32_t {
    // Link to the certificate's private key in the key storage of this layer (the `keys` table
    // of the store database). The bytes are defined by the key services; the store only keeps
    // them with the certificate and carries them along when a context is added to another store.
    KeyLink = 2,
    // Display name given by the user or the library: UTF-16LE text with a terminating zero.
    FriendlyName = 11,
};

namespace detail {
class StoreBackend;
}  // namespace detail

// CertContext: one certificate as found in, enumerated from or added to a store. Immutable
// snapshot of the DER bytes, plus where it came from. Contexts are reference counted through
// CertContextPtr: copying the pointer duplicates the context, resetting it frees it. A context
// stays usable (bytes, fingerprints, properties) after its store handle is closed; its
// properties are read from and written to the store it came from.
class CertContext {
  public:
    // The DER encoding of the certificate.
    const Bytes& der() const noexcept { return der_; }
    // SHA-1 of the DER encoding (what stores are searched by).
    const Sha1Hash& sha1() const noexcept { return sha1_; }
    // Name of the store the context came from ("MY", ... ; empty for a memory store).
    const std::string& storeName() const noexcept { return storeName_; }

    // Internal: made by the store implementations only.
    CertContext(Bytes der, const Sha1Hash& sha1, std::string storeName, std::int64_t rowId,
                std::shared_ptr<detail::StoreBackend> backend);
    std::int64_t rowId() const noexcept { return rowId_; }
    const std::shared_ptr<detail::StoreBackend>& backend() const noexcept { return backend_; }

  private:
    Bytes der_;
    Sha1Hash sha1_;
    std::string storeName_;
    std::int64_t rowId_;
    std::shared_ptr<detail::StoreBackend> backend_;
};

using CertContextPtr = std::shared_ptr<const CertContext>;

// CertStore: an open store. Destroying the object closes it (contexts outlive it).
class CertStore {
  public:
    virtual ~CertStore() = default;

    // The name the store was opened with.
    virtual const std::string& name() const noexcept = 0;

    // findBySha1: the certificate whose DER has this SHA-1, or null. Not found: last error
    // kNotFound (0x80092004). A failure of the database: null with its own non-zero code.
    virtual CertContextPtr findBySha1(const Sha1Hash& sha1) = 0;

    // next: the walk over the store in insertion order. Pass null to get the first certificate,
    // then the previous context each time. The end of the walk returns null with last error
    // kNotFound; a failure returns null with another code. A certificate removed while the
    // walk runs is simply not met again; the previous context need not still be in the store.
    virtual CertContextPtr next(const CertContextPtr& previous) = 0;

    // addEncoded: adds DER bytes with the add-newer rule. A stored certificate "matches" when it
    // has the same issuer name, serial number, subject name and public key (the same certificate,
    // possibly issued again with another validity). With a match whose NotBefore is the same or
    // later, nothing is stored and the call fails with kExists (0x80092005); with an older match,
    // the stored one is replaced in place (keeping its position and properties); otherwise the
    // certificate is appended. Bytes that are not one DER certificate fail with kBadEncoding.
    // Adding to "ROOT" a certificate that would really be stored asks the root-add handler first;
    // no handler or a refusal fails with kCancelled (1223) and stores nothing.
    // On success, *added (when given) receives the context of the stored certificate.
    virtual bool addEncoded(const Bytes& der, CertContextPtr* added = nullptr) = 0;

    // addContext: as addEncoded with the context's bytes; the context's properties (friendly
    // name, key link) come along with it.
    virtual bool addContext(const CertContext& context, CertContextPtr* added = nullptr) = 0;

    // remove: deletes from this store the certificate with the context's SHA-1, with its
    // properties. Not present: false with kNotFound.
    virtual bool remove(const CertContext& context) = 0;
};

using CertStorePtr = std::unique_ptr<CertStore>;

// openSystemStore: opens the current user's store of that name ("MY", "AddressBook", "CA",
// "ROOT"; exact, case-sensitive). Returns null with a non-zero last error when the name is not
// one of those (kInvalidParameter) or when the store database cannot be opened: kAccessDenied
// (unreadable file or folder), kDatabaseError (the file is not a certificate store database;
// it is left untouched), kDatabaseBusy (locked by another program past the short wait),
// kStoreUnavailable (no home folder, or the folder cannot be created).
CertStorePtr openSystemStore(std::string_view name);

// StoreSession: keeps the current user's store database open while it lives, so that the many
// store operations of one task (an install run, a command adding many certificates) share one
// connection instead of opening the file and reading its layout again for each. Never fails and
// leaves the last error alone: when the database cannot be opened, the operations themselves
// report it.
class StoreSession {
  public:
    StoreSession();
    ~StoreSession();
    StoreSession(const StoreSession&) = delete;
    StoreSession& operator=(const StoreSession&) = delete;

  private:
    std::shared_ptr<void> database_;
};

// openMemoryStore: a new empty store held in memory only (a temporary store, for instance for
// the certificates of an imported PKCS#12 file). Same operations and rules as a system store,
// without the root-add confirmation.
CertStorePtr openMemoryStore();

// storeDatabasePath: where the current user's stores live: $XDG_DATA_HOME/quor/certstore.db,
// or ~/.local/share/quor/certstore.db when XDG_DATA_HOME is unset, empty or not absolute.
// Empty with kStoreUnavailable when no home folder is known.
std::string storeDatabasePath();

// Certificate properties. The context's store is used; a context of a store whose certificate
// was since removed fails with kNotFound.
//
// setCertificateProperty: stores the bytes under the id, replacing an earlier value; null
// removes the property (removing an absent property succeeds).
bool setCertificateProperty(const CertContext& context, CertProperty id, const Bytes* value);
// getCertificateProperty: true and the bytes in *value; an absent property: false, kNotFound.
bool getCertificateProperty(const CertContext& context, CertProperty id, Bytes* value);
// Friendly name as UTF-16 text (stored with a terminating zero, read back without it).
bool setFriendlyName(const CertContext& context, const std::u16string& name);
std::optional<std::u16string> friendlyName(const CertContext& context);

// StoreTransaction: groups the changes this thread makes to the user's stores, certificate
// properties and keys into one: commit() stores all of them at once, and a transaction that is
// destroyed without commit (an exception, a failure, the process killed) stores none. While it
// is open the other threads of the process wait for the store database, and other processes
// wait for it as for any write (up to the short busy wait). Change observers and the NSS mirrors
// hear of the changes after the commit, never of a change that was rolled back. Transactions
// nest: an inner one joins the outer, which alone makes the changes durable. A root added to
// "ROOT" inside a transaction is confirmed while the transaction waits.
class StoreTransaction {
  public:
    // Opens the transaction; ok() tells whether it is open (else the last error says why:
    // the codes of openSystemStore).
    StoreTransaction();
    ~StoreTransaction();
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;

    bool ok() const noexcept;
    // commit: stores the changes (false with the last error set when the database refuses; the
    // changes are then rolled back). Calling it on a transaction that is not open fails with
    // kInvalidParameter.
    bool commit();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// sha1Of: SHA-1 of bytes (the store's search key for DER bytes).
Sha1Hash sha1Of(const Bytes& bytes);

// ---------------------------------------------------------------------------------------------
// Chain engine.

// Error bits of a chain (the same values as the desktop chain engine's trust status, so that
// callers' tests of single bits read the same).
namespace chain_error {
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kNotTimeValid = 0x1;        // a certificate outside its validity
inline constexpr std::uint32_t kNotSignatureValid = 0x8;   // a signature does not verify
inline constexpr std::uint32_t kUntrustedRoot = 0x20;      // self-signed end not in "ROOT"
inline constexpr std::uint32_t kCyclic = 0x80;             // not reported by this engine
inline constexpr std::uint32_t kInvalidExtension = 0x100;  // an unsupported critical extension
inline constexpr std::uint32_t kInvalidPolicyConstraints = 0x200;
inline constexpr std::uint32_t kInvalidBasicConstraints = 0x400;  // issuer not a CA, path length
inline constexpr std::uint32_t kInvalidNameConstraints = 0x800;
inline constexpr std::uint32_t kPartialChain = 0x10000;  // an issuer was not found
}  // namespace chain_error

struct CertChain {
    // All the problems of the chain, OR-ed together (chain_error bits); 0 when it is sound.
    std::uint32_t errorStatus = chain_error::kNone;
    // The first simple chain, end entity first, each with its DER bytes. A partial chain holds
    // the certificates that were found.
    std::vector<Bytes> elements;
};

// getCertificateChain: builds the chain of the context's certificate at the current time.
// Anchors are the certificates of "ROOT"; other issuers come from "CA" and "MY". No network
// access and no revocation checking. Returns the chain, or nullopt with a non-zero last error
// when the stores cannot be read (codes as for openSystemStore) or the certificate cannot be
// decoded at all (kBadEncoding). Certificates whose keys cannot be decoded give a chain status
// (kPartialChain or kNotSignatureValid), never a failure of the call.
std::optional<CertChain> getCertificateChain(const CertContext& context);

// ---------------------------------------------------------------------------------------------
// Root store protection and change notification (process-wide).

// What the user is shown before a certificate is added to the trusted roots.
struct RootAddRequest {
    Bytes der;
    std::string subjectDisplayName;  // UTF-8: the common name, else the last name entry
    std::string issuerDisplayName;   // UTF-8, same rule
    std::time_t notBefore = 0;       // UTC seconds
    std::time_t notAfter = 0;
    Sha1Hash sha1{};
    Sha256Hash sha256{};
};

// Answers true when the user agrees to add the certificate. Called on the adding thread,
// outside any database transaction; it may take as long as the user needs.
using RootAddHandler = std::function<bool(const RootAddRequest&)>;

// setRootAddHandler: registers the handler (an empty function removes it) and returns the one
// registered before.
RootAddHandler setRootAddHandler(RootAddHandler handler);

enum class StoreChangeKind { Added, Replaced, Removed };

struct StoreChange {
    StoreChangeKind kind;
    std::string storeName;
    Bytes der;  // the certificate added, the new one for Replaced, the removed one for Removed
};

// Called after a change to a system store has been committed (never for memory stores). An
// exception thrown by the observer is swallowed: the change is already stored.
using StoreChangeObserver = std::function<void(const StoreChange&)>;

// setStoreChangeObserver: registers the observer (empty removes it); returns the previous one.
StoreChangeObserver setStoreChangeObserver(StoreChangeObserver observer);

}  // namespace quor::platform
