#include "platform/cert_info.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include "platform/decoded_certificate.h"
#include "platform/openssl_ptr.h"

namespace quor::platform::detail {

namespace {

std::optional<std::time_t> toTime(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return std::nullopt;
    return ::timegm(&tm);
}

std::string entryText(const X509_NAME_ENTRY* entry) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

// The name a user recognises: the common name when there is one, else the most specific entry.
std::string displayName(const X509_NAME* name) {
    if (name == nullptr || X509_NAME_entry_count(name) == 0)
        return {};
    const int cn = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    const int index = cn >= 0 ? cn : X509_NAME_entry_count(name) - 1;
    return entryText(X509_NAME_get_entry(name, index));
}

}  // namespace

std::optional<std::int64_t> nameHash(const X509_NAME* name) {
    int ok = 0;
    // The hash of the canonical encoding: names that OpenSSL takes for equal (case and spacing
    // aside) hash alike, so the index never hides an issuer that verification would accept.
    const unsigned long hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    ERR_clear_error();
    if (!ok)
        return std::nullopt;
    return static_cast<std::int64_t>(hash);
}

std::string displayNameOf(const Bytes& nameDer) {
    const unsigned char* cursor = nameDer.data();
    openssl::X509NamePtr name(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(nameDer.size())));
    ERR_clear_error();
    return name && cursor == nameDer.data() + nameDer.size() ? displayName(name.get())
                                                              : std::string();
}

std::optional<CertInfo> readCertInfo(const Bytes& der) {
    if (der.empty())
        return std::nullopt;
    std::size_t consumed = 0;
    openssl::X509Ptr cert = decodeCertificate(der.data(), der.size(), &consumed);
    if (!cert || consumed != der.size())
        return std::nullopt;

    CertInfo info;
    Bytes identity;
    auto append = [&identity](const unsigned char* data, int length) {
        // Each part is length-prefixed so that no two different splits hash alike.
        for (int shift = 24; shift >= 0; shift -= 8) {
            identity.push_back(static_cast<unsigned char>((length >> shift) & 0xFF));
        }
        identity.insert(identity.end(), data, data + length);
    };
    // encode: an i2d call writing into *out; the part is appended when it succeeds.
    auto appendEncoded = [&append](auto encode) {
        unsigned char* encoded = nullptr;
        const int length = encode(&encoded);
        if (length <= 0 || encoded == nullptr)
            return false;
        append(encoded, length);
        OPENSSL_free(encoded);
        return true;
    };
    X509* x = cert.get();
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    if (serial == nullptr || !appendEncoded([x](unsigned char** out) {
            return i2d_X509_NAME(X509_get_issuer_name(x), out);
        }) ||
        !appendEncoded([serial](unsigned char** out) { return i2d_ASN1_INTEGER(serial, out); }) ||
        !appendEncoded(
            [x](unsigned char** out) { return i2d_X509_NAME(X509_get_subject_name(x), out); }) ||
        !appendEncoded(
            [x](unsigned char** out) { return i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x), out); })) {
        return std::nullopt;
    }
    const Sha1Hash hash = sha1Of(identity);
    info.identity.assign(hash.begin(), hash.end());

    const auto notBefore = toTime(X509_get0_notBefore(cert.get()));
    const auto notAfter = toTime(X509_get0_notAfter(cert.get()));
    if (!notBefore || !notAfter)
        return std::nullopt;
    info.notBefore = *notBefore;
    info.notAfter = *notAfter;
    info.subjectDisplayName = displayName(X509_get_subject_name(cert.get()));
    info.issuerDisplayName = displayName(X509_get_issuer_name(cert.get()));
    info.subjectHash = nameHash(X509_get_subject_name(cert.get()));
    if (const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(cert.get())) {
        const unsigned char* data = ASN1_STRING_get0_data(keyId);
        info.subjectKeyId.assign(data, data + ASN1_STRING_length(keyId));
    }
    ERR_clear_error();
    return info;
}

RootAddRequest makeRootAddRequest(const Bytes& der, const CertInfo& info) {
    RootAddRequest request;
    request.der = der;
    request.subjectDisplayName = info.subjectDisplayName;
    request.issuerDisplayName = info.issuerDisplayName;
    request.notBefore = info.notBefore;
    request.notAfter = info.notAfter;
    request.sha1 = sha1Of(der);
    SHA256(der.data(), der.size(), request.sha256.data());
    return request;
}

}  // namespace quor::platform::detail
