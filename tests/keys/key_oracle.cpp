#include "tests/keys/key_oracle.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace quor::test {

namespace {
std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}
}  // namespace

ByteVector bytesOf(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

bool opensslVerifies(const std::string& certificatePem, const ByteVector& data,
                     const ByteVector& signature, const std::string& hash) {
    TempDir dir;
    const std::string publicKey = opensslCommand("x509 -pubkey -noout", certificatePem);
    writeFile(dir.path() / "key.pem", publicKey);
    writeFile(dir.path() / "sig.bin", std::string(signature.begin(), signature.end()));
    try {
        const std::string out =
            opensslCommand("dgst -" + hash + " -verify " + quoted(dir.path() / "key.pem") +
                               " -signature " + quoted(dir.path() / "sig.bin"),
                           std::string(data.begin(), data.end()));
        return out.find("Verified OK") != std::string::npos;
    } catch (const std::runtime_error&) {
        return false;  // openssl exits non-zero on a bad signature
    }
}

ByteVector opensslEncrypt(const std::string& certificatePem, const ByteVector& data) {
    TempDir dir;
    writeFile(dir.path() / "cert.pem", certificatePem);
    return bytesOf(opensslCommand("pkeyutl -encrypt -certin -inkey " +
                                      quoted(dir.path() / "cert.pem") +
                                      " -pkeyopt rsa_padding_mode:pkcs1",
                                  std::string(data.begin(), data.end())));
}

ByteVector opensslRawSign(const std::string& privateKeyPem, const ByteVector& block) {
    TempDir dir;
    writeFile(dir.path() / "key.pem", privateKeyPem);
    return bytesOf(opensslCommand("pkeyutl -sign -inkey " + quoted(dir.path() / "key.pem") +
                                      " -pkeyopt rsa_padding_mode:pkcs1",
                                  std::string(block.begin(), block.end())));
}

ByteVector digestInfo(const std::string& hash, const ByteVector& digest) {
    // RFC 8017 section 9.2: DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
    X509_SIG* sig = X509_SIG_new();
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    X509_SIG_getm(sig, &algorithm, &value);
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(OBJ_txt2nid(hash.c_str())), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(value, digest.data(), static_cast<int>(digest.size()));
    unsigned char* der = nullptr;
    const int length = i2d_X509_SIG(sig, &der);
    X509_SIG_free(sig);
    if (length <= 0)
        throw std::runtime_error("cannot encode DigestInfo");
    ByteVector result(der, der + length);
    OPENSSL_free(der);
    return result;
}

}  // namespace quor::test
