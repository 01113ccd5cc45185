// Owning pointers for OpenSSL objects, declared once for the whole tree.
//
// Every OpenSSL object the project creates is held by one of these aliases from the moment it is
// made, so no error path can leak it. The deleters call the matching OpenSSL free function;
// stacks of certificates free their elements too (X509StackPtr). Header-only: any folder may
// include it.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace quor::openssl {

// Calls Free on a non-null pointer. Used as the deleter of every alias below.
template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* object) const noexcept {
        if (object != nullptr)
            Free(object);
    }
};

using X509Ptr = std::unique_ptr<X509, FreeWith<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, FreeWith<X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, FreeWith<X509_REQ_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, FreeWith<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, FreeWith<X509_STORE_CTX_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, FreeWith<X509_CRL_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, FreeWith<EVP_MD_free>>;  // from EVP_MD_fetch only
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, FreeWith<EVP_CIPHER_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, FreeWith<BN_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, FreeWith<PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FreeWith<PKCS12_free>>;
using Pkcs8PrivKeyInfoPtr =
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, FreeWith<PKCS8_PRIV_KEY_INFO_free>>;
using Pkcs12SafeBagPtr = std::unique_ptr<PKCS12_SAFEBAG, FreeWith<PKCS12_SAFEBAG_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, FreeWith<ASN1_INTEGER_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, FreeWith<ASN1_TIME_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, FreeWith<ASN1_OBJECT_free>>;
using Asn1OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, FreeWith<ASN1_OCTET_STRING_free>>;
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, FreeWith<ASN1_STRING_free>>;
using BasicConstraintsPtr = std::unique_ptr<BASIC_CONSTRAINTS, FreeWith<BASIC_CONSTRAINTS_free>>;
using AuthorityKeyIdPtr = std::unique_ptr<AUTHORITY_KEYID, FreeWith<AUTHORITY_KEYID_free>>;
using OsslParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, FreeWith<OSSL_PARAM_BLD_free>>;
using OsslParamPtr = std::unique_ptr<OSSL_PARAM, FreeWith<OSSL_PARAM_free>>;

namespace detail {
inline void freeX509Stack(STACK_OF(X509) * stack) noexcept {
    sk_X509_pop_free(stack, X509_free);
}
inline void freeGeneralNames(GENERAL_NAMES* names) noexcept {
    sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
}
inline void freePolicies(CERTIFICATEPOLICIES* policies) noexcept {
    sk_POLICYINFO_pop_free(policies, POLICYINFO_free);
}
inline void freeExtensions(STACK_OF(X509_EXTENSION) * extensions) noexcept {
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
}
inline void freeOpenSslMemory(void* memory) noexcept {
    OPENSSL_free(memory);
}
inline void freeSafeBagStack(STACK_OF(PKCS12_SAFEBAG) * stack) noexcept {
    sk_PKCS12_SAFEBAG_pop_free(stack, PKCS12_SAFEBAG_free);
}
inline void freePkcs7Stack(STACK_OF(PKCS7) * stack) noexcept {
    sk_PKCS7_pop_free(stack, PKCS7_free);
}
}  // namespace detail

// A stack that owns its certificates: freeing it frees every element.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), FreeWith<detail::freeX509Stack>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, FreeWith<detail::freeGeneralNames>>;
using CertificatePoliciesPtr = std::unique_ptr<CERTIFICATEPOLICIES, FreeWith<detail::freePolicies>>;
using X509ExtensionStackPtr =
    std::unique_ptr<STACK_OF(X509_EXTENSION), FreeWith<detail::freeExtensions>>;
// Stacks that own their PKCS#12 safe bags and PKCS#7 safes.
using Pkcs12SafeBagStackPtr =
    std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), FreeWith<detail::freeSafeBagStack>>;
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), FreeWith<detail::freePkcs7Stack>>;
// Memory OpenSSL allocated for the caller (i2d output, BN_bn2hex, OBJ texts...).
using OpenSslMemoryPtr = std::unique_ptr<void, FreeWith<detail::freeOpenSslMemory>>;

// A new owning reference to a certificate that someone else owns (X509_up_ref).
inline X509Ptr upRef(X509* certificate) {
    if (certificate == nullptr || X509_up_ref(certificate) != 1)
        return X509Ptr{};
    return X509Ptr{certificate};
}

// A new owning reference to a key that someone else owns (EVP_PKEY_up_ref).
inline EvpPkeyPtr upRef(EVP_PKEY* key) {
    if (key == nullptr || EVP_PKEY_up_ref(key) != 1)
        return EvpPkeyPtr{};
    return EvpPkeyPtr{key};
}

}  // namespace quor::openssl
