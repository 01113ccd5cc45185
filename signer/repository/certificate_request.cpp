#include "signer/repository/certificate_request.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <boost/numeric/conversion/cast.hpp>
#include <cstring>

#include "platform/openssl_ptr.h"
#include "signer/repository/errors.h"

namespace quor::signer {

namespace {

// A public key object from the modulus and exponent of a key pair.
openssl::EvpPkeyPtr publicKeyObject(const RsaPublicKey& publicKey) {
    const int modulusLength = boost::numeric_cast<int>(publicKey.modulus.size());
    const int exponentLength = boost::numeric_cast<int>(publicKey.exponent.size());
    openssl::BignumPtr modulus(BN_bin2bn(publicKey.modulus.data(), modulusLength, nullptr));
    openssl::BignumPtr exponent(BN_bin2bn(publicKey.exponent.data(), exponentLength, nullptr));
    if (!modulus || !exponent)
        return {};
    openssl::OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), "n", modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), "e", exponent.get()) != 1) {
        return {};
    }
    openssl::OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0)
        return {};
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
        return {};
    }
    return openssl::EvpPkeyPtr(key);
}

}  // namespace

std::shared_ptr<X509_REQ> buildCertificateRequest(Repository& repository, const KeyPair& keyPair) {
    openssl::EvpPkeyPtr key = publicKeyObject(keyPair.publicKey);
    if (!key) {
        ERR_clear_error();
        throw KeyPairGenerationException("Error creating EVP_PKEY object");
    }
    std::shared_ptr<X509_REQ> request(X509_REQ_new(), openssl::FreeWith<X509_REQ_free>{});
    if (!request)
        throw KeyPairGenerationException("Error creating X509_REQ object");
    if (X509_REQ_set_pubkey(request.get(), key.get()) != 1) {
        ERR_clear_error();
        throw KeyPairGenerationException("Error setting public key");
    }
    key.reset();

    // The authority fills in the holder's data when it issues; the request always asks in the
    // name of the organisation's products unit.
    X509_NAME* subject = X509_REQ_get_subject_name(request.get());
    const std::pair<const char*, const char*> entries[] = {
        {"C", "BR"},
        {"ST", "Sao Paulo"},
        {"O", kRequestOrganization},
        {"OU", "Produtos"},
        {"CN", "Quorsa Certificadora Digital SA"},
    };
    for (const auto& [field, value] : entries) {
        X509_NAME_add_entry_by_txt(subject, field, MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    }

    openssl::X509ExtensionPtr keyUsage(X509V3_EXT_conf_nid(
        nullptr, nullptr, NID_key_usage, "critical,digitalSignature,keyEncipherment"));
    if (!keyUsage) {
        ERR_clear_error();
        throw KeyPairGenerationException("Error creating X509_EXTENSION");
    }
    {
        openssl::X509ExtensionStackPtr extensions(sk_X509_EXTENSION_new_null());
        if (!extensions || sk_X509_EXTENSION_push(extensions.get(), keyUsage.get()) <= 0) {
            throw KeyPairGenerationException("Error creating X509_EXTENSION");
        }
        keyUsage.release();  // the stack owns it now
        if (X509_REQ_add_extensions(request.get(), extensions.get()) != 1) {
            ERR_clear_error();
            throw KeyPairGenerationException("Error adding X509_EXTENSION");
        }
    }

    // RFC 2986: the signature covers the DER of CertificationRequestInfo.
    unsigned char* rawInfo = nullptr;
    const int infoLength = i2d_re_X509_REQ_tbs(request.get(), &rawInfo);
    openssl::OpenSslMemoryPtr infoOwner(rawInfo);
    if (infoLength < 1 || rawInfo == nullptr) {
        ERR_clear_error();
        throw KeyPairGenerationException("Error convert X509_REQ_INFO in DER format");
    }
    const std::vector<unsigned char> info(rawInfo, rawInfo + infoLength);

    try {
        const std::vector<unsigned char> signature =
            repository.signWithKey(info, keyPair.privateKey, "SHA256");

        // The signature algorithm: sha256WithRSAEncryption with the parameters absent.
        const int signatureNid = EVP_MD_get_pkey_type(EVP_sha256());
        openssl::Asn1StringPtr bits(ASN1_BIT_STRING_new());
        std::unique_ptr<X509_ALGOR, openssl::FreeWith<X509_ALGOR_free>> algorithm(X509_ALGOR_new());
        if (!bits || !algorithm ||
            ASN1_BIT_STRING_set(bits.get(), const_cast<unsigned char*>(signature.data()),
                                static_cast<int>(signature.size())) != 1) {
            ERR_clear_error();
            throw SignatureException("Memory allocation failure");
        }
        // No unused bits in the last byte.
        bits->flags &= ~0x07L;
        bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
        if (X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(signatureNid), V_ASN1_UNDEF, nullptr) !=
            1) {
            ERR_clear_error();
            throw KeyPairGenerationException("Error setting signature algorithm");
        }
        X509_REQ_set0_signature(request.get(), bits.release());
        if (X509_REQ_set1_signature_algo(request.get(), algorithm.get()) != 1) {
            ERR_clear_error();
            throw KeyPairGenerationException("Error setting signature algorithm");
        }
    } catch (const SignatureException& e) {
        throw KeyPairGenerationException(e.what());
    }
    return request;
}

std::shared_ptr<X509_REQ> Repository::createCertificateRequest(const std::wstring& alias,
                                                               int keySizeBits) {
    const KeyPair keyPair = generateKeyPair(alias, keySizeBits);
    return buildCertificateRequest(*this, keyPair);
}

}  // namespace quor::signer
