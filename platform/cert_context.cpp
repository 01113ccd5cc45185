#include <openssl/sha.h>

#include <utility>

#include "platform/cert_store.h"

namespace quor::platform {

CertContext::CertContext(Bytes der, const Sha1Hash& sha1, std::string storeName, std::int64_t rowId,
                         std::shared_ptr<detail::StoreBackend> backend)
    : der_(std::move(der)),
      sha1_(sha1),
      storeName_(std::move(storeName)),
      rowId_(rowId),
      backend_(std::move(backend)) {}

Sha1Hash sha1Of(const Bytes& bytes) {
    Sha1Hash hash{};
    SHA1(bytes.data(), bytes.size(), hash.data());
    return hash;
}

}  // namespace quor::platform
