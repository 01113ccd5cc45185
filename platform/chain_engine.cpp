// The chain engine: OpenSSL path building over the user's stores.
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include "platform/openssl_ptr.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

// The chain_error bit for an OpenSSL verification error.
std::uint32_t chainErrorOf(int error) {
    switch (error) {
        case X509_V_OK:
            return chain_error::kNone;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return chain_error::kNotTimeValid;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return chain_error::kPartialChain;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return chain_error::kUntrustedRoot;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_NO_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_SIGNATURE_ALGORITHM_MISMATCH:
            return chain_error::kNotSignatureValid;
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_INVALID_NON_CA:
        case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
            return chain_error::kInvalidBasicConstraints;
        case X509_V_ERR_INVALID_POLICY_EXTENSION:
        case X509_V_ERR_NO_EXPLICIT_POLICY:
            return chain_error::kInvalidPolicyConstraints;
        case X509_V_ERR_PERMITTED_VIOLATION:
        case X509_V_ERR_EXCLUDED_VIOLATION:
        case X509_V_ERR_SUBTREE_MINMAX:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
        case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
            return chain_error::kInvalidNameConstraints;
        default:
            return chain_error::kInvalidExtension;
    }
}

// Records every problem and lets verification go on, so that one call reports all the
// problems of the chain rather than the first.
int recordAndContinue(int ok, X509_STORE_CTX* ctx) {
    if (!ok) {
        auto* status = static_cast<std::uint32_t*>(X509_STORE_CTX_get_app_data(ctx));
        if (status)
            *status |= chainErrorOf(X509_STORE_CTX_get_error(ctx));
    }
    return 1;
}

openssl::X509Ptr decode(const Bytes& der) {
    const unsigned char* p = der.data();
    return openssl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Calls add for each decodable certificate of the store. False with the last error set when
// the store cannot be read.
template <typename Add>
bool forEachStored(std::string_view storeName, Add add) {
    CertStorePtr store = openSystemStore(storeName);
    if (!store)
        return false;
    CertContextPtr context;
    while ((context = store->next(context))) {
        // A stored certificate that OpenSSL cannot read cannot be anyone's issuer either.
        if (openssl::X509Ptr cert = decode(context->der())) {
            if (!add(std::move(cert)))
                return detail::fail(error::kNotEnoughMemory);
        }
    }
    return lastError() == error::kNotFound;
}

}  // namespace

std::optional<CertChain> getCertificateChain(const CertContext& context) {
    openssl::X509Ptr target = decode(context.der());
    if (!target) {
        ERR_clear_error();
        setLastError(error::kBadEncoding);
        return std::nullopt;
    }
    openssl::X509StorePtr anchors(X509_STORE_new());
    openssl::X509StackPtr untrusted(sk_X509_new_null());
    openssl::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!anchors || !untrusted || !ctx) {
        setLastError(error::kNotEnoughMemory);
        return std::nullopt;
    }
    // A certificate of "ROOT" is trusted as it is, even one whose key OpenSSL cannot decode
    // (and so cannot recognise as self-signed): only its validity time is checked.
    bool targetIsAnchor = false;
    const bool read =
        forEachStored(kRootStore,
                      [&](openssl::X509Ptr cert) {
                          if (X509_cmp(cert.get(), target.get()) == 0)
                              targetIsAnchor = true;
                          // X509_STORE_add_cert takes its own reference.
                          return X509_STORE_add_cert(anchors.get(), cert.get()) == 1 ||
                                 ERR_GET_REASON(ERR_peek_last_error()) ==
                                     X509_R_CERT_ALREADY_IN_HASH_TABLE;
                      }) &&
        forEachStored(kCaStore,
                      [&](openssl::X509Ptr cert) {
                          if (sk_X509_push(untrusted.get(), cert.get()) == 0)
                              return false;
                          cert.release();
                          return true;
                      }) &&
        forEachStored(kPersonalStore, [&](openssl::X509Ptr cert) {
            if (sk_X509_push(untrusted.get(), cert.get()) == 0)
                return false;
            cert.release();
            return true;
        });
    ERR_clear_error();
    if (!read)
        return std::nullopt;

    std::uint32_t status = chain_error::kNone;
    if (targetIsAnchor) {
        CertChain chain;
        if (X509_cmp_current_time(X509_get0_notBefore(target.get())) >= 0 ||
            X509_cmp_current_time(X509_get0_notAfter(target.get())) <= 0) {
            chain.errorStatus = chain_error::kNotTimeValid;
        }
        chain.elements.push_back(context.der());
        ERR_clear_error();
        return chain;
    }
    if (X509_STORE_CTX_init(ctx.get(), anchors.get(), target.get(), untrusted.get()) != 1) {
        ERR_clear_error();
        setLastError(error::kChainEngine);
        return std::nullopt;
    }
    X509_STORE_CTX_set_app_data(ctx.get(), &status);
    X509_STORE_CTX_set_verify_cb(ctx.get(), recordAndContinue);
    // The result is in status: the callback accepts every error so that all are recorded.
    const int verified = X509_verify_cert(ctx.get());
    if (verified < 0 && status == chain_error::kNone) {
        ERR_clear_error();
        setLastError(error::kChainEngine);
        return std::nullopt;
    }
    if (verified != 1 && status == chain_error::kNone) {
        status |= chainErrorOf(X509_STORE_CTX_get_error(ctx.get()));
    }

    CertChain chain;
    chain.errorStatus = status;
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
    const int count = built ? sk_X509_num(built) : 0;
    for (int i = 0; i < count; ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(sk_X509_value(built, i), &der);
        if (length <= 0)
            continue;
        chain.elements.emplace_back(der, der + length);
        OPENSSL_free(der);
    }
    if (chain.elements.empty())
        chain.elements.push_back(context.der());
    ERR_clear_error();
    return chain;
}

}  // namespace quor::platform
