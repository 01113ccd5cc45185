// Internal: what every store implementation provides behind CertStore and CertContext.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>
#include <vector>

#include "platform/cert_store.h"

namespace quor::platform::detail {

using PropertyList = std::vector<std::pair<std::uint32_t, Bytes>>;

class StoreBackend {
  public:
    virtual ~StoreBackend() = default;
    virtual const std::string& name() const noexcept = 0;
    virtual CertContextPtr findBySha1(const Sha1Hash& sha1) = 0;
    virtual CertContextPtr next(const CertContext* previous) = 0;
    // Adds with the add-newer rule; properties are stored with the certificate in the same change.
    virtual bool add(const Bytes& der, const PropertyList& properties, CertContextPtr* added) = 0;
    virtual bool remove(const CertContext& context) = 0;
    virtual bool setProperty(std::int64_t rowId, std::uint32_t id, const Bytes* value) = 0;
    virtual bool getProperty(std::int64_t rowId, std::uint32_t id, Bytes* value) = 0;
    virtual bool allProperties(std::int64_t rowId, PropertyList* properties) = 0;
};

enum class AddAction { Append, Replace, Exists };

// The add-newer rule: a stored match with the same or a later NotBefore wins.
inline AddAction decideAdd(std::optional<std::time_t> storedNotBefore, std::time_t newNotBefore) {
    if (!storedNotBefore)
        return AddAction::Append;
    return *storedNotBefore >= newNotBefore ? AddAction::Exists : AddAction::Replace;
}

// Root store protection: asks the registered handler. False when there is none, it refuses or
// it throws.
bool confirmRootAdd(const RootAddRequest& request);

// Tells the registered observer about a committed change; its exceptions are swallowed.
void notifyStoreChange(StoreChangeKind kind, const std::string& storeName, const Bytes& der);

// What a StoreTransaction of this thread holds back until its commit: the changes to tell the
// observers about, and whether deleted keys call for the write-ahead log to be truncated.
struct HeldChanges {
    std::vector<StoreChange> changes;
    bool truncateLog = false;
};
// The holding place of this thread's open StoreTransaction; null when none is open.
HeldChanges*& heldChanges() noexcept;

// Wraps a backend in the public store handle.
CertStorePtr makeStoreHandle(std::shared_ptr<StoreBackend> backend);

// Failure helper: sets the thread's last error and returns false.
inline bool fail(ErrorCode code) noexcept {
    setLastError(code);
    return false;
}

}  // namespace quor::platform::detail
