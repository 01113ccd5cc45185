// Private-key side of the system repository: the key of a stored certificate, and signing and
// decryption with it through the platform's two key providers.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/key_store.h"
#include "platform/last_error.h"
#include "signer/model/text.h"
#include "signer/repository/errors.h"
#include "signer/repository/system_repository.h"
#include "signer/repository/system_repository_impl.h"
#include "signer/repository/windows_private_key_ref.h"

namespace quor::signer {

namespace err = platform::error;

namespace {

WindowsPrivateKeyRef& refOf(const PrivateKeyHandle& key, bool forDecryption) {
    if (key == nullptr) {
        if (forDecryption)
            throw DecryptionException("No private key given");
        throw SignatureException("No private key given");
    }
    return *static_cast<WindowsPrivateKeyRef*>(key.get());
}

// Hash algorithm identifiers of the legacy provider, by the names callers use (exact).
std::uint32_t legacyAlgorithmOf(const char* hashName) {
    if (hashName == nullptr)
        return 0;
    const std::string_view name(hashName);
    if (name == "SHA1")
        return platform::legacy_hash::kSha1;
    if (name == "SHA256")
        return platform::legacy_hash::kSha256;
    if (name == "SHA384")
        return platform::legacy_hash::kSha384;
    if (name == "SHA512")
        return platform::legacy_hash::kSha512;
    return 0;  // refused by the provider when the hash is created
}

// The key-storage provider answers with a status; the thread's last error may or may not carry
// it. Either way a failure ends the operation with the provider's code.
[[noreturn]] void throwStatus(std::uint32_t status, const char* callName) {
    if (platform::lastError() == err::kSuccess)
        platform::setLastError(status);
    throwSystemError({}, callName);
    throw CapiException(platform::messageText(err::kUnspecified), callName);  // not reached
}

// Frees a key-storage key after its one operation, when the caller is the one to free it.
void releaseKeyStorageKey(WindowsPrivateKeyRef& ref) noexcept {
    if (ref.ncryptKey != 0 && ref.callerFreesKey)
        platform::freeKeyStorageKey(ref.ncryptKey);
    ref.ncryptKey = 0;
}

// Operations that need a key of the key-storage provider refuse anything else at once, with a
// text that says why instead of a provider error about an invalid handle.
void requireKeyStorageKey(const WindowsPrivateKeyRef& ref, bool forDecryption) {
    if (ref.ncryptKey != 0)
        return;
    const char* detail =
        ref.cryptProvider != 0
            ? "the certificate's key is held by the legacy provider, which offers only data "
              "signing"
            : "the key handle was already used by an earlier operation";
    if (forDecryption)
        throw DecryptionException(detail);
    throw SignatureException(detail);
}

}  // namespace

PrivateKeyHandle SystemRepository::privateKeyOf(const Certificate& certificate) {
    const SystemRepositoryImpl::StoreContext found =
        impl_->findContext(certificate.getFingerprint());
    auto ref = std::make_shared<WindowsPrivateKeyRef>();
    bool callerFrees = false;
    if (platform::acquirePrivateKey(*found.context, platform::kAcquireOnlyKeyStorage,
                                    &ref->ncryptKey, nullptr, &ref->keySpec, &callerFrees)) {
        ref->callerFreesKey = callerFrees;
        return ref;
    }
    ref->ncryptKey = 0;
    if (platform::acquirePrivateKey(*found.context, 0, nullptr, &ref->cryptProvider, &ref->keySpec,
                                    nullptr)) {
        // The key-storage attempt's code is no concern of the caller any more.
        platform::setLastError(err::kSuccess);
        return ref;
    }
    throwSystemError({}, "CryptAcquireCertificatePrivateKey");
    return {};  // not reached
}

Repository::Bytes SystemRepository::signWithKey(const Bytes& data, PrivateKeyHandle key,
                                                const char* hashName) {
    WindowsPrivateKeyRef& ref = refOf(key, false);
    if (ref.ncryptKey != 0)
        return Repository::signWithKey(data, std::move(key), hashName);

    // Legacy key: the provider hashes and signs. The hash and the provider are released on
    // every path, success or failure.
    struct LegacyResources {
        WindowsPrivateKeyRef& ref;
        platform::LegacyHashHandle hash = 0;
        ~LegacyResources() {
            if (hash != 0)
                platform::legacyDestroyHash(hash);
            if (ref.cryptProvider != 0)
                platform::legacyReleaseContext(ref.cryptProvider, 0);
            ref.cryptProvider = 0;
        }
    } resources{ref};

    if (!platform::legacyCreateHash(ref.cryptProvider, legacyAlgorithmOf(hashName), 0,
                                    &resources.hash)) {
        resources.hash = 0;
        throwSystemError({}, "CryptCreateHash");
    }
    if (!platform::legacyHashData(resources.hash, data.data(), data.size(), 0)) {
        throwSystemError({}, "CryptHashData");
    }
    std::size_t length = 0;
    if (!platform::legacySignHash(resources.hash, ref.keySpec, 0, nullptr, &length)) {
        throwSystemError({}, "CryptSignHash");
    }
    Bytes signature(length);
    if (!platform::legacySignHash(resources.hash, ref.keySpec, 0, signature.data(), &length)) {
        throwSystemError({}, "CryptSignHash");
    }
    signature.resize(length);
    // The legacy provider returns the signature least significant byte first; PKCS#1 wants it
    // big-endian.
    std::reverse(signature.begin(), signature.end());
    const platform::LegacyHashHandle hash = std::exchange(resources.hash, 0);
    if (!platform::legacyDestroyHash(hash))
        throwSystemError({}, "CryptDestroyHash");
    return signature;
}

Repository::Bytes SystemRepository::signDigestWithKey(const char* hashName, const Bytes& digest,
                                                      PrivateKeyHandle key) {
    WindowsPrivateKeyRef& ref = refOf(key, false);
    requireKeyStorageKey(ref, false);
    try {
        const std::wstring algorithm = toWideText(hashName != nullptr ? hashName : "");
        const wchar_t* algorithmName = algorithm.empty() ? nullptr : algorithm.c_str();
        std::size_t size = 0;
        std::uint32_t status =
            platform::keyStorageSignHash(ref.ncryptKey, algorithmName, digest.data(), digest.size(),
                                         nullptr, 0, &size, platform::kPadPkcs1);
        if (status != err::kSuccess)
            throwStatus(status, "NCryptSignHash");
        Bytes signature(size);
        status = platform::keyStorageSignHash(ref.ncryptKey, algorithmName, digest.data(),
                                              digest.size(), signature.data(), signature.size(),
                                              &size, platform::kPadPkcs1);
        if (status != err::kSuccess)
            throwStatus(status, "NCryptSignHash");
        signature.resize(size);
        releaseKeyStorageKey(ref);
        return signature;
    } catch (const CapiException& error) {
        releaseKeyStorageKey(ref);
        throw SignatureException(error.what());
    } catch (...) {
        releaseKeyStorageKey(ref);
        throw;
    }
}

Repository::Bytes SystemRepository::decryptWithKey(const Bytes& data, PrivateKeyHandle key) {
    WindowsPrivateKeyRef& ref = refOf(key, true);
    requireKeyStorageKey(ref, true);
    try {
        std::size_t size = 0;
        std::uint32_t status = platform::keyStorageDecrypt(ref.ncryptKey, data.data(), data.size(),
                                                           nullptr, 0, &size, platform::kPadPkcs1);
        if (status != err::kSuccess)
            throwStatus(status, "NCryptDecrypt");
        Bytes plain(size);
        status = platform::keyStorageDecrypt(ref.ncryptKey, data.data(), data.size(), plain.data(),
                                             plain.size(), &size, platform::kPadPkcs1);
        if (status != err::kSuccess)
            throwStatus(status, "NCryptDecrypt");
        plain.resize(size);
        releaseKeyStorageKey(ref);
        return plain;
    } catch (const CapiException& error) {
        releaseKeyStorageKey(ref);
        throw DecryptionException(error.what());
    } catch (...) {
        releaseKeyStorageKey(ref);
        throw;
    }
}

}  // namespace quor::signer
