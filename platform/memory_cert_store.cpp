// A store held in memory only: the temporary store of an import. Same rules as a system store.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "platform/cert_info.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

class MemoryStore final : public detail::StoreBackend,
                          public std::enable_shared_from_this<MemoryStore> {
  public:
    const std::string& name() const noexcept override { return name_; }

    CertContextPtr findBySha1(const Sha1Hash& sha1) override {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.sha1 == sha1; });
        if (it == entries_.end()) {
            setLastError(error::kNotFound);
            return nullptr;
        }
        return contextOf(*it);
    }

    CertContextPtr next(const CertContext* previous) override {
        std::lock_guard lock(mutex_);
        const std::int64_t after = previous ? previous->rowId() : 0;
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.id > after; });
        if (it == entries_.end()) {
            setLastError(error::kNotFound);
            return nullptr;
        }
        return contextOf(*it);
    }

    bool add(const Bytes& der, const detail::PropertyList& properties,
             CertContextPtr* added) override {
        const auto info = detail::readCertInfo(der);
        if (!info)
            return detail::fail(error::kBadEncoding);
        std::lock_guard lock(mutex_);
        auto match = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return e.identity == info->identity; });
        const auto action = detail::decideAdd(
            match == entries_.end() ? std::nullopt : std::optional(match->notBefore),
            info->notBefore);
        if (action == detail::AddAction::Exists)
            return detail::fail(error::kExists);
        if (action == detail::AddAction::Append) {
            entries_.push_back(Entry{nextId_++, {}, {}, 0, {}, {}});
            match = entries_.end() - 1;
        }
        match->der = der;
        match->sha1 = sha1Of(der);
        match->identity = info->identity;
        match->notBefore = info->notBefore;
        for (const auto& [id, value] : properties)
            match->properties[id] = value;
        if (added)
            *added = contextOf(*match);
        return true;
    }

    bool remove(const CertContext& context) override {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.sha1 == context.sha1(); });
        if (it == entries_.end())
            return detail::fail(error::kNotFound);
        entries_.erase(it);
        return true;
    }

    bool setProperty(std::int64_t rowId, std::uint32_t id, const Bytes* value) override {
        std::lock_guard lock(mutex_);
        Entry* entry = find(rowId);
        if (entry == nullptr)
            return detail::fail(error::kNotFound);
        if (value) {
            entry->properties[id] = *value;
        } else {
            entry->properties.erase(id);
        }
        return true;
    }

    bool getProperty(std::int64_t rowId, std::uint32_t id, Bytes* value) override {
        std::lock_guard lock(mutex_);
        Entry* entry = find(rowId);
        if (entry == nullptr)
            return detail::fail(error::kNotFound);
        auto it = entry->properties.find(id);
        if (it == entry->properties.end())
            return detail::fail(error::kNotFound);
        *value = it->second;
        return true;
    }

    bool allProperties(std::int64_t rowId, detail::PropertyList* properties) override {
        std::lock_guard lock(mutex_);
        Entry* entry = find(rowId);
        if (entry == nullptr)
            return detail::fail(error::kNotFound);
        properties->assign(entry->properties.begin(), entry->properties.end());
        return true;
    }

  private:
    struct Entry {
        std::int64_t id;
        Bytes der;
        Bytes identity;
        std::time_t notBefore;
        Sha1Hash sha1;
        std::map<std::uint32_t, Bytes> properties;
    };

    Entry* find(std::int64_t rowId) {
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.id == rowId; });
        return it == entries_.end() ? nullptr : &*it;
    }

    CertContextPtr contextOf(const Entry& entry) {
        return std::make_shared<const CertContext>(entry.der, entry.sha1, name_, entry.id,
                                                   shared_from_this());
    }

    std::mutex mutex_;
    std::string name_;
    std::vector<Entry> entries_;
    std::int64_t nextId_ = 1;
};

}  // namespace

CertStorePtr openMemoryStore() {
    return detail::makeStoreHandle(std::make_shared<MemoryStore>());
}

}  // namespace quor::platform
