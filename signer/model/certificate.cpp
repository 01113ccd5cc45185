#include "signer/model/certificate.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "signer/model/base64.h"
#include "signer/model/digest.h"
#include "platform/decoded_certificate.h"
#include "platform/openssl_ptr.h"
#include "signer/repository/errors.h"

namespace quor::signer {

class Certificate::CertificateImpl {
  public:
    explicit CertificateImpl(openssl::X509Ptr certificate) : x509(std::move(certificate)) {}

    openssl::X509Ptr x509;
};

namespace {

openssl::X509Ptr decodeDer(const unsigned char* der, long length) {
    if (der == nullptr || length <= 0)
        return {};
    openssl::X509Ptr x509 = platform::decodeCertificate(der, static_cast<std::size_t>(length));
    if (!x509)
        ERR_clear_error();
    return x509;
}

openssl::X509Ptr decodePem(const std::string& text) {
    // The PEM reading sees the text up to its first zero byte.
    const std::size_t length = std::strlen(text.c_str());
    if (length == 0)
        return {};
    openssl::BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(length)));
    if (!bio)
        return {};
    // A certificate block is never encrypted; refuse any pass-phrase prompt.
    auto noPassPhrase = [](char*, int, int, void*) -> int { return -1; };
    openssl::X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, noPassPhrase, nullptr));
    if (!x509)
        ERR_clear_error();
    return x509;
}

std::string hexBytes(const unsigned char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    if (count == 0)
        return text;
    text.reserve(count * 3 - 1);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

DistinguishedName readName(const X509_NAME* name) {
    DistinguishedName result;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        char oid[256];
        const int oidLength = OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(entry), 1);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        const auto* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(data));
        const auto size = static_cast<std::size_t>(std::max(ASN1_STRING_length(data), 0));
        // The value ends at its first zero byte (a BMPString of Latin text is cut at once).
        const std::size_t valueLength = bytes != nullptr ? strnlen(bytes, size) : 0;
        result.append(oidLength > 0 ? std::string(oid) : std::string(),
                      std::string(bytes != nullptr ? bytes : "", valueLength));
    }
    return result;
}

const EVP_MD* sha1Digest() {
    static const EVP_MD* const md = [] {
        ensureOpenSslInitialised();
        return EVP_get_digestbyname("sha1");
    }();
    return md;
}

std::vector<unsigned char> bignumBytes(const EVP_PKEY* key, const char* parameter) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, parameter, &raw) != 1) {
        ERR_clear_error();
        return {};
    }
    openssl::BignumPtr number(raw);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    if (!bytes.empty())
        BN_bn2bin(number.get(), bytes.data());
    return bytes;
}

openssl::EvpPkeyPtr rsaKeyFrom(const RsaPublicKey& key) {
    openssl::BignumPtr modulus(
        BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
    openssl::BignumPtr exponent(
        BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
    openssl::OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!modulus || !exponent || !builder ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
        return {};
    }
    openssl::OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    openssl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return {};
    }
    return openssl::EvpPkeyPtr(raw);
}

// The first basicConstraints extension, decoded; null when absent or not decodable.
openssl::BasicConstraintsPtr basicConstraintsOf(const X509* x509) {
    const int index = X509_get_ext_by_NID(x509, NID_basic_constraints, -1);
    if (index < 0)
        return {};
    X509_EXTENSION* extension = X509_get_ext(x509, index);
    openssl::BasicConstraintsPtr constraints(
        static_cast<BASIC_CONSTRAINTS*>(X509V3_EXT_d2i(extension)));
    if (!constraints)
        ERR_clear_error();
    return constraints;
}

}  // namespace

Certificate::Certificate(const unsigned char* der, long length) {
    ensureCryptoErrorStrings();
    openssl::X509Ptr x509 = decodeDer(der, length);
    if (!x509)
        throw BaseException("Cannot decode certificate from DER bytes");
    impl_ = std::make_shared<CertificateImpl>(std::move(x509));
}

Certificate::Certificate(const std::string& text) {
    ensureCryptoErrorStrings();
    openssl::X509Ptr x509 = decodePem(text);
    if (!x509) {
        x509 = decodeDer(reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<long>(text.size()));
    }
    if (!x509) {
        const std::vector<unsigned char> der = decodeBase64(text);
        x509 = decodeDer(der.data(), static_cast<long>(der.size()));
    }
    if (!x509) {
        // U+FFFD stands where the accented letters would be.
        static const std::string kReplacement = "\xEF\xBF\xBD";
        throw std::invalid_argument("Base64 passado [" + text + "] n" + kReplacement + "o " +
                                    kReplacement + " v" + kReplacement + "lido");
    }
    impl_ = std::make_shared<CertificateImpl>(std::move(x509));
}

Certificate::Certificate(X509* x509) {
    ensureCryptoErrorStrings();
    openssl::X509Ptr copy(x509 != nullptr ? X509_dup(x509) : nullptr);
    if (!copy) {
        ERR_clear_error();
        throw BaseException("Cannot copy certificate: no certificate given");
    }
    impl_ = std::make_shared<CertificateImpl>(std::move(copy));
}

DistinguishedName Certificate::getSubject() const {
    return readName(X509_get_subject_name(impl_->x509.get()));
}

DistinguishedName Certificate::getIssuer() const {
    return readName(X509_get_issuer_name(impl_->x509.get()));
}

std::string Certificate::getSerialNumber() const {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(impl_->x509.get());
    if (serial == nullptr)
        return {};
    return hexBytes(ASN1_STRING_get0_data(serial),
                    static_cast<std::size_t>(std::max(ASN1_STRING_length(serial), 0)));
}

std::string Certificate::getFingerprint() const {
    const EVP_MD* md = sha1Digest();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (md == nullptr || X509_digest(impl_->x509.get(), md, digest, &length) != 1) {
        ERR_clear_error();
        return {};
    }
    return hexBytes(digest, length);
}

std::vector<unsigned char> Certificate::getEncoded() const {
    const int size = i2d_X509(impl_->x509.get(), nullptr);
    if (size <= 0)
        return {};
    std::vector<unsigned char> der(static_cast<std::size_t>(size));
    unsigned char* cursor = der.data();
    if (i2d_X509(impl_->x509.get(), &cursor) != size)
        return {};
    return der;
}

RsaPublicKey Certificate::getPublicKey() const {
    openssl::EvpPkeyPtr key(X509_get_pubkey(impl_->x509.get()));
    if (!key) {
        ERR_clear_error();
        throw BaseException("Error unpacking public key");
    }
    const int type = EVP_PKEY_get_base_id(key.get());
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_RSA_PSS) {
        throw BaseException("Cannot get RSA key from private key");
    }
    RsaPublicKey result;
    result.modulus = bignumBytes(key.get(), OSSL_PKEY_PARAM_RSA_N);
    if (result.modulus.empty())
        throw BaseException("Cannot extract modulus");
    result.exponent = bignumBytes(key.get(), OSSL_PKEY_PARAM_RSA_E);
    if (result.exponent.empty())
        throw BaseException("Cannot extract exponent");
    return result;
}

bool Certificate::verifySignature(const RsaPublicKey& key) const {
    openssl::EvpPkeyPtr pkey = rsaKeyFrom(key);
    const bool verified = pkey && X509_verify(impl_->x509.get(), pkey.get()) == 1;
    ERR_clear_error();
    return verified;
}

X509* Certificate::nativeHandle() const {
    return impl_->x509.get();
}

bool Certificate::isSelfIssuedNonCa() const {
    return X509_check_ca(impl_->x509.get()) == 0 && !basicConstraintsOf(impl_->x509.get()) &&
           getSubject() == getIssuer();
}

bool Certificate::isCertificateAuthority() const {
    return isSelfIssuedNonCa() || X509_check_ca(impl_->x509.get()) >= 1;
}

bool Certificate::isSelfSigned() const {
    // Self-signed as in RFC 5280 6.1: subject and issuer names match, and an authority key
    // identifier, when present, names the certificate's own key (or its own issuer and serial).
    // OpenSSL 3 additionally demands a signature algorithm that fits a key it can decode, which
    // would take roots with keys it does not know (Ed448 variants, new algorithms) out of the
    // roots; the name and key-identifier test alone keeps them.
    X509* x509 = impl_->x509.get();
    if (X509_NAME_cmp(X509_get_subject_name(x509), X509_get_issuer_name(x509)) != 0)
        return false;
    openssl::AuthorityKeyIdPtr keyId(static_cast<AUTHORITY_KEYID*>(
        X509_get_ext_d2i(x509, NID_authority_key_identifier, nullptr, nullptr)));
    const bool keyIdMatches = X509_check_akid(x509, keyId.get()) == X509_V_OK;
    ERR_clear_error();
    return keyIdMatches;
}

bool Certificate::isRoot() const {
    return isSelfIssuedNonCa() || (isCertificateAuthority() && isSelfSigned());
}

bool Certificate::allowsSubordinateAuthorities() const {
    const openssl::BasicConstraintsPtr constraints = basicConstraintsOf(impl_->x509.get());
    if (!constraints)
        return true;
    if (constraints->ca == 0)
        return false;
    const ASN1_INTEGER* pathLength = constraints->pathlen;
    if (pathLength == nullptr || ASN1_STRING_length(pathLength) == 0)
        return true;
    // RFC 5280 4.2.1.9: pathLenConstraint 0 means no further CA below. Compared by magnitude, so
    // a value too large for a long still allows subordinates and a negative one does not.
    if (ASN1_STRING_type(pathLength) == V_ASN1_NEG_INTEGER)
        return false;
    const unsigned char* bytes = ASN1_STRING_get0_data(pathLength);
    const int length = ASN1_STRING_length(pathLength);
    for (int i = 0; i < length; ++i) {
        if (bytes[i] != 0)
            return true;
    }
    return false;
}

std::string Certificate::normalizeFingerprint(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != ':')
            compact.push_back(c);
    }
    const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
    ctype.tolower(compact.data(), compact.data() + compact.size());

    std::string result;
    result.reserve(compact.size() + compact.size() / 2);
    for (std::size_t i = 0; i < compact.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            result.push_back(' ');
        result.push_back(compact[i]);
    }
    return result;
}

void Certificate::fingerprintToHash(const std::string& text, unsigned char out[20]) {
    std::istringstream in(text);
    in >> std::hex;
    for (int i = 0; i < 20; ++i) {
        unsigned long long number = 0;
        if (!(in >> number))
            number = 0;
        out[i] = static_cast<unsigned char>(number & 0xFF);
    }
}

}  // namespace quor::signer
