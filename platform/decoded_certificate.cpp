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

// Two sets, each making room by dropping its least recently used certificate (a decoded
// certificate with a 4096-bit key takes about 12 KB): the authorities chains are built from, for
// the whole of a run (several times the national hierarchy), and the certificates met last,
// which a run reads a few times in a row (downloaded, looked up, its chain built).
constexpr std::size_t kAuthoritiesKept = 512;
constexpr std::size_t kRecentKept = 128;

class DecodedCertificates {
  public:
    explicit DecodedCertificates(std::size_t kept) : kept_(kept) {}

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
        if (order_.size() > kept_) {
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
    const std::size_t kept_;
    std::mutex mutex_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

// Never destroyed: certificates may still be read while other statics are torn down.
DecodedCertificates& authorities() {
    static auto* const certificates = new DecodedCertificates(kAuthoritiesKept);
    return *certificates;
}
DecodedCertificates& recent() {
    static auto* const certificates = new DecodedCertificates(kRecentKept);
    return *certificates;
}

openssl::X509Ptr decode(const unsigned char* der, std::size_t length, std::size_t* consumed,
                        bool authority) {
    std::size_t ignored = 0;
    if (consumed == nullptr)
        consumed = &ignored;
    *consumed = 0;
    if (der == nullptr || length == 0 || length > static_cast<std::size_t>(LONG_MAX))
        return nullptr;
    const std::string_view key(reinterpret_cast<const char*>(der), length);
    if (openssl::X509Ptr kept = authorities().find(key, consumed))
        return kept;
    if (openssl::X509Ptr kept = recent().find(key, consumed)) {
        if (authority)
            authorities().keep(key, kept.get(), *consumed);
        return kept;
    }

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
        (authority ? authorities() : recent()).keep(key, x509.get(), *consumed);
    return x509;
}

}  // namespace

openssl::X509Ptr decodeCertificate(const unsigned char* der, std::size_t length,
                                   std::size_t* consumed) {
    return decode(der, length, consumed, false);
}

openssl::X509Ptr decodeAuthority(const unsigned char* der, std::size_t length) {
    return decode(der, length, nullptr, true);
}

}  // namespace quor::platform
