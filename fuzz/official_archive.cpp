// The national authority's archive as it arrives after its hash check: read in memory as a zip
// (entry names, sizes, flags and contents all hostile), then the set of certificates judged.
// The unpacked-size limit is lowered so a run spends its time on variety, not on inflating.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "detection/official_archive.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes = quor::fuzz::bytes(data, size);
    quor::detection::ArchiveLimits limits;
    limits.maxTotalBytes = 1024 * 1024;
    limits.maxEntries = 256;
    try {
        const auto certificates = quor::detection::readCertificateArchive(bytes, limits);
        quor::detection::checkOfficialSet(certificates);
    } catch (const std::exception&) {
    }
    return 0;
}
