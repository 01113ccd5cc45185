#include "signer/repository/archive_repository.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "signer/model/digest.h"
#include "platform/openssl_ptr.h"
#include "signer/model/stream_adapter.h"
#include "signer/model/text.h"
#include "signer/repository/errors.h"

namespace quor::signer {

namespace {

constexpr const char* kLacksPublicKey = "Cannot extract public key. It lacks a public key.";

// The RSA public key value of a key pair: modulus and exponent as big-endian magnitudes.
RsaPublicKey rsaPublicKeyOf(EVP_PKEY* key) {
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        throw BaseException("Cannot get RSA key from private key");
    }
    BIGNUM* rawModulus = nullptr;
    BIGNUM* rawExponent = nullptr;
    EVP_PKEY_get_bn_param(key, "n", &rawModulus);
    openssl::BignumPtr modulus(rawModulus);
    EVP_PKEY_get_bn_param(key, "e", &rawExponent);
    openssl::BignumPtr exponent(rawExponent);
    ERR_clear_error();
    RsaPublicKey result;
    if (!modulus || BN_num_bytes(modulus.get()) <= 0) {
        throw BaseException("Cannot extract modulus");
    }
    if (!exponent || BN_num_bytes(exponent.get()) <= 0) {
        throw BaseException("Cannot extract exponent");
    }
    result.modulus.resize(static_cast<std::size_t>(BN_num_bytes(modulus.get())));
    BN_bn2bin(modulus.get(), result.modulus.data());
    result.exponent.resize(static_cast<std::size_t>(BN_num_bytes(exponent.get())));
    BN_bn2bin(exponent.get(), result.exponent.data());
    return result;
}

// The key of an archive handle. Handles of this repository hold an EVP_PKEY; an empty handle
// is refused rather than dereferenced.
EVP_PKEY* keyOf(const PrivateKeyHandle& handle, const char* callName) {
    throwIfOpenSslError(handle == nullptr, callName, "No private key given");
    return static_cast<EVP_PKEY*>(handle.get());
}

// The archive's once-per-process OpenSSL set-up. OpenSSL 3 allocates long before any archive
// exists, so asking it to switch allocators would only fail; its own allocator is kept and the
// error strings and algorithms are loaded.
void ensureArchiveSetUp() {
    static std::once_flag once;
    std::call_once(once, [] { ensureOpenSslInitialised(); });
}

}  // namespace

class ArchiveRepository::ArchiveRepositoryImpl {
  public:
    explicit ArchiveRepositoryImpl(std::wstring text) : label(std::move(text)) {}

    openssl::Pkcs12Ptr pkcs12;
    ArchiveState state = ArchiveState::Empty;
    std::wstring alias;
    std::shared_ptr<EVP_PKEY> privateKey;
    openssl::X509Ptr ownCertificate;
    openssl::X509StackPtr caCertificates;
    std::wstring label;

    void dropContent() {
        privateKey.reset();
        ownCertificate.reset();
        caCertificates.reset();
    }
};

ArchiveRepository::ArchiveRepository(const std::wstring& label)
    : impl_(std::make_shared<ArchiveRepositoryImpl>(label)) {
    ensureArchiveSetUp();
    impl_->state = ArchiveState::Empty;
}

ArchiveRepository::ArchiveRepository(const std::vector<unsigned char>& pkcs12Der,
                                     const std::wstring& label)
    : ArchiveRepository(label) {
    try {
        const unsigned char* p = pkcs12Der.data();
        impl_->pkcs12.reset(d2i_PKCS12(nullptr, &p, static_cast<long>(pkcs12Der.size())));
        throwIfOpenSslError(!impl_->pkcs12, "d2i_PKCS12", "Not a PKCS#12 archive");
        impl_->state = ArchiveState::Locked;
    } catch (const ArchiveException& e) {
        throw RepositoryAccessException(e.what());
    }
}

ArchiveRepository::~ArchiveRepository() = default;

Repository* ArchiveRepository::clone() const {
    return new ArchiveRepository(*this);
}

ArchiveState ArchiveRepository::state() const {
    return impl_->state;
}
const std::wstring& ArchiveRepository::alias() const {
    return impl_->alias;
}
const std::wstring& ArchiveRepository::label() const {
    return impl_->label;
}

void ArchiveRepository::login(const std::wstring& passPhrase) {
    if (impl_->state != ArchiveState::Locked)
        return;
    try {
        const std::string pass = toNarrowText(passPhrase);
        EVP_PKEY* rawKey = nullptr;
        X509* rawCertificate = nullptr;
        STACK_OF(X509)* rawOthers = nullptr;
        const int parsed =
            PKCS12_parse(impl_->pkcs12.get(), pass.c_str(), &rawKey, &rawCertificate, &rawOthers);
        std::shared_ptr<EVP_PKEY> key(rawKey, openssl::FreeWith<EVP_PKEY_free>{});
        openssl::X509Ptr certificate(rawCertificate);
        openssl::X509StackPtr others(rawOthers);
        throwIfOpenSslError(parsed != 1, "PKCS12_parse", "");
        impl_->privateKey = std::move(key);
        impl_->ownCertificate = std::move(certificate);
        impl_->caCertificates = std::move(others);
        impl_->state = ArchiveState::Open;
    } catch (const ArchiveException& e) {
        ERR_clear_error();
        throw RepositoryAccessException(e.what());
    }
}

RsaPublicKey ArchiveRepository::publicKey() const {
    // An Open archive loaded from a file without a key has nothing to offer either.
    if (impl_->state == ArchiveState::Locked || impl_->state == ArchiveState::Empty ||
        !impl_->privateKey) {
        throw BaseException(kLacksPublicKey);
    }
    return rsaPublicKeyOf(impl_->privateKey.get());
}

bool ArchiveRepository::addCertificate(const Certificate& certificate) {
    try {
        if (publicKey() == certificate.getPublicKey()) {
            openssl::X509Ptr copy(X509_dup(certificate.nativeHandle()));
            throwIfOpenSslError(!copy, "X509_dup", "Memory allocation failure");
            impl_->ownCertificate = std::move(copy);
            impl_->state = ArchiveState::Completed;
            return true;
        }
        if (!certificate.isCertificateAuthority())
            return false;
        if (!impl_->caCertificates) {
            impl_->caCertificates.reset(sk_X509_new_null());
            throwIfOpenSslError(!impl_->caCertificates, "sk_X509_new_null",
                                "Memory allocation failure");
        }
        openssl::X509Ptr copy(X509_dup(certificate.nativeHandle()));
        throwIfOpenSslError(!copy, "X509_dup", "Memory allocation failure");
        const bool pushed = sk_X509_push(impl_->caCertificates.get(), copy.get()) > 0;
        throwIfOpenSslError(!pushed, "sk_X509_push", "Memory allocation failure");
        copy.release();  // the stack owns it now
        return true;
    } catch (const std::exception& e) {
        throw CertificateAdditionException(e.what());
    }
}

void ArchiveRepository::visitCertificates(int kinds, Visitor visitor) {
    try {
        const ArchiveState state = impl_->state;
        if (state != ArchiveState::Open && state != ArchiveState::KeyPairOnly &&
            state != ArchiveState::Completed) {
            throw BaseException("PKCS#12's Content is empty or user was not logged in");
        }
        // The own certificate is offered whenever personal certificates are asked for, and its
        // answer does not end the walk: the list is still visited.
        if ((kinds & Personal) != 0 && state != ArchiveState::KeyPairOnly &&
            impl_->ownCertificate) {
            visitor(Certificate(impl_->ownCertificate.get()));
        }
        if (!impl_->caCertificates)
            return;
        // The list cannot change during the walk from here, but a visitor may call back into
        // this archive; walk a snapshot so that an addition meanwhile cannot move the elements.
        std::vector<Certificate> listed;
        for (int i = 0; i < sk_X509_num(impl_->caCertificates.get()); ++i) {
            listed.emplace_back(sk_X509_value(impl_->caCertificates.get(), i));
        }
        for (const Certificate& certificate : listed) {
            if (!matchesKinds(certificate, kinds))
                continue;
            if (visitor(certificate) == Stop)
                return;
        }
    } catch (const std::exception& e) {
        throw CertificateSearchingException(e.what());
    }
}

KeyPair ArchiveRepository::generateKeyPair(const std::wstring& alias, int keySizeBits) {
    try {
        const ArchiveState state = impl_->state;
        if (state == ArchiveState::Locked || state == ArchiveState::Open)
            impl_->pkcs12.reset();
        if (state == ArchiveState::Open || state == ArchiveState::KeyPairOnly ||
            state == ArchiveState::Completed) {
            impl_->dropContent();
        }
        // RSA with exponent 65537, through the EVP interface (what RSA_generate_key did).
        openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        throwIfOpenSslError(!context, "RSA_generate_key", "");
        throwIfOpenSslError(EVP_PKEY_keygen_init(context.get()) <= 0, "RSA_generate_key", "");
        throwIfOpenSslError(
            keySizeBits <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), keySizeBits) <= 0,
            "RSA_generate_key", "Invalid key size");
        openssl::BignumPtr exponent(BN_new());
        throwIfOpenSslError(!exponent || BN_set_word(exponent.get(), RSA_F4) != 1,
                            "RSA_generate_key", "");
        throwIfOpenSslError(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) <= 0,
                            "RSA_generate_key", "");
        EVP_PKEY* raw = nullptr;
        throwIfOpenSslError(EVP_PKEY_keygen(context.get(), &raw) <= 0 || raw == nullptr,
                            "RSA_generate_key", "");
        std::shared_ptr<EVP_PKEY> key(raw, openssl::FreeWith<EVP_PKEY_free>{});

        impl_->privateKey = key;
        impl_->alias = alias;
        impl_->state = ArchiveState::KeyPairOnly;
        return KeyPair{rsaPublicKeyOf(key.get()), PrivateKeyHandle(key, key.get())};
    } catch (const ArchiveException& e) {
        ERR_clear_error();
        // The earlier content is gone already: the state must not claim a key that is not there.
        impl_->state = ArchiveState::Empty;
        throw KeyPairGenerationException(e.what());
    }
}

ArchiveRepository ArchiveRepository::withKeyPair(const std::vector<unsigned char>& privateKeyDer,
                                                 const std::wstring& alias) {
    ArchiveRepository archive;
    const unsigned char* p = privateKeyDer.data();
    std::shared_ptr<EVP_PKEY> key(
        d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(privateKeyDer.size())),
        openssl::FreeWith<EVP_PKEY_free>{});
    ERR_clear_error();
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw RepositoryAccessException("Cannot read the RSA private key of the key pair");
    archive.impl_->privateKey = std::move(key);
    archive.impl_->alias = alias;
    archive.impl_->state = ArchiveState::KeyPairOnly;
    return archive;
}

std::vector<unsigned char> ArchiveRepository::privateKeyDer() const {
    if (impl_->state == ArchiveState::Locked || impl_->state == ArchiveState::Empty ||
        !impl_->privateKey) {
        throw SerializationException("There isn't any private key");
    }
    openssl::Pkcs8PrivKeyInfoPtr info(EVP_PKEY2PKCS8(impl_->privateKey.get()));
    unsigned char* der = nullptr;
    const int length = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : 0;
    if (length <= 0) {
        ERR_clear_error();
        throw SerializationException("Cannot encode the private key");
    }
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    return bytes;
}

PrivateKeyHandle ArchiveRepository::privateKeyOf(const Certificate& certificate) {
    switch (impl_->state) {
        case ArchiveState::Locked:
            throw SignatureException("Not logged");
        case ArchiveState::Empty:
            throw SignatureException("There isn't any private key");
        case ArchiveState::KeyPairOnly:
            throw SignatureException("Certificate not present");
        default:
            break;
    }
    if (!impl_->ownCertificate || !impl_->privateKey) {
        throw SignatureException("There isn't any private key");
    }
    if (Certificate(impl_->ownCertificate.get()).getFingerprint() != certificate.getFingerprint()) {
        throw SignatureException("Certificate not match in this archive");
    }
    return PrivateKeyHandle(impl_->privateKey, impl_->privateKey.get());
}

Repository::Bytes ArchiveRepository::signDigestWithKey(const char* hashName, const Bytes& digest,
                                                       PrivateKeyHandle key) {
    try {
        EVP_PKEY* pkey = keyOf(key, "EVP_PKEY_get1_RSA");
        throwIfOpenSslError(EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA, "EVP_PKEY_get1_RSA",
                            "Cannot get RSA key from private key");
        const EVP_MD* md = nullptr;
        const bool withHash = hashName != nullptr && *hashName != '\0';
        if (withHash) {
            const int nid = OBJ_txt2nid(hashName);
            md = nid == NID_undef ? nullptr : EVP_get_digestbynid(nid);
            if (md == nullptr) {
                ERR_clear_error();
                throw SignatureException("Hash algorithm not found");
            }
        }
        openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new(pkey, nullptr));
        const char* label = withHash ? "RSA_sign" : "RSA_private_encrypt";
        throwIfOpenSslError(!context, label, "");
        throwIfOpenSslError(EVP_PKEY_sign_init(context.get()) <= 0, label, "");
        throwIfOpenSslError(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0,
                            label, "");
        if (withHash) {
            throwIfOpenSslError(EVP_PKEY_CTX_set_signature_md(context.get(), md) <= 0, label, "");
        }
        Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
        std::size_t length = signature.size();
        throwIfOpenSslError(EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(),
                                          digest.size()) <= 0,
                            label, "");
        signature.resize(length);
        return signature;
    } catch (const ArchiveException& e) {
        ERR_clear_error();
        throw SignatureException(e.what());
    }
}

Repository::Bytes ArchiveRepository::decryptWithKey(const Bytes& data, PrivateKeyHandle key) {
    try {
        EVP_PKEY* pkey = keyOf(key, "EVP_PKEY_CTX_new");
        // The context is owned here and freed on every path.
        openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new(pkey, nullptr));
        throwIfOpenSslError(!context, "EVP_PKEY_CTX_new", "");
        throwIfOpenSslError(EVP_PKEY_decrypt_init(context.get()) < 1, "EVP_PKEY_decrypt_init", "");
        std::size_t length = 0;
        throwIfOpenSslError(
            EVP_PKEY_decrypt(context.get(), nullptr, &length, data.data(), data.size()) < 1,
            "EVP_PKEY_decrypt", "");
        Bytes plain(length);
        throwIfOpenSslError(
            EVP_PKEY_decrypt(context.get(), plain.data(), &length, data.data(), data.size()) < 1,
            "EVP_PKEY_decrypt", "");
        plain.resize(length);
        return plain;
    } catch (const ArchiveException& e) {
        ERR_clear_error();
        throw DecryptionException(e.what());
    }
}

void ArchiveRepository::save(const std::wstring& passPhrase, std::ostream& out) {
    if (impl_->state != ArchiveState::Open && impl_->state != ArchiveState::Completed) {
        throw SerializationException(
            "Cannot save. It lacks either certificate, private key or CA.");
    }
    try {
        const std::string pass = toNarrowText(passPhrase);
        const std::string name = toNarrowText(impl_->alias);
        openssl::Pkcs12Ptr created(PKCS12_create(
            pass.c_str(), name.empty() ? nullptr : name.c_str(), impl_->privateKey.get(),
            impl_->ownCertificate.get(), impl_->caCertificates.get(), 0, 0, 0, 0, 0));
        throwIfOpenSslError(!created, "PKCS12_create", "Cannot create PKCS#12");
        impl_->pkcs12 = std::move(created);
        impl_->state = ArchiveState::Open;

        openssl::BioPtr bio(BIO_new(streamAdapterMethod()));
        throwIfOpenSslError(!bio, "BIO_new", "Memory allocation failure");
        BIO_ctrl(bio.get(), SetOutputStream, 0, &out);
        throwIfOpenSslError(i2d_PKCS12_bio(bio.get(), impl_->pkcs12.get()) != 1, "i2d_PKCS12_bio",
                            "");
    } catch (const ArchiveException& e) {
        ERR_clear_error();
        throw SerializationException(e.what());
    } catch (const std::range_error& e) {
        // A pass phrase or alias with a character the library's text conversion cannot narrow.
        throw SerializationException(e.what());
    }
}

}  // namespace quor::signer
