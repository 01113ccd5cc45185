#include "tests/support/tls_identity.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace quor::test {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free_all(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

void check(bool ok, const char* what) {
    if (!ok) {
        ERR_clear_error();
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

KeyPtr newKey() {
    // P-256: instant to generate, and above the default security level, which refuses RSA keys
    // shorter than 2048 bits on both ends of a TLS connection.
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(extension != nullptr, "extension");
    const int added = X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
    check(added == 1, "add extension");
}

CertPtr newCertificate(const std::string& commonName, EVP_PKEY* key, long serial,
                       std::chrono::seconds notBefore, std::chrono::seconds notAfter) {
    CertPtr cert(X509_new());
    check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(notBefore.count()));
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(notAfter.count()));
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    check(X509_set_pubkey(cert.get(), key) == 1, "set key");
    return cert;
}

void writePem(const std::filesystem::path& path, const std::vector<X509*>& certs, EVP_PKEY* key) {
    BioPtr bio(BIO_new_file(path.c_str(), "w"));
    check(bio != nullptr, "open output");
    for (X509* cert : certs)
        check(PEM_write_bio_X509(bio.get(), cert) == 1, "write certificate");
    if (key != nullptr) {
        check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
              "write key");
    }
}

}  // namespace

TlsIdentity makeServerIdentity(const std::filesystem::path& dir, const std::string& stem,
                               const ServerCertificateSpec& spec) {
    KeyPtr serverKey = newKey();
    CertPtr server =
        newCertificate(spec.commonName, serverKey.get(), 2, spec.notBefore, spec.notAfter);
    KeyPtr authorityKey;
    CertPtr authority;
    X509* issuer = server.get();
    EVP_PKEY* signingKey = serverKey.get();
    if (!spec.selfSigned) {
        authorityKey = newKey();
        authority = newCertificate("Quor Test Authority " + stem, authorityKey.get(), 1,
                                   -std::chrono::hours(48), std::chrono::hours(24 * 365));
        X509_set_issuer_name(authority.get(), X509_get_subject_name(authority.get()));
        addExtension(authority.get(), authority.get(), NID_basic_constraints, "critical,CA:TRUE");
        addExtension(authority.get(), authority.get(), NID_key_usage,
                     "critical,keyCertSign,cRLSign");
        check(X509_sign(authority.get(), authorityKey.get(), EVP_sha256()) > 0, "sign authority");
        issuer = authority.get();
        signingKey = authorityKey.get();
    }
    X509_set_issuer_name(server.get(), X509_get_subject_name(issuer));
    std::string names;
    for (const auto& dns : spec.dnsNames)
        names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    for (const auto& ip : spec.ipAddresses)
        names += (names.empty() ? "IP:" : ",IP:") + ip;
    if (!names.empty())
        addExtension(server.get(), issuer, NID_subject_alt_name, names);
    addExtension(server.get(), issuer, NID_basic_constraints, "CA:FALSE");
    addExtension(server.get(), issuer, NID_ext_key_usage, "serverAuth");
    check(X509_sign(server.get(), signingKey, EVP_sha256()) > 0, "sign server");

    TlsIdentity identity{dir / (stem + ".crt"), dir / (stem + ".key")};
    std::vector<X509*> chain{server.get()};
    if (authority)
        chain.push_back(authority.get());
    writePem(identity.certificateFile, chain, nullptr);
    writePem(identity.keyFile, {}, serverKey.get());
    return identity;
}

std::filesystem::path writeAuthorityFile(const TlsIdentity& identity,
                                         const std::filesystem::path& file) {
    std::ifstream in(identity.certificateFile, std::ios::binary);
    const std::string chain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The identity's file holds the server certificate, then its authority.
    const std::size_t second = chain.find("-----BEGIN CERTIFICATE-----", 1);
    if (second == std::string::npos)
        throw std::runtime_error("test TLS identity: no issuing authority in " +
                                 identity.certificateFile.string());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << chain.substr(second);
    if (!out.flush())
        throw std::runtime_error("test TLS identity: cannot write " + file.string());
    return file;
}

}  // namespace quor::test
