#include "tests/support/pki_builder.h"

#include <openssl/bn.h>
#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "platform/openssl_ptr.h"

namespace quor::test {
namespace {

namespace ossl = quor::openssl;

[[noreturn]] void fail(const std::string& what) {
    std::string text = "test PKI: " + what;
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    throw std::runtime_error(text);
}

void check(bool ok, const std::string& what) {
    if (!ok)
        fail(what);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data != nullptr ? data : "", static_cast<std::size_t>(size > 0 ? size : 0));
}

std::string hexText(const unsigned char* bytes, unsigned int count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < count; ++i) {
        if (i > 0)
            text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

int asn1Type(StringType type) {
    switch (type) {
        case StringType::Utf8:
            return V_ASN1_UTF8STRING;
        case StringType::Printable:
            return V_ASN1_PRINTABLESTRING;
        case StringType::Ia5:
            return V_ASN1_IA5STRING;
        case StringType::Bmp:
            return V_ASN1_BMPSTRING;
        case StringType::Teletex:
            return V_ASN1_T61STRING;
        case StringType::OctetString:
            return V_ASN1_OCTET_STRING;
    }
    return V_ASN1_UTF8STRING;
}

// UTF-8 to UCS-2 big-endian (characters of the Basic Multilingual Plane only).
std::string toUcs2(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned int code = 0;
        int extra = 0;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            extra = 2;
        } else {
            throw std::invalid_argument("test PKI: BMPString takes BMP characters only");
        }
        if (i + static_cast<std::size_t>(extra) >= utf8.size() && extra > 0) {
            throw std::invalid_argument("test PKI: truncated UTF-8");
        }
        for (int k = 1; k <= extra; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        out.push_back(static_cast<char>(code >> 8));
        out.push_back(static_cast<char>(code & 0xFF));
    }
    return out;
}

ossl::Asn1ObjectPtr objectOf(const std::string& text) {
    ossl::Asn1ObjectPtr object(OBJ_txt2obj(text.c_str(), 0));
    check(object != nullptr, "unknown object " + text);
    return object;
}

ossl::Asn1StringPtr typedString(const std::string& value, StringType type) {
    const std::string bytes = type == StringType::Bmp ? toUcs2(value) : value;
    ossl::Asn1StringPtr string(ASN1_STRING_type_new(asn1Type(type)));
    check(
        string && ASN1_STRING_set(string.get(), bytes.data(), static_cast<int>(bytes.size())) == 1,
        "string value");
    return string;
}

// ASN.1 time with the given text as content, unchecked.
ossl::Asn1TimePtr timeOf(const std::string& text) {
    const int type = text.size() == 13 ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME;
    ossl::Asn1TimePtr time(ASN1_STRING_type_new(type));
    check(time && ASN1_STRING_set(time.get(), text.data(), static_cast<int>(text.size())) == 1,
          "time value");
    return time;
}

void addConfExtension(X509* x509, X509V3_CTX* context, int nid, const std::string& value) {
    // Some extensions (certificatePolicies) insist on a configuration database, even empty.
    std::unique_ptr<CONF, void (*)(CONF*)> conf(NCONF_new(nullptr), NCONF_free);
    check(conf != nullptr, "configuration");
    X509V3_set_nconf(context, conf.get());
    ossl::X509ExtensionPtr extension(X509V3_EXT_nconf_nid(conf.get(), context, nid, value.c_str()));
    X509V3_set_nconf(context, nullptr);
    check(extension != nullptr, "extension " + std::string(OBJ_nid2sn(nid)) + "=" + value);
    check(X509_add_ext(x509, extension.get(), -1) == 1, "add extension");
}

std::shared_ptr<X509> shareX509(X509* x509) {
    return std::shared_ptr<X509>(x509, X509_free);
}

}  // namespace

// ---- Key ------------------------------------------------------------------------------------

Key Key::rsa(int bits, unsigned long exponent) {
    ossl::EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    ossl::BignumPtr e(BN_new());
    check(context && e && BN_set_word(e.get(), exponent) == 1 &&
              EVP_PKEY_keygen_init(context.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), bits) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), e.get()) == 1,
          "RSA key parameters");
    EVP_PKEY* pkey = nullptr;
    check(EVP_PKEY_keygen(context.get(), &pkey) == 1, "RSA key generation");
    Key key;
    key.pkey_ = std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
    return key;
}

Key Key::ec(const std::string& curve) {
    EVP_PKEY* pkey = EVP_EC_gen(curve.c_str());
    check(pkey != nullptr, "EC key generation");
    Key key;
    key.pkey_ = std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
    return key;
}

Key Key::ed25519() {
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    check(pkey != nullptr, "Ed25519 key generation");
    Key key;
    key.pkey_ = std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
    return key;
}

Key Key::fromPkey(EVP_PKEY* pkey) {
    check(pkey != nullptr && EVP_PKEY_up_ref(pkey) == 1, "key reference");
    Key key;
    key.pkey_ = std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
    return key;
}

std::string Key::privatePem() const {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), pkey_.get(), nullptr, nullptr, 0, nullptr,
                                          nullptr) == 1,
          "private key PEM");
    return bioText(bio.get());
}

std::string Key::publicDer() const {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(pkey_.get(), &der);
    check(size > 0, "public key DER");
    ossl::OpenSslMemoryPtr owner(der);
    return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
}

Key testKey(int index) {
    static std::mutex mutex;
    static std::array<std::optional<Key>, 16> pool;
    if (index < 0 || index >= static_cast<int>(pool.size())) {
        throw std::out_of_range("test PKI: testKey index 0..15");
    }
    std::lock_guard lock(mutex);
    auto& slot = pool[static_cast<std::size_t>(index)];
    if (!slot)
        slot = Key::rsa(1024);
    return *slot;
}

// ---- Name -----------------------------------------------------------------------------------

Name Name::cn(const std::string& commonName) {
    return Name{{"CN", commonName}};
}

Name& Name::add(const std::string& field, const std::string& value, StringType type) {
    entries_.push_back({field, value, type});
    return *this;
}

X509_NAME* Name::toX509Name() const {
    ossl::X509NamePtr name(X509_NAME_new());
    check(name != nullptr, "name");
    for (const NameEntry& entry : entries_) {
        const ossl::Asn1ObjectPtr object = objectOf(entry.field);
        const std::string bytes = entry.type == StringType::Bmp ? toUcs2(entry.value) : entry.value;
        check(X509_NAME_add_entry_by_OBJ(name.get(), object.get(), asn1Type(entry.type),
                                         reinterpret_cast<const unsigned char*>(bytes.data()),
                                         static_cast<int>(bytes.size()), -1, 0) == 1,
              "name entry " + entry.field);
    }
    return name.release();
}

// ---- TestCert -------------------------------------------------------------------------------

std::string TestCert::pem() const {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), cert.get()) == 1, "certificate PEM");
    return bioText(bio.get());
}

std::vector<unsigned char> TestCert::derBytes() const {
    const int size = i2d_X509(cert.get(), nullptr);
    check(size > 0, "certificate DER");
    std::vector<unsigned char> der(static_cast<std::size_t>(size));
    unsigned char* cursor = der.data();
    i2d_X509(cert.get(), &cursor);
    return der;
}

std::string TestCert::der() const {
    const std::vector<unsigned char> bytes = derBytes();
    return std::string(bytes.begin(), bytes.end());
}

std::string TestCert::base64() const {
    const std::vector<unsigned char> bytes = derBytes();
    std::string text;
    for (std::size_t offset = 0; offset < bytes.size(); offset += 48) {
        const std::size_t chunk = std::min<std::size_t>(48, bytes.size() - offset);
        unsigned char line[65];
        const int length = EVP_EncodeBlock(line, bytes.data() + offset, static_cast<int>(chunk));
        text.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(length));
        text.push_back('\n');
    }
    return text;
}

std::string TestCert::sha1Text() const {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    check(X509_digest(cert.get(), EVP_sha1(), digest, &length) == 1, "SHA-1 digest");
    return hexText(digest, length);
}

// ---- CertBuilder ----------------------------------------------------------------------------

CertBuilder::CertBuilder(Name subjectName) : subject_(std::move(subjectName)) {}

CertBuilder& CertBuilder::subject(Name name) {
    subject_ = std::move(name);
    return *this;
}
CertBuilder& CertBuilder::issuerName(Name name) {
    issuerName_ = std::move(name);
    return *this;
}
CertBuilder& CertBuilder::key(Key subjectKey) {
    key_ = std::move(subjectKey);
    return *this;
}
CertBuilder& CertBuilder::serial(long value) {
    const unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    std::vector<unsigned char> bytes;
    for (int shift = 56; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<unsigned char>((magnitude >> shift) & 0xFF));
    }
    return serialBytes(bytes, value < 0);
}
CertBuilder& CertBuilder::serialBytes(const std::vector<unsigned char>& magnitude, bool negative) {
    serial_ = magnitude;
    serialNegative_ = negative;
    return *this;
}
CertBuilder& CertBuilder::notBefore(const std::string& asn1Text) {
    notBefore_ = asn1Text;
    return *this;
}
CertBuilder& CertBuilder::notAfter(const std::string& asn1Text) {
    notAfter_ = asn1Text;
    return *this;
}
CertBuilder& CertBuilder::validFor(long secondsBeforeNow, long secondsAfterNow) {
    notBefore_.reset();
    notAfter_.reset();
    beforeNow_ = secondsBeforeNow;
    afterNow_ = secondsAfterNow;
    return *this;
}
CertBuilder& CertBuilder::expired() {
    return validFor(2L * 24 * 3600, -24L * 3600);
}
CertBuilder& CertBuilder::ca(std::optional<long> pathLen) {
    basicConstraints_ = "critical,CA:TRUE";
    if (pathLen)
        *basicConstraints_ += ",pathlen:" + std::to_string(*pathLen);
    return *this;
}
CertBuilder& CertBuilder::notCa() {
    basicConstraints_ = "critical,CA:FALSE";
    return *this;
}
CertBuilder& CertBuilder::rawBasicConstraints(const std::vector<unsigned char>& valueDer) {
    basicConstraints_.reset();
    return rawExtension("2.5.29.19", valueDer, true);
}
CertBuilder& CertBuilder::keyUsage(const std::string& usages) {
    keyUsage_ = usages;
    return *this;
}
CertBuilder& CertBuilder::extendedKeyUsage(const std::string& usages) {
    extendedKeyUsage_ = usages;
    return *this;
}
CertBuilder& CertBuilder::policies(const std::vector<std::string>& oids) {
    policies_ = oids;
    return *this;
}
CertBuilder& CertBuilder::otherName(const std::string& oid, const std::string& value,
                                    StringType type) {
    otherNames_.push_back({oid, value, type});
    return *this;
}
CertBuilder& CertBuilder::email(const std::string& address) {
    emails_.push_back(address);
    return *this;
}
CertBuilder& CertBuilder::dnsName(const std::string& name) {
    dnsNames_.push_back(name);
    return *this;
}
CertBuilder& CertBuilder::keyIdentifiers() {
    keyIdentifiers_ = true;
    return *this;
}
CertBuilder& CertBuilder::rawExtension(const std::string& oid,
                                       const std::vector<unsigned char>& valueDer, bool critical) {
    rawExtensions_.push_back({oid, valueDer, critical});
    return *this;
}
CertBuilder& CertBuilder::digest(const std::string& name) {
    digest_ = name;
    return *this;
}

TestCert CertBuilder::selfSigned() const {
    const Key own = key_ ? *key_ : testKey(0);
    ossl::X509NamePtr issuer((issuerName_ ? *issuerName_ : subject_).toX509Name());
    return build(issuer.get(), own.get(), nullptr);
}

TestCert CertBuilder::signedBy(const TestCert& issuer) const {
    ossl::X509NamePtr name(issuerName_ ? issuerName_->toX509Name()
                                       : X509_NAME_dup(X509_get_subject_name(issuer.x509())));
    check(name != nullptr, "issuer name");
    return build(name.get(), issuer.key.get(), issuer.x509());
}

TestCert CertBuilder::signedWith(const Key& signerKey, const Name& issuer) const {
    ossl::X509NamePtr name(issuer.toX509Name());
    return build(name.get(), signerKey.get(), nullptr);
}

TestCert CertBuilder::build(const X509_NAME* issuer, EVP_PKEY* signer, X509* issuerCert) const {
    ERR_clear_error();  // so a failure below reports its own error, not an older one
    const Key subjectKey = key_ ? *key_ : testKey(0);
    ossl::X509Ptr x509(X509_new());
    check(x509 && X509_set_version(x509.get(), 2) == 1, "certificate");

    ossl::BignumPtr serialNumber(
        BN_bin2bn(serial_.data(), static_cast<int>(serial_.size()), nullptr));
    check(serialNumber != nullptr, "serial");
    BN_set_negative(serialNumber.get(), serialNegative_ ? 1 : 0);
    ossl::Asn1IntegerPtr serialInteger(BN_to_ASN1_INTEGER(serialNumber.get(), nullptr));
    check(serialInteger && X509_set_serialNumber(x509.get(), serialInteger.get()) == 1, "serial");

    ossl::X509NamePtr subjectName(subject_.toX509Name());
    check(X509_set_subject_name(x509.get(), subjectName.get()) == 1 &&
              X509_set_issuer_name(x509.get(), issuer) == 1,
          "names");

    if (notBefore_) {
        check(X509_set1_notBefore(x509.get(), timeOf(*notBefore_).get()) == 1, "notBefore");
    } else {
        check(X509_gmtime_adj(X509_getm_notBefore(x509.get()), -beforeNow_) != nullptr,
              "notBefore");
    }
    if (notAfter_) {
        check(X509_set1_notAfter(x509.get(), timeOf(*notAfter_).get()) == 1, "notAfter");
    } else {
        check(X509_gmtime_adj(X509_getm_notAfter(x509.get()), afterNow_) != nullptr, "notAfter");
    }
    check(X509_set_pubkey(x509.get(), subjectKey.get()) == 1, "public key");

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuerCert != nullptr ? issuerCert : x509.get(), x509.get(), nullptr,
                   nullptr, 0);
    if (basicConstraints_) {
        addConfExtension(x509.get(), &context, NID_basic_constraints, *basicConstraints_);
    }
    if (keyUsage_)
        addConfExtension(x509.get(), &context, NID_key_usage, *keyUsage_);
    if (extendedKeyUsage_) {
        addConfExtension(x509.get(), &context, NID_ext_key_usage, *extendedKeyUsage_);
    }
    if (!policies_.empty()) {
        std::string list;
        for (const std::string& oid : policies_)
            list += (list.empty() ? "" : ",") + oid;
        addConfExtension(x509.get(), &context, NID_certificate_policies, list);
    }
    if (keyIdentifiers_) {
        addConfExtension(x509.get(), &context, NID_subject_key_identifier, "hash");
        addConfExtension(x509.get(), &context, NID_authority_key_identifier, "keyid:always");
    }
    if (!otherNames_.empty() || !emails_.empty() || !dnsNames_.empty()) {
        ossl::GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
        check(names != nullptr, "subjectAltName");
        for (const OtherName& other : otherNames_) {
            ossl::Asn1ObjectPtr oid = objectOf(other.oid);
            ossl::Asn1StringPtr value = typedString(other.value, other.type);
            ASN1_TYPE* any = ASN1_TYPE_new();
            check(any != nullptr, "otherName value");
            ASN1_TYPE_set(any, asn1Type(other.type), value.release());
            GENERAL_NAME* name = GENERAL_NAME_new();
            if (name == nullptr || GENERAL_NAME_set0_othername(name, oid.get(), any) != 1) {
                ASN1_TYPE_free(any);
                GENERAL_NAME_free(name);
                fail("otherName");
            }
            oid.release();
            check(sk_GENERAL_NAME_push(names.get(), name) > 0, "otherName");
        }
        auto addText = [&names](int type, const std::string& text) {
            ossl::Asn1StringPtr value = typedString(text, StringType::Ia5);
            GENERAL_NAME* name = GENERAL_NAME_new();
            check(name != nullptr, "general name");
            GENERAL_NAME_set0_value(name, type, value.release());
            check(sk_GENERAL_NAME_push(names.get(), name) > 0, "general name");
        };
        for (const std::string& address : emails_)
            addText(GEN_EMAIL, address);
        for (const std::string& dns : dnsNames_)
            addText(GEN_DNS, dns);
        check(X509_add1_ext_i2d(x509.get(), NID_subject_alt_name, names.get(), 0,
                                X509V3_ADD_DEFAULT) == 1,
              "subjectAltName");
    }
    for (const RawExtension& raw : rawExtensions_) {
        const ossl::Asn1ObjectPtr oid = objectOf(raw.oid);
        ossl::Asn1OctetStringPtr value(ASN1_OCTET_STRING_new());
        check(value && ASN1_OCTET_STRING_set(value.get(), raw.value.data(),
                                             static_cast<int>(raw.value.size())) == 1,
              "raw extension value");
        ossl::X509ExtensionPtr extension(
            X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), raw.critical ? 1 : 0, value.get()));
        check(extension && X509_add_ext(x509.get(), extension.get(), -1) == 1, "raw extension");
    }

    const int signerType = EVP_PKEY_get_base_id(signer);
    const EVP_MD* md = (signerType == EVP_PKEY_ED25519 || signerType == EVP_PKEY_ED448)
                           ? nullptr
                           : EVP_get_digestbyname(digest_.c_str());
    check(X509_sign(x509.get(), signer, md) > 0, "signature");
    return TestCert{shareX509(x509.release()), subjectKey};
}

// ---- Bundles and archives -------------------------------------------------------------------

std::string pkcs7Der(const std::vector<X509*>& certificates) {
    ossl::Pkcs7Ptr p7(PKCS7_new());
    check(p7 && PKCS7_set_type(p7.get(), NID_pkcs7_signed) == 1 &&
              PKCS7_content_new(p7.get(), NID_pkcs7_data) == 1,
          "PKCS#7");
    for (X509* certificate : certificates) {
        check(PKCS7_add_certificate(p7.get(), certificate) == 1, "PKCS#7 certificate");
    }
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7(p7.get(), &der);
    check(size > 0, "PKCS#7 DER");
    ossl::OpenSslMemoryPtr owner(der);
    return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
}

std::string pkcs7Der(const std::vector<TestCert>& certificates) {
    std::vector<X509*> raw;
    for (const TestCert& certificate : certificates)
        raw.push_back(certificate.x509());
    return pkcs7Der(raw);
}

std::string pkcs7Pem(const std::vector<TestCert>& certificates) {
    const std::string der = pkcs7Der(certificates);
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    check(p7 && bio && PEM_write_bio_PKCS7(bio.get(), p7.get()) == 1, "PKCS#7 PEM");
    return bioText(bio.get());
}

std::string pkcs12(const TestCert& holder, const std::string& passPhrase,
                   const std::vector<TestCert>& extra, const std::string& friendlyName) {
    ossl::X509StackPtr chain(sk_X509_new_null());
    check(chain != nullptr, "PKCS#12 chain");
    for (const TestCert& certificate : extra) {
        ossl::X509Ptr reference = ossl::upRef(certificate.x509());
        check(reference && sk_X509_push(chain.get(), reference.get()) > 0, "PKCS#12 chain");
        reference.release();
    }
    ossl::Pkcs12Ptr p12(PKCS12_create(passPhrase.c_str(),
                                      friendlyName.empty() ? nullptr : friendlyName.c_str(),
                                      holder.key.get(), holder.x509(), chain.get(), 0, 0, 0, 0, 0));
    check(p12 != nullptr, "PKCS#12");
    unsigned char* der = nullptr;
    const int size = i2d_PKCS12(p12.get(), &der);
    check(size > 0, "PKCS#12 DER");
    ossl::OpenSslMemoryPtr owner(der);
    return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
}

std::vector<unsigned char> derOctetString(const std::string& value) {
    std::vector<unsigned char> der{0x04};
    const std::size_t length = value.size();
    if (length < 0x80) {
        der.push_back(static_cast<unsigned char>(length));
    } else {
        std::vector<unsigned char> lengthBytes;
        for (std::size_t rest = length; rest > 0; rest >>= 8) {
            lengthBytes.insert(lengthBytes.begin(), static_cast<unsigned char>(rest & 0xFF));
        }
        der.push_back(static_cast<unsigned char>(0x80 | lengthBytes.size()));
        der.insert(der.end(), lengthBytes.begin(), lengthBytes.end());
    }
    der.insert(der.end(), value.begin(), value.end());
    return der;
}

std::string opensslCommand(const std::string& args, const std::string& input) {
    char inputPath[] = "/tmp/quor-openssl-in-XXXXXX";
    const int fd = mkstemp(inputPath);
    if (fd < 0)
        throw std::runtime_error("test PKI: cannot create a temporary file");
    close(fd);
    struct Remove {
        const char* path;
        ~Remove() { std::remove(path); }
    } remove{inputPath};
    {
        std::ofstream out(inputPath, std::ios::binary);
        out << input;
    }
    const std::string command = "openssl " + args + " < " + inputPath + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("test PKI: cannot run " + command);
    std::string output;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("test PKI: command failed: " + command);
    }
    return output;
}

}  // namespace quor::test
