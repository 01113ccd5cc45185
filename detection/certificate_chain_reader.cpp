// Reading and ordering of PKCS#7 certificate bundles (".p7b" chain files).
#include "detection/certificate_chain_reader.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <list>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/openssl_ptr.h"
#include "signer/model/stream_adapter.h"

namespace quor::detection {

using signer::ChainStatus;

namespace {

// Error strings, ciphers and digests; OpenSSL makes this set-up once per process, thread-safely.
void ensureReaderInitialised() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
}

// Gives every distinct X.509 name of a bundle a number, so that the ordering compares numbers
// instead of running OpenSSL's name comparison against every other certificate. Names are
// bucketed by OpenSSL's hash of their canonical encoding, and X509_NAME_cmp decides within a
// bucket, so two names share a number exactly when X509_NAME_cmp calls them equal.
class NameClasses {
  public:
    // The number of name, a new one when no earlier name equals it.
    int add(const X509_NAME* name) {
        auto& bucket = buckets_[hashOf(name)];
        for (const auto& [known, number] : bucket) {
            if (X509_NAME_cmp(known, name) == 0)
                return number;
        }
        bucket.emplace_back(name, count_);
        return count_++;
    }

    // The number of a name added earlier that equals name, or -1.
    int find(const X509_NAME* name) const {
        auto found = buckets_.find(hashOf(name));
        if (found == buckets_.end())
            return -1;
        for (const auto& [known, number] : found->second) {
            if (X509_NAME_cmp(known, name) == 0)
                return number;
        }
        return -1;
    }

    int count() const { return count_; }

  private:
    static unsigned long hashOf(const X509_NAME* name) {
        int ok = 0;
        unsigned long hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
        // Names whose hash cannot be computed all land in bucket 0 and are told apart there.
        return ok == 1 ? hash : 0;
    }

    std::unordered_map<unsigned long, std::vector<std::pair<const X509_NAME*, int>>> buckets_;
    int count_ = 0;
};

// The DER encoding of a certificate as a string key; empty when it cannot be encoded.
std::string derKey(X509* certificate) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    if (length <= 0 || der == nullptr)
        return {};
    openssl::OpenSslMemoryPtr owner(der);
    return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

// Orders certificates that are all different from each other. Returns indexes into them.
//
// The walk: starting from the first certificate, each position is followed by the first later
// certificate whose subject is its issuer, found by exchanging it forward. When no issuer follows,
// the run of positions walked so far is a segment. The first segment waits (its end is marked);
// when a second segment ends, it is moved in front of the first one, because it may lead up to the
// first segment's lowest certificate (if its top is not issued by that certificate the chain is
// incomplete), and the walk resumes from the top of the first segment. After the walk, a pending
// segment is moved to the front in the same way.
//
// Positions already walked live in a linked list, so moving a segment to the front is a splice;
// positions not yet walked stay in an array with, per subject name, an ordered set of the
// positions holding that name, so "the first later certificate with this subject" is one set
// look-up instead of a scan.
std::list<int> orderDistinct(const std::vector<X509*>& certificates, ChainStatus& status) {
    const int n = static_cast<int>(certificates.size());
    std::list<int> walked;
    if (n == 0)
        return walked;
    if (n == 1) {
        walked.push_back(0);
        return walked;
    }

    NameClasses names;
    std::vector<int> subject(n);
    std::vector<int> issuer(n);
    for (int c = 0; c < n; ++c)
        subject[c] = names.add(X509_get_subject_name(certificates[c]));
    // -1: no certificate of the bundle has this issuer as its subject.
    for (int c = 0; c < n; ++c)
        issuer[c] = names.find(X509_get_issuer_name(certificates[c]));

    std::vector<int> at(n);  // at[position] = certificate
    std::vector<std::set<int>> positionsOf(static_cast<std::size_t>(names.count()));
    for (int p = 0; p < n; ++p) {
        at[p] = p;
        positionsOf[subject[p]].insert(p);
    }

    // Ends a segment whose top is the last walked certificate: checks that it leads to the first
    // certificate and moves it in front of the positions up to the mark.
    auto closeSegment = [&](std::list<int>::iterator mark) {
        if (issuer[walked.back()] != subject[walked.front()])
            status = ChainStatus::IncompleteChain;
        walked.splice(walked.begin(), walked, std::next(mark), walked.end());
    };

    walked.push_back(at[0]);
    int i = 0;  // position of walked.back()
    std::optional<std::list<int>::iterator> mark;
    while (i < n - 1) {
        const int wanted = issuer[walked.back()];
        int found = -1;
        if (wanted >= 0) {
            const auto& candidates = positionsOf[wanted];
            auto next = candidates.lower_bound(i + 1);
            if (next != candidates.end())
                found = *next;
        }
        if (found >= 0) {
            if (found != i + 1) {
                const int moving = at[found];
                const int displaced = at[i + 1];
                positionsOf[subject[moving]].erase(found);
                positionsOf[subject[moving]].insert(i + 1);
                positionsOf[subject[displaced]].erase(i + 1);
                positionsOf[subject[displaced]].insert(found);
                std::swap(at[i + 1], at[found]);
            }
        } else if (!mark) {
            mark = std::prev(walked.end());
        } else {
            closeSegment(*mark);
            mark.reset();
            // The top of the first segment now ends the list; look for its issuer again.
            continue;
        }
        ++i;
        walked.push_back(at[i]);
    }
    if (mark)
        closeSegment(*mark);
    return walked;
}

// Certificates held by a PKCS#7 structure, borrowed from it.
struct DecodedBundle {
    openssl::Pkcs7Ptr pkcs7;
    std::vector<X509*> certificates;
    BundleProblem problem = BundleProblem::NotPkcs7;
};

DecodedBundle decodeBundle(std::istream& in) {
    ensureReaderInitialised();
    DecodedBundle bundle;
    // A failed decode leaves OpenSSL errors in this thread's queue, where they would be taken for
    // the cause of the next, unrelated OpenSSL failure; the outcome here says all there is.
    ERR_set_mark();
    openssl::BioPtr bio = signer::newInputStreamBio(in);
    if (bio)
        bundle.pkcs7.reset(d2i_PKCS7_bio(bio.get(), nullptr));
    ERR_pop_to_mark();
    if (!bundle.pkcs7)
        return bundle;

    // Only signed data (RFC 2315 section 9) and signed-and-enveloped data (section 11) carry a
    // certificate set.
    PKCS7* pkcs7 = bundle.pkcs7.get();
    STACK_OF(X509)* set = nullptr;
    switch (OBJ_obj2nid(pkcs7->type)) {
        case NID_pkcs7_signed:
            if (pkcs7->d.sign != nullptr)
                set = pkcs7->d.sign->cert;
            break;
        case NID_pkcs7_signedAndEnveloped:
            if (pkcs7->d.signed_and_enveloped != nullptr) {
                set = pkcs7->d.signed_and_enveloped->cert;
            }
            break;
        default:
            break;
    }
    const int count = set != nullptr ? sk_X509_num(set) : 0;
    for (int k = 0; k < count; ++k) {
        if (X509* certificate = sk_X509_value(set, k))
            bundle.certificates.push_back(certificate);
    }
    bundle.problem =
        bundle.certificates.empty() ? BundleProblem::NoCertificates : BundleProblem::None;
    return bundle;
}

}  // namespace

ChainStatus orderCertificates(std::vector<X509*>& certificates) {
    if (certificates.empty())
        return ChainStatus::Unverified;
    if (std::find(certificates.begin(), certificates.end(), nullptr) != certificates.end()) {
        throw std::invalid_argument("orderCertificates: null certificate");
    }

    // Exact copies are set aside and put back right after their first occurrence: ordered by
    // name alone, a copy would look like a second chain and break the first one apart.
    std::vector<X509*> distinct;
    std::vector<std::vector<X509*>> copies;
    std::unordered_map<std::string, std::size_t> seen;
    for (X509* certificate : certificates) {
        std::string key = derKey(certificate);
        if (!key.empty()) {
            auto [entry, added] = seen.emplace(std::move(key), distinct.size());
            if (!added) {
                copies[entry->second].push_back(certificate);
                continue;
            }
        }
        distinct.push_back(certificate);
        copies.emplace_back();
    }

    ChainStatus status = ChainStatus::Valid;
    std::vector<X509*> ordered;
    ordered.reserve(certificates.size());
    for (int index : orderDistinct(distinct, status)) {
        ordered.push_back(distinct[index]);
        ordered.insert(ordered.end(), copies[index].begin(), copies[index].end());
    }

    // RFC 5280 section 4.1.2.5: a certificate is valid through its notAfter time. X509_cmp_time
    // answers 0 when it cannot compare, which does not count as expired.
    for (X509* certificate : ordered) {
        if (X509_cmp_time(X509_get0_notAfter(certificate), nullptr) < 0) {
            status = ChainStatus::Expired;
        }
    }
    certificates = std::move(ordered);
    return status;
}

signer::CertificateChain readCertificateBundle(std::istream& in) {
    DecodedBundle bundle = decodeBundle(in);
    switch (bundle.problem) {
        case BundleProblem::NotPkcs7:
            throw BundleReadError(bundle.problem,
                                  "The data is not a DER PKCS#7 certificate bundle");
        case BundleProblem::NoCertificates:
            throw BundleReadError(bundle.problem, "The PKCS#7 bundle holds no certificates");
        case BundleProblem::None:
            break;
    }
    const ChainStatus status = orderCertificates(bundle.certificates);
    std::vector<signer::Certificate> copies;
    copies.reserve(bundle.certificates.size());
    for (X509* certificate : bundle.certificates)
        copies.emplace_back(certificate);
    return signer::CertificateChain(copies.data(), copies.data() + copies.size(), status);
}

}  // namespace quor::detection

namespace quor::signer {

// Unreadable data and bundles without certificates both leave the chain empty and Unverified;
// a bundle without certificates never passes for a valid (empty) chain.
CertificateChain::CertificateChain(std::istream& in) : status(ChainStatus::Unverified) {
    detection::DecodedBundle bundle = detection::decodeBundle(in);
    if (bundle.certificates.empty())
        return;
    orderChain(bundle.certificates);
    for (X509* certificate : bundle.certificates)
        certificates.emplace_back(certificate);
}

void CertificateChain::orderChain(std::vector<X509*>& chain) {
    status = detection::orderCertificates(chain);
}

}  // namespace quor::signer
