// ArchiveRepository: the Repository over one PKCS#12 archive held in memory.
//
// An archive holds a private key, the certificate that belongs to it and a list of further
// certificates (normally the authorities of its chain). It can generate an RSA key pair, accept
// the certificate issued for that key, sign and decrypt with the key, and write everything out
// as a DER PKCS#12 under a pass phrase. The system repository keeps one while a certificate
// request waits for its certificate.
//
// ArchiveRepository is a small handle: copies and clones share one implementation object (and
// with it the key). Use it from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "signer/repository/repository.h"

namespace quor::signer {

// Where an archive stands. The values are fixed.
enum class ArchiveState : std::int32_t {
    Locked = 0,       // PKCS#12 content present, login not yet done
    Open = 1,         // key, own certificate and certificate list available
    Empty = 2,        // new archive, nothing in it
    KeyPairOnly = 3,  // key pair generated, its certificate not yet present
    Completed = 4,    // key pair and its certificate present
};

class ArchiveRepository : public Repository {
  public:
    class ArchiveRepositoryImpl;

    // A new, empty archive. label is kept with it and not used by any operation.
    explicit ArchiveRepository(const std::wstring& label = std::wstring());
    // Loads a DER PKCS#12 archive; it stays Locked until login with its pass phrase.
    // Throws RepositoryAccessException when the bytes are not a PKCS#12 structure.
    ArchiveRepository(const std::vector<unsigned char>& pkcs12Der, const std::wstring& label);
    ~ArchiveRepository() override;

    ArchiveRepository(const ArchiveRepository&) = default;
    ArchiveRepository& operator=(const ArchiveRepository&) = default;

    Repository* clone() const override;

    // Opens a Locked archive with its pass phrase (Open afterwards); does nothing in any other
    // state. Throws RepositoryAccessException on a wrong pass phrase or a damaged archive.
    void login(const std::wstring& passPhrase) override;

    // The certificate issued for the archive's key becomes its own certificate (Completed);
    // another end-entity certificate is refused (false); an authority certificate is appended
    // to the list (true). Throws CertificateAdditionException, in particular "Cannot extract
    // public key. It lacks a public key." when the archive has no key yet.
    bool addCertificate(const Certificate& certificate) override;

    // Visits the own certificate once when kinds has Personal (ignoring its answer), then the
    // listed certificates the kinds accept, until the visitor answers Stop. Every failure,
    // including the visitor's, becomes CertificateSearchingException.
    void visitCertificates(int kinds, Visitor visitor) override;

    // An archive holding a key pair made earlier (DER private key, PKCS#8 or the bare RSA form)
    // and its alias, waiting for its certificate (KeyPairOnly). Throws RepositoryAccessException
    // when the bytes are not an RSA private key.
    static ArchiveRepository withKeyPair(const std::vector<unsigned char>& privateKeyDer,
                                         const std::wstring& alias);

    // The archive's private key as DER PKCS#8, so that a key pair can outlive the archive (the
    // system repository keeps a request's key until its certificate comes). Throws
    // SerializationException when Locked or Empty.
    std::vector<unsigned char> privateKeyDer() const;

    // Drops whatever the archive held and generates a new RSA key (exponent 65537) of keySizeBits
    // under the alias (KeyPairOnly). Throws KeyPairGenerationException; the archive is then
    // Empty, since what it held is gone.
    KeyPair generateKeyPair(const std::wstring& alias, int keySizeBits) override;

    // The key, when certificate is the archive's own certificate. Throws SignatureException.
    PrivateKeyHandle privateKeyOf(const Certificate& certificate) override;

    // PKCS#1 v1.5 signature of the digest, with the DigestInfo of the named hash; an empty name
    // signs the bytes as given (a prepared DigestInfo). Throws SignatureException.
    Bytes signDigestWithKey(const char* hashName, const Bytes& digest,
                            PrivateKeyHandle key) override;
    // PKCS#1 v1.5 decryption. Throws DecryptionException.
    Bytes decryptWithKey(const Bytes& data, PrivateKeyHandle key) override;

    // The archive's RSA public key. Throws BaseException "Cannot extract public key. It lacks a
    // public key." when Locked or Empty, and the key conversion's BaseExceptions.
    RsaPublicKey publicKey() const;

    // Writes the archive as DER PKCS#12 under the pass phrase, the alias as friendly name of the
    // key and own certificate (Open afterwards). Throws SerializationException.
    void save(const std::wstring& passPhrase, std::ostream& out);

    ArchiveState state() const;
    const std::wstring& alias() const;
    const std::wstring& label() const;

  private:
    std::shared_ptr<ArchiveRepositoryImpl> impl_;
};

}  // namespace quor::signer
