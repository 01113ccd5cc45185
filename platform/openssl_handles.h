// Owning pointers for the OpenSSL objects this layer creates. Every OpenSSL object is held by one
// of these from the line that creates it, so no error path leaks.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace quor::platform::ossl {

struct X509Deleter {
    void operator()(X509* p) const noexcept { X509_free(p); }
};
struct X509StoreDeleter {
    void operator()(X509_STORE* p) const noexcept { X509_STORE_free(p); }
};
struct X509StoreCtxDeleter {
    void operator()(X509_STORE_CTX* p) const noexcept { X509_STORE_CTX_free(p); }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, X509StoreCtxDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;

}  // namespace quor::platform::ossl
