// Process-wide root-add handler and change observer, and the public store handle.
#include <mutex>
#include <utility>

#include "platform/nss_mirror.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

std::mutex& hooksMutex() {
    static std::mutex mutex;
    return mutex;
}
RootAddHandler& rootAddHandler() {
    static RootAddHandler handler;
    return handler;
}
StoreChangeObserver& storeChangeObserver() {
    static StoreChangeObserver observer;
    return observer;
}

class StoreHandle final : public CertStore {
  public:
    explicit StoreHandle(std::shared_ptr<detail::StoreBackend> backend)
        : backend_(std::move(backend)) {}

    const std::string& name() const noexcept override { return backend_->name(); }
    CertContextPtr findBySha1(const Sha1Hash& sha1) override { return backend_->findBySha1(sha1); }
    CertContextPtr next(const CertContextPtr& previous) override {
        return backend_->next(previous.get());
    }
    bool addEncoded(const Bytes& der, CertContextPtr* added) override {
        return backend_->add(der, {}, added);
    }
    bool addContext(const CertContext& context, CertContextPtr* added) override {
        detail::PropertyList properties;
        // A context whose certificate left its store still carries its bytes; it is added
        // without properties then.
        if (context.backend() && !context.backend()->allProperties(context.rowId(), &properties)) {
            if (lastError() != error::kNotFound)
                return false;
            properties.clear();
        }
        return backend_->add(context.der(), properties, added);
    }
    bool remove(const CertContext& context) override { return backend_->remove(context); }

  private:
    std::shared_ptr<detail::StoreBackend> backend_;
};

}  // namespace

RootAddHandler setRootAddHandler(RootAddHandler handler) {
    std::lock_guard lock(hooksMutex());
    return std::exchange(rootAddHandler(), std::move(handler));
}

StoreChangeObserver setStoreChangeObserver(StoreChangeObserver observer) {
    std::lock_guard lock(hooksMutex());
    return std::exchange(storeChangeObserver(), std::move(observer));
}

namespace detail {

bool confirmRootAdd(const RootAddRequest& request) {
    RootAddHandler handler;
    {
        std::lock_guard lock(hooksMutex());
        handler = rootAddHandler();
    }
    if (!handler)
        return false;
    try {
        return handler(request);
    } catch (...) {
        return false;
    }
}

HeldChanges*& heldChanges() noexcept {
    thread_local HeldChanges* held = nullptr;
    return held;
}

void notifyStoreChange(StoreChangeKind kind, const std::string& storeName, const Bytes& der) {
    // Inside a transaction the change is not committed yet: it is told after the commit, or
    // never when the transaction is rolled back.
    if (HeldChanges* held = heldChanges()) {
        held->changes.push_back(StoreChange{kind, storeName, der});
        return;
    }
    // The user's other programs read NSS databases: they get every committed change too.
    mirrorStoreChange(storeName, der);
    StoreChangeObserver observer;
    {
        std::lock_guard lock(hooksMutex());
        observer = storeChangeObserver();
    }
    if (!observer)
        return;
    try {
        observer(StoreChange{kind, storeName, der});
    } catch (...) {
        // The change is committed; an observer cannot undo it.
    }
}

CertStorePtr makeStoreHandle(std::shared_ptr<StoreBackend> backend) {
    return std::make_unique<StoreHandle>(std::move(backend));
}

}  // namespace detail

// Properties reach the store a context came from.

bool setCertificateProperty(const CertContext& context, CertProperty id, const Bytes* value) {
    if (!context.backend())
        return detail::fail(error::kInvalidParameter);
    return context.backend()->setProperty(context.rowId(), static_cast<std::uint32_t>(id), value);
}

bool getCertificateProperty(const CertContext& context, CertProperty id, Bytes* value) {
    if (!context.backend() || value == nullptr)
        return detail::fail(error::kInvalidParameter);
    return context.backend()->getProperty(context.rowId(), static_cast<std::uint32_t>(id), value);
}

bool setFriendlyName(const CertContext& context, const std::u16string& name) {
    Bytes bytes;
    bytes.reserve((name.size() + 1) * 2);
    for (char16_t unit : name) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return setCertificateProperty(context, CertProperty::FriendlyName, &bytes);
}

std::optional<std::u16string> friendlyName(const CertContext& context) {
    Bytes bytes;
    if (!getCertificateProperty(context, CertProperty::FriendlyName, &bytes))
        return std::nullopt;
    std::u16string name;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0)
            break;
        name.push_back(unit);
    }
    return name;
}

}  // namespace quor::platform
