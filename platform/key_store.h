// Private-key services of the platform layer.
//
// Keys live in the same per-user SQLite database as the certificate stores (table keys, one row
// per key container; the same key imported again keeps its one row). A certificate is tied to
// its key through the certificate's CertProperty::KeyLink property, whose bytes are the key's
// container name; the property travels with the certificate when it is added from one store to
// another (cert_store.h), which is how a certificate imported from a PKCS#12 file and then added
// to "MY" keeps its key. A key goes with the last certificate that links to it.
//
// Two providers hold keys, with the two working styles callers expect:
//  - the key-storage provider: a key handle that signs a prepared digest with PKCS#1 v1.5
//    padding (naming the hash, or with no hash for a raw block) and decrypts PKCS#1 v1.5 data;
//    every call can first be asked for the output size;
//  - the legacy provider: a provider handle with a key-spec value; data are hashed inside
//    the provider (SHA-1/256/384/512 by algorithm identifier) and the hash is signed, the
//    signature coming back least significant byte first.
// A key belongs to exactly one provider, chosen when it is imported.
//
// Protection at rest: the key is kept as an unencrypted PKCS#8 PrivateKeyInfo in the store
// database, which only the user can read (folder 0700, file 0600) - the protection the user's
// NSS database and pass-phrase-less ssh keys have. Nothing in the programs that use these keys
// can ask for a pass phrase (the installer has no such dialog, and keys are used without one),
// and a key encrypted with a secret kept beside it would add no protection.
//
// Handles are small non-zero numbers, not pointers: a handle that was already freed, or one of
// the wrong kind, is refused with kInvalidHandle instead of touching freed memory. Handles may be
// used from any thread; one handle must not be used by two threads at once.
//
// Error convention (as in cert_store.h): a failing call returns false (or a non-zero status) and
// leaves a non-zero code on the calling thread (platform/last_error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/cert_store.h"
#include "platform/last_error.h"

namespace quor::platform {

using KeyStorageHandle = std::uintptr_t;      // 0: none
using LegacyProviderHandle = std::uintptr_t;  // 0: none
using LegacyHashHandle = std::uintptr_t;      // 0: none

// Key specifications reported by acquirePrivateKey.
namespace key_spec {
inline constexpr std::uint32_t kKeyExchange = 1;  // legacy key usable for signing and exchange
inline constexpr std::uint32_t kSignature = 2;    // legacy signature-only key
inline constexpr std::uint32_t kKeyStorage = 0xFFFFFFFF;  // a key of the key-storage provider
}  // namespace key_spec

// Flags of acquirePrivateKey.
inline constexpr std::uint32_t kAcquireOnlyKeyStorage = 0x40000;

// Flags of importPkcs12.
inline constexpr std::uint32_t kImportExportable = 0x1;
// Puts the key into the legacy provider instead of the key-storage provider.
inline constexpr std::uint32_t kImportLegacyProvider = 0x1000;

// Padding flag of the key-storage provider calls (PKCS#1 v1.5, the only padding offered).
inline constexpr std::uint32_t kPadPkcs1 = 0x2;

// Hash algorithm identifiers of the legacy provider.
namespace legacy_hash {
inline constexpr std::uint32_t kSha1 = 0x8004;
inline constexpr std::uint32_t kSha256 = 0x800C;
inline constexpr std::uint32_t kSha384 = 0x800D;
inline constexpr std::uint32_t kSha512 = 0x800E;
}  // namespace legacy_hash

// ---------------------------------------------------------------------------------------------
// Import and acquisition.

// importPkcs12: opens a DER PKCS#12 file with the pass phrase (bytes as given, the way OpenSSL
// takes them), stores its private key in the user's key storage under a new container and
// returns a memory store holding the file's certificates. The certificate that belongs to the
// key carries the KeyLink property; add it to "MY" (CertStore::addContext) to keep it linked.
// flags: kImportExportable marks the key exportable; kImportLegacyProvider chooses the legacy
// provider. Failures (null): kInvalidPassword (wrong pass phrase), kBadEncoding (not a PKCS#12
// file, or its contents cannot be read), kBadKey (a key that is not RSA), kInvalidParameter
// (unknown flags), and the database codes of openSystemStore.
CertStorePtr importPkcs12(const Bytes& pkcs12Der, const std::string& passPhrase,
                          std::uint32_t flags);

// acquirePrivateKey: the private key of a stored certificate (one whose KeyLink leads to a key).
// With kAcquireOnlyKeyStorage only a key of the key-storage provider is given: *keyStorage gets
// a new key handle, *keySpec key_spec::kKeyStorage and *callerMustFree true (free it with
// freeKeyStorageKey). With flags 0 only a legacy key is given: *legacyProvider gets a new
// provider handle (release it with legacyReleaseContext) and *keySpec its key-spec value.
// Output pointers the caller does not need may be null (keyStorage with kAcquireOnlyKeyStorage,
// legacyProvider without it, are required). Failures (false): kNoKey (the certificate has no
// key, or its key was deleted), kNotSupported (the key is in the other provider),
// kInvalidParameter, database codes.
bool acquirePrivateKey(const CertContext& context, std::uint32_t flags,
                       KeyStorageHandle* keyStorage, LegacyProviderHandle* legacyProvider,
                       std::uint32_t* keySpec, bool* callerMustFree);

// ---------------------------------------------------------------------------------------------
// Key-storage provider. The calls return 0 on success or the error code (also left as the
// thread's last error).

// keyStorageSignHash: PKCS#1 v1.5 signature of a digest. hashAlgorithm names the digest
// ("SHA1", "SHA256", "SHA384", "SHA512", exact) whose DigestInfo is signed; null or empty signs
// the given bytes as they are (a prepared DigestInfo). flags must be kPadPkcs1. With a null
// signature buffer, *written receives the signature size. Errors: kInvalidHandle,
// kBadAlgorithm (unknown hash name), kInvalidParameter (digest length does not fit the hash,
// bad flags), kInsufficientBuffer, kBadKey (the key cannot sign, for instance too small for the
// block).
std::uint32_t keyStorageSignHash(KeyStorageHandle key, const wchar_t* hashAlgorithm,
                                 const unsigned char* digest, std::size_t digestLength,
                                 unsigned char* signature, std::size_t capacity,
                                 std::size_t* written, std::uint32_t flags);

// keyStorageDecrypt: PKCS#1 v1.5 decryption. flags must be kPadPkcs1. With a null output buffer,
// *written receives the largest possible plain size (the key size). Errors: kInvalidHandle,
// kInvalidParameter, kInsufficientBuffer, kBadData (the data do not decrypt under this key).
std::uint32_t keyStorageDecrypt(KeyStorageHandle key, const unsigned char* data,
                                std::size_t dataLength, unsigned char* plain, std::size_t capacity,
                                std::size_t* written, std::uint32_t flags);

// keyStorageExportKey: the key as DER PKCS#8 PrivateKeyInfo, when it was imported exportable.
// Errors: kInvalidHandle, kNotSupported (not exportable).
std::uint32_t keyStorageExportKey(KeyStorageHandle key, Bytes* pkcs8Der);

// freeKeyStorageKey: frees a key handle. Errors: kInvalidHandle.
std::uint32_t freeKeyStorageKey(KeyStorageHandle key);

// ---------------------------------------------------------------------------------------------
// Legacy provider. The calls return true on success, false with the thread's last error set.

// legacyCreateHash: a hash object of the algorithm (legacy_hash). Errors: kInvalidHandle,
// kBadAlgorithm (any other identifier), kInvalidParameter (flags).
bool legacyCreateHash(LegacyProviderHandle provider, std::uint32_t algorithm, std::uint32_t flags,
                      LegacyHashHandle* hash);
// legacyHashData: feeds bytes. Errors: kInvalidHandle, kInvalidParameter (after signing, the
// hash is finished and takes no more data).
bool legacyHashData(LegacyHashHandle hash, const unsigned char* data, std::size_t length,
                    std::uint32_t flags);
// legacySignHash: PKCS#1 v1.5 signature of the hash with the provider's key of that key-spec
// value, least significant byte first. With a null buffer, *length receives the size;
// a buffer smaller than *length fails with kMoreData and the size in *length. Errors:
// kInvalidHandle, kNoKey (no key of that key-spec value), kBadKey.
bool legacySignHash(LegacyHashHandle hash, std::uint32_t keySpec, std::uint32_t flags,
                    unsigned char* signature, std::size_t* length);
// legacyDestroyHash / legacyReleaseContext: free the objects. Errors: kInvalidHandle.
bool legacyDestroyHash(LegacyHashHandle hash);
bool legacyReleaseContext(LegacyProviderHandle provider, std::uint32_t flags);

// ---------------------------------------------------------------------------------------------
// Keys of certificate requests. A request's key must outlive the process that made it: the
// certificate may come back from the authority days later and be added by any program.

// storePendingKey: keeps the private key of a certificate request (DER PKCS#8 of an RSA key)
// in the key storage, with the request's alias (UTF-8), until a certificate for it is imported
// (importPkcs12 of a file holding the same key takes the row over: one key, one row).
// Errors: kBadKey (not an RSA PKCS#8 key), the database codes of openSystemStore.
bool storePendingKey(const Bytes& pkcs8Der, const std::string& alias);

// findPendingKey: the key of the oldest waiting request whose public key is the certificate's
// (DER), and its alias. Errors: kNotFound (no request waits for this certificate), kBadEncoding
// (not a certificate), kInvalidParameter, database codes.
bool findPendingKey(const Bytes& certificateDer, Bytes* pkcs8Der, std::string* alias);

// pendingKeyCount: how many requests wait for their certificate; nullopt with the last error
// set when the database cannot be read.
std::optional<std::size_t> pendingKeyCount();

// ---------------------------------------------------------------------------------------------
// Maintenance.

// deleteKeyOf: removes the key a certificate links to from the key storage (the certificate
// stays). Errors: kNoKey, database codes. (Removing a certificate from its store deletes its key
// by itself when nothing else links to it.)
bool deleteKeyOf(const CertContext& context);

// keyHandlesInUse: number of key, provider and hash handles not yet freed in this process
// (lets tests prove that operations release what they acquire).
std::size_t keyHandlesInUse();

}  // namespace quor::platform
