#include "platform/decoded_certificate.h"

#include <openssl/err.h>

#include <climits>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quor::platform {

namespace {

// Enough for every authority of the national hierarchy several times over; the least recently
// used certificate makes room. A few megabytes at most.
constexpr std::size_t kKept = 256;

class DecodedCertificates {
  public:
    openssl::X509Ptr find(std::string_view der, std::size_t* consumed) {
        std::lock_guard lock(mutex_);
        const auto found = index_.find(der);
        if (found == index_.end())
            return nullptr;
        const auto entry = found->second;
        if (X509_up_ref(entry->x509.get()) != 1)
            return nullptr;
        order_.splice(order_.begin(), order_, entry);
        *consumed = entry->consumed;
        return openssl::X509Ptr(entry->x509.get());
    }

    void keep(std::string_view der, X509* x509, std::size_t consumed) {
        if (X509_up_ref(x509) != 1)
            return;
        openssl::X509Ptr held(x509);
        std::lock_guard lock(mutex_);
        if (index_.count(der) != 0)
            return;  // another thread decoded the same bytes meanwhile
        order_.push_front(Entry{std::vector<unsigned char>(der.begin(), der.end()),
                                std::move(held), consumed});
        const Entry& entry = order_.front();
        index_.emplace(std::string_view(reinterpret_cast<const char*>(entry.der.data()),
                                        entry.der.size()),
                       order_.begin());
        if (order_.size() > kKept) {
            const Entry& oldest = order_.back();
            index_.erase(std::string_view(reinterpret_cast<const char*>(oldest.der.data()),
                                          oldest.der.size()));
            order_.pop_back();
        }
    }

  private:
    struct Entry {
        std::vector<unsigned char> der;  // the bytes asked for, the key of the index
        openssl::X509Ptr x509;
        std::size_t consumed;
    };
    std::mutex mutex_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

DecodedCertificates& decoded() {
    // Never destroyed: certificates may still be read while other statics are torn down.
    static auto* const certificates = new DecodedCertificates;
    return *certificates;
}

}  // namespace

openssl::X509Ptr decodeCertificate(const unsigned char* der, std::size_t length,
                                   std::size_t* consumed) {
    std::size_t ignored = 0;
    if (consumed == nullptr)
        consumed = &ignored;
    *consumed = 0;
    if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX))
        return nullptr;
    const std::string_view key(reinterpret_cast<const char*>(der), length);
    if (openssl::X509Ptr kept = decoded().find(key, consumed))
        return kept;

    const unsigned char* cursor = der;
    openssl::X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(length)));
    if (!x509)
        return nullptr;
    *consumed = static_cast<std::size_t>(cursor - der);
    // Extensions are read now, once, so that no later reader of the shared object writes to it.
    // A certificate whose extensions cannot be read is handed to this caller alone.
    ERR_set_mark();
    const bool readable = X509_check_purpose(x509.get(), -1, 0) == 1;
    ERR_pop_to_mark();
    if (readable)
        decoded().keep(key, x509.get(), *consumed);
    return x509;
}

}  // namespace quor::platform
