// The root certificates of the ICP-Brasil hierarchy, known to the program by their SHA-256
// fingerprints, so a root can be recognised without the user comparing digits by hand.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace quor::detection {

struct OfficialRoot {
    int version;  // the "vN" of "Autoridade Certificadora Raiz Brasileira vN"
    std::array<unsigned char, 32> sha256;  // SHA-256 of the certificate's DER encoding
};

// Every root the national authority has published, expired ones included (v1 and v2): an expired
// root is still the authority's own, and the user is told that it has expired.
std::span<const OfficialRoot> officialRoots();

// The version of the official root whose DER encoding has this SHA-256, or nothing.
std::optional<int> officialRootVersion(const std::array<unsigned char, 32>& sha256);

}  // namespace quor::detection
