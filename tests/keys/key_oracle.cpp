#include "tests/keys/key_oracle.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
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

RequestVerdict verifyRequest(const std::string& requestPem) {
    RequestVerdict verdict;
    BIO* bio = BIO_new_mem_buf(requestPem.data(), static_cast<int>(requestPem.size()));
    X509_REQ* request = PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (request != nullptr) {
        EVP_PKEY* key = X509_REQ_get0_pubkey(request);
        verdict.library = key != nullptr && X509_REQ_verify(request, key) == 1;
        X509_REQ_free(request);
    }
    ERR_clear_error();

    TempDir dir;
    writeFile(dir.path() / "req.pem", requestPem);
    const std::string command =
        "openssl req -verify -noout -in " + quoted(dir.path() / "req.pem") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run " + command);
    char buffer[4096];
    std::size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        verdict.commandText.append(buffer, count);
    pclose(pipe);
    verdict.command = verdict.commandText.find("verify OK") != std::string::npos &&
                      verdict.commandText.find("verify failure") == std::string::npos;
    return verdict;
}

std::string withCorruptedSignature(const std::string& requestPem) {
    BIO* in = BIO_new_mem_buf(requestPem.data(), static_cast<int>(requestPem.size()));
    X509_REQ* request = PEM_read_bio_X509_REQ(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (request == nullptr)
        throw std::runtime_error("not a PEM request");
    const ASN1_BIT_STRING* signature = nullptr;
    X509_REQ_get0_signature(request, &signature, nullptr);
    // The structure's own bytes: flipping one changes what is written out below.
    unsigned char* data = ASN1_STRING_get0_data(signature) == nullptr
                              ? nullptr
                              : const_cast<unsigned char*>(ASN1_STRING_get0_data(signature));
    if (data == nullptr || ASN1_STRING_length(signature) < 1) {
        X509_REQ_free(request);
        throw std::runtime_error("request without signature");
    }
    data[ASN1_STRING_length(signature) / 2] ^= 0x01;
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(out, request);
    char* text = nullptr;
    const long length = BIO_get_mem_data(out, &text);
    std::string pem(text, static_cast<std::size_t>(length));
    BIO_free(out);
    X509_REQ_free(request);
    return pem;
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
