// Issuance helpers of the system repository that tools outside the library call.
#pragma once

#include <istream>
#include <string>

#include "signer/repository/system_repository.h"

namespace quor::signer {

// The pass phrase under which a pending request's key and certificate travel from their archive
// into "MY". Nothing is stored under it.
inline constexpr const wchar_t* kTransientPkcs12PassPhrase = L"mivarent";

// Imports a DER PKCS#12 file (read to its end from in) into the personal store "MY": its private
// key goes to the user's key storage, marked exportable, and stays linked to its certificate,
// whose friendly name becomes the certificate's subject display name. Throws
// CertificateAdditionException: a wrong pass phrase, a file that is not PKCS#12, a key that is
// not RSA, or a store that refuses the certificate.
void importPkcs12IntoPersonalStore(SystemRepository& repository, std::istream& in,
                                   const std::wstring& passPhrase);

}  // namespace quor::signer
