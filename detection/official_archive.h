// The national authority's archive of certificates ("ACcompactado.zip"): one ".crt" per
// authority certificate, roots and intermediate authorities together. It comes over plain HTTP
// with nothing signed, so its content is trusted only after every root in it is one of the
// official roots and every other certificate chains, by signature, up to one of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "signer/model/certificate.h"

namespace quor::detection {

// Why an archive was refused. The text (Portuguese) is shown to the user as it is.
class ArchiveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Bounds on what reading an archive may cost. The real archive holds about 175 small files
// (some 400 KB unpacked); these are far above it and far below harm.
struct ArchiveLimits {
    std::uint64_t maxTotalBytes = 64ull * 1024 * 1024;  // unpacked bytes of every entry together
    std::size_t maxEntries = 4096;                      // entries of any kind
};

struct ArchiveCertificate {
    std::string entryName;  // the name in the archive, as stored (UTF-8 where it was)
    signer::Certificate certificate;
};

// Reads every ".crt" entry (name compared without case) of a zip archive held in memory, in
// archive order; folders are skipped and other files read (they count towards the limits) but
// not kept. Nothing is written to disk. Throws ArchiveError for bytes that are not a zip archive,
// a damaged or encrypted entry, an entry name that is absolute or climbs out with "..", an
// entry that is neither a file nor a folder, a ".crt" that holds no certificate, an archive
// without any ".crt", and when a limit would be passed.
std::vector<ArchiveCertificate> readCertificateArchive(std::string_view bytes,
                                                       const ArchiveLimits& limits = {});

// Accepts the set only when every root in it (self-issued certificate) is an official root and
// every other certificate has, within the set, a chain of issuers whose signatures verify that
// ends at an official root. Throws ArchiveError naming the first certificate that fails.
void checkOfficialSet(const std::vector<ArchiveCertificate>& certificates);

// SHA-256 of a certificate's DER encoding.
std::array<unsigned char, 32> sha256Of(const signer::Certificate& certificate);

}  // namespace quor::detection
