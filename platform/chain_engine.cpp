// The chain engine: OpenSSL path building over the user's stores.
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/cert_info.h"
#include "platform/decoded_certificate.h"
#include "platform/openssl_ptr.h"
#include "platform/sqlite_database.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

// The chain_error bit for an OpenSSL verification error.
std::uint32_t chainErrorOf(int error) {
    switch (error) {
        case X509_V_OK:
            return chain_error::kNone;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return chain_error::kNotTimeValid;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return chain_error::kPartialChain;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_REJECTED:
            return chain_error::kUntrustedRoot;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_NO_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_SIGNATURE_ALGORITHM_MISMATCH:
            return chain_error::kNotSignatureValid;
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_INVALID_NON_CA:
        case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
            return chain_error::kInvalidBasicConstraints;
        case X509_V_ERR_INVALID_POLICY_EXTENSION:
        case X509_V_ERR_NO_EXPLICIT_POLICY:
            return chain_error::kInvalidPolicyConstraints;
        case X509_V_ERR_PERMITTED_VIOLATION:
        case X509_V_ERR_EXCLUDED_VIOLATION:
        case X509_V_ERR_SUBTREE_MINMAX:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
        case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
        case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
            return chain_error::kInvalidNameConstraints;
        default:
            return chain_error::kInvalidExtension;
    }
}

// The DER encoding OpenSSL holds for a decoded certificate (the bytes it was read from).
Bytes encoded(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    if (length <= 0)
        return {};
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// Records every problem and lets verification go on, so that one call reports all the
// problems of the chain rather than the first.
int recordAndContinue(int ok, X509_STORE_CTX* ctx) {
    if (!ok) {
        auto* status = static_cast<std::uint32_t*>(X509_STORE_CTX_get_app_data(ctx));
        if (status)
            *status |= chainErrorOf(X509_STORE_CTX_get_error(ctx));
    }
    return 1;
}

openssl::X509Ptr decode(const Bytes& der) {
    return decodeCertificate(der.data(), der.size());
}

// What an issuer lookup asks for: the hash of a certificate's issuer name and its authority key
// identifier (empty when it has none or it cannot be read; then any key identifier matches).
struct IssuerKey {
    std::optional<std::int64_t> nameHash;
    Bytes keyId;
    bool operator<(const IssuerKey& other) const {
        return std::tie(nameHash, keyId) < std::tie(other.nameHash, other.keyId);
    }
};

IssuerKey issuerKeyOf(X509* cert) {
    IssuerKey key;
    key.nameHash = detail::nameHash(X509_get_issuer_name(cert));
    if (const ASN1_OCTET_STRING* keyId = X509_get0_authority_key_id(cert)) {
        const unsigned char* data = ASN1_STRING_get0_data(keyId);
        key.keyId.assign(data, data + ASN1_STRING_length(keyId));
    }
    ERR_clear_error();
    return key;
}

// The certificates of "ROOT", "CA" and "MY" that path building could use for one target: every
// stored certificate whose subject may be the issuer of the target or of another one found,
// followed up the hierarchy through the store database's issuer index. A verifier only takes
// an issuer whose subject name equals the issuer name it looks for (and whose key identifier,
// when both sides carry one, matches), so the certificates left out could never be in the
// chain; those kept are given in the stores' own order, so the choice between two candidates is
// the same as over the whole stores.
class IssuerCandidates {
  public:
    explicit IssuerCandidates(detail::Database& db) : db_(db) {}

    // False with the last error set when the database cannot be read.
    bool collect(X509* target) {
        std::vector<IssuerKey> pending{issuerKeyOf(target)};
        std::set<IssuerKey> asked;
        while (!pending.empty()) {
            const IssuerKey key = std::move(pending.back());
            pending.pop_back();
            if (!asked.insert(key).second)
                continue;
            std::vector<X509*> found;
            if (!lookUp(key, &found))
                return false;
            for (X509* cert : found)
                pending.push_back(issuerKeyOf(cert));
        }
        return true;
    }

    // The candidates of one store, in the store's order (null: a stored certificate OpenSSL
    // cannot read, which cannot be anyone's issuer either).
    const std::map<std::int64_t, openssl::X509Ptr>& of(std::string_view store) const {
        static const std::map<std::int64_t, openssl::X509Ptr> none;
        const auto it = byStore_.find(store);
        return it == byStore_.end() ? none : it->second;
    }

  private:
    // Adds to the candidates the stored certificates that may be issuers for key; found gets
    // those not met before (decoded once, kept for path building).
    bool lookUp(const IssuerKey& key, std::vector<X509*>* found) {
        // Rows the index does not describe (NULL hash or key identifier) match every lookup.
        static constexpr const char* kByName =
            "SELECT store, id, der FROM certificates "
            "WHERE (subject_hash = ?1 OR subject_hash IS NULL) "
            "AND store IN ('ROOT', 'CA', 'MY') AND (?2 IS NULL OR key_id IS NULL OR key_id = ?2)";
        // An issuer name that cannot be hashed: every certificate of the stores may be its issuer.
        static constexpr const char* kAny =
            "SELECT store, id, der FROM certificates WHERE store IN ('ROOT', 'CA', 'MY') "
            "AND (?2 IS NULL OR key_id IS NULL OR key_id = ?2)";
        detail::Query query(db_, key.nameHash ? kByName : kAny);
        if (key.nameHash)
            query.bind(1, *key.nameHash);
        if (!key.keyId.empty())
            query.bind(2, key.keyId);
        int result;
        while ((result = query.step()) == SQLITE_ROW) {
            const std::string store = storeText(query);
            auto& rows = byStore_[store];
            const std::int64_t id = query.integer(1);
            if (rows.count(id))
                continue;
            const Bytes der = query.blob(2);
            openssl::X509Ptr cert = decodeAuthority(der.data(), der.size());
            if (cert)
                found->push_back(cert.get());
            rows.emplace(id, std::move(cert));
        }
        if (result != SQLITE_DONE) {
            setLastError(detail::errorCodeOf(result));
            return false;
        }
        return true;
    }

    static std::string storeText(const detail::Query& query) {
        const Bytes text = query.blob(0);
        return std::string(text.begin(), text.end());
    }

    detail::Database& db_;
    std::map<std::string, std::map<std::int64_t, openssl::X509Ptr>, std::less<>> byStore_;
};

}  // namespace

std::optional<CertChain> getCertificateChain(const CertContext& context) {
    openssl::X509Ptr target = decode(context.der());
    if (!target) {
        ERR_clear_error();
        setLastError(error::kBadEncoding);
        return std::nullopt;
    }
    openssl::X509StorePtr anchors(X509_STORE_new());
    openssl::X509StackPtr untrusted(sk_X509_new_null());
    openssl::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!anchors || !untrusted || !ctx) {
        setLastError(error::kNotEnoughMemory);
        return std::nullopt;
    }
    std::shared_ptr<detail::Database> db = detail::Database::openUserDatabase();
    if (!db)
        return std::nullopt;
    // A certificate of "ROOT" is trusted as it is, even one whose key OpenSSL cannot decode
    // (and so cannot recognise as self-signed): only its validity time is checked.
    bool targetIsAnchor = false;
    bool read = false;
    IssuerCandidates candidates(*db);
    {
        std::lock_guard lock(db->mutex());
        detail::Query anchor(*db, "SELECT 1 FROM certificates WHERE store = 'ROOT' AND sha1 = ?1");
        const Sha1Hash targetSha1 = sha1Of(encoded(target.get()));
        anchor.bind(1, targetSha1.data(), targetSha1.size());
        const int result = anchor.step();
        targetIsAnchor = result == SQLITE_ROW;
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            setLastError(detail::errorCodeOf(result));
        else
            read = targetIsAnchor || candidates.collect(target.get());
    }
    for (const auto& [id, cert] : candidates.of(kRootStore)) {
        // X509_STORE_add_cert takes its own reference.
        if (cert && X509_STORE_add_cert(anchors.get(), cert.get()) != 1 &&
            ERR_GET_REASON(ERR_peek_last_error()) != X509_R_CERT_ALREADY_IN_HASH_TABLE) {
            read = detail::fail(error::kNotEnoughMemory);
        }
    }
    for (std::string_view store : {kCaStore, kPersonalStore}) {
        for (const auto& [id, cert] : candidates.of(store)) {
            if (!cert)
                continue;
            // The stack takes a reference of its own, freed with it.
            if (X509_up_ref(cert.get()) != 1) {
                read = detail::fail(error::kNotEnoughMemory);
                break;
            }
            if (sk_X509_push(untrusted.get(), cert.get()) == 0) {
                X509_free(cert.get());
                read = detail::fail(error::kNotEnoughMemory);
                break;
            }
        }
    }
    ERR_clear_error();
    if (!read)
        return std::nullopt;

    std::uint32_t status = chain_error::kNone;
    if (targetIsAnchor) {
        CertChain chain;
        if (X509_cmp_current_time(X509_get0_notBefore(target.get())) >= 0 ||
            X509_cmp_current_time(X509_get0_notAfter(target.get())) <= 0) {
            chain.errorStatus = chain_error::kNotTimeValid;
        }
        chain.elements.push_back(context.der());
        ERR_clear_error();
        return chain;
    }
    if (X509_STORE_CTX_init(ctx.get(), anchors.get(), target.get(), untrusted.get()) != 1) {
        ERR_clear_error();
        setLastError(error::kChainEngine);
        return std::nullopt;
    }
    X509_STORE_CTX_set_app_data(ctx.get(), &status);
    X509_STORE_CTX_set_verify_cb(ctx.get(), recordAndContinue);
    // The result is in status: the callback accepts every error so that all are recorded.
    const int verified = X509_verify_cert(ctx.get());
    if (verified < 0 && status == chain_error::kNone) {
        ERR_clear_error();
        setLastError(error::kChainEngine);
        return std::nullopt;
    }
    if (verified != 1 && status == chain_error::kNone) {
        status |= chainErrorOf(X509_STORE_CTX_get_error(ctx.get()));
    }

    CertChain chain;
    chain.errorStatus = status;
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
    const int count = built ? sk_X509_num(built) : 0;
    for (int i = 0; i < count; ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(sk_X509_value(built, i), &der);
        if (length <= 0)
            continue;
        chain.elements.emplace_back(der, der + length);
        OPENSSL_free(der);
    }
    if (chain.elements.empty())
        chain.elements.push_back(context.der());
    ERR_clear_error();
    return chain;
}

}  // namespace quor::platform
