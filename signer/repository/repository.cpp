#include "signer/repository/repository.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <exception>
#include <set>
#include <sstream>
#include <vector>

#include "signer/model/digest.h"
#include "signer/repository/errors.h"

namespace quor::signer {

namespace {
constexpr int kEndEntityBits = 0x0F;

// True when candidate's key verifies certificate's signature. RSA keys go through the modulus and
// exponent as the library's key type carries them; an authority with another kind of key (the
// elliptic-curve and EdDSA roots of ICP-Brasil) is checked with its own key as OpenSSL decodes
// it, so such a root is still found instead of ending the search with a key error.
bool isSignedBy(const Certificate& certificate, const Certificate& candidate) {
    RsaPublicKey key;
    try {
        key = candidate.getPublicKey();
    } catch (const BaseException&) {
        EVP_PKEY* candidateKey = X509_get0_pubkey(candidate.nativeHandle());
        const bool verified =
            candidateKey != nullptr && X509_verify(certificate.nativeHandle(), candidateKey) == 1;
        ERR_clear_error();
        return verified;
    }
    return certificate.verifySignature(key);
}
}  // namespace

bool matchesKinds(const Certificate& certificate, int kinds) {
    if ((kinds & AnyKind) == AnyKind)
        return true;
    const bool authority = certificate.isCertificateAuthority();
    if ((kinds & kEndEntityBits) != 0 && !authority)
        return true;
    if ((kinds & (IssuingCa | IntermediateCa)) != 0 && authority && !certificate.isSelfSigned()) {
        const bool subordinates = certificate.allowsSubordinateAuthorities();
        if ((kinds & IssuingCa) != 0 && !subordinates)
            return true;
        if ((kinds & IntermediateCa) != 0 && subordinates)
            return true;
    }
    if ((kinds & RootCa) != 0 && certificate.isRoot())
        return true;
    return false;
}

Repository::Repository() {
    ensureCryptoErrorStrings();
}

Repository::~Repository() = default;

void Repository::login(const std::wstring& /*passPhrase*/) {}

void Repository::logout() {}

void Repository::forEachCertificate(int kinds, SimpleVisitor visitor) {
    visitCertificates(kinds, [&visitor](const Certificate& certificate) {
        visitor(certificate);
        return Continue;
    });
}

Certificate Repository::findFirst(Predicate predicate) {
    std::vector<Certificate> found;
    visitCertificates(AnyKind, [&](const Certificate& certificate) {
        if (!predicate(certificate))
            return Continue;
        found.push_back(certificate);
        return Stop;
    });
    if (found.empty())
        throw CertificateNotFoundException();
    return found.front();
}

Certificate Repository::findCertificate(const std::string& fingerprint) {
    try {
        return findFirst([&fingerprint](const Certificate& candidate) {
            return candidate.getFingerprint() == fingerprint;
        });
    } catch (const CertificateNotFoundException&) {
        throw CertificateNotFoundException("Fingerprint: " + fingerprint);
    }
}

Certificate Repository::findByIssuerAndSerial(const DistinguishedName& issuer,
                                              const std::string& serialNumber) {
    try {
        return findFirst([&](const Certificate& candidate) {
            // Serial numbers are cheap to compare and rarely equal; names only when they are.
            return candidate.getSerialNumber() == serialNumber && candidate.getIssuer() == issuer;
        });
    } catch (const CertificateNotFoundException&) {
        std::ostringstream detail;
        detail << "Issuer: " << issuer << ", Serial Number: " << serialNumber;
        throw CertificateNotFoundException(detail.str());
    }
}

Certificate Repository::findIssuer(const Certificate& certificate) {
    if (certificate.isRoot())
        throw CertificateNotFoundException("This Certificate is self-signed");
    const DistinguishedName issuerName = certificate.getIssuer();
    std::vector<Certificate> found;
    visitCertificates(AnyCa, [&](const Certificate& candidate) {
        if (!(candidate.getSubject() == issuerName))
            return Continue;
        // A candidate with the right name but another key (a re-keyed authority, or an
        // impostor) is not the issuer.
        if (!isSignedBy(certificate, candidate))
            return Continue;
        found.push_back(candidate);
        return Stop;
    });
    if (found.empty())
        throw CertificateNotFoundException("Issuer not found");
    return found.front();
}

CertificateChain Repository::buildChain(const Certificate& certificate) {
    std::vector<Certificate> chain{certificate};
    std::set<std::string> seen{certificate.getFingerprint()};
    auto result = [&chain](ChainStatus status) {
        return CertificateChain(chain.data(), chain.data() + chain.size(), status);
    };
    try {
        while (!chain.back().isRoot()) {
            Certificate issuer = findIssuer(chain.back());
            // Authorities that certify each other without a root would make the walk endless;
            // an issuer met before means the chain cannot close.
            if (!seen.insert(issuer.getFingerprint()).second) {
                return result(ChainStatus::IncompleteChain);
            }
            chain.push_back(std::move(issuer));
        }
    } catch (const CertificateNotFoundException&) {
        return result(ChainStatus::IncompleteChain);
    }
    return result(ChainStatus::Valid);
}

Repository::Bytes Repository::sign(const Bytes& data, const Certificate& signer,
                                   const char* hashName) {
    try {
        PrivateKeyHandle key = privateKeyOf(signer);
        return signWithKey(data, key, hashName);
    } catch (const SignatureException&) {
        throw;
    } catch (const std::exception& error) {
        throw SignatureException(error.what());
    }
}

Repository::Bytes Repository::signDigest(const Bytes& digest, const Certificate& signer,
                                         const char* hashName) {
    try {
        PrivateKeyHandle key = privateKeyOf(signer);
        return signDigestWithKey(hashName, digest, key);
    } catch (const SignatureException&) {
        throw;
    } catch (const std::exception& error) {
        throw SignatureException(error.what());
    }
}

Repository::Bytes Repository::decrypt(const Bytes& data, const Certificate& recipient) {
    try {
        PrivateKeyHandle key = privateKeyOf(recipient);
        return decryptWithKey(data, key);
    } catch (const DecryptionException&) {
        throw;
    } catch (const std::exception& error) {
        throw DecryptionException(error.what());
    }
}

Repository::Bytes Repository::signWithKey(const Bytes& data, PrivateKeyHandle key,
                                          const char* hashName) {
    const Bytes digest = computeDigest(data.data(), static_cast<int>(data.size()), hashName);
    return signDigestWithKey(hashName, digest, std::move(key));
}

}  // namespace quor::signer
