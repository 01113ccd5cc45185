#include "signer/model/digest.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <mutex>

#include "platform/openssl_ptr.h"
#include "signer/repository/errors.h"

namespace quor::signer {

void ensureCryptoErrorStrings() {
    static std::once_flag once;
    std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr); });
}

void ensureOpenSslInitialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                                OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG,
                            nullptr);
    });
}

std::vector<unsigned char> computeDigest(const void* data, int length, const char* hashName) {
    ensureOpenSslInitialised();

    const EVP_MD* md = hashName != nullptr ? EVP_get_digestbyname(hashName) : nullptr;
    if (md == nullptr)
        throw SignatureException("Invalid option for hash");

    openssl::EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
        ERR_clear_error();
        throw SignatureException("Cannot start digest process (EVP_DigestInit)");
    }
    // A negative length, or bytes promised without a buffer, would make OpenSSL read outside
    // the caller's memory.
    if (length < 0 || (data == nullptr && length > 0) ||
        EVP_DigestUpdate(context.get(), data, static_cast<std::size_t>(length)) != 1) {
        ERR_clear_error();
        throw SignatureException("Cannot digest data (EVP_DigestUpdate)");
    }
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1) {
        ERR_clear_error();
        throw SignatureException("Cannot finalize digest (EVP_DigestFinal)");
    }
    digest.resize(size);
    return digest;
}

}  // namespace quor::signer
