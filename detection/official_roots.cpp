#include "detection/official_roots.h"

#include <algorithm>
#include <string_view>

namespace quor::detection {

namespace {

constexpr unsigned char hexValue(char c) {
    return static_cast<unsigned char>(c <= '9' ? c - '0' : c - 'a' + 10);
}

// A fingerprint written as 64 lower-case hexadecimal digits; a malformed entry fails to compile.
consteval OfficialRoot root(int version, std::string_view hex) {
    if (hex.size() != 64)
        throw "a SHA-256 fingerprint has 64 hexadecimal digits";
    OfficialRoot entry{version, {}};
    for (std::size_t i = 0; i < 32; ++i) {
        for (char c : {hex[2 * i], hex[2 * i + 1]}) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                throw "not a lower-case hexadecimal digit";
        }
        entry.sha256[i] =
            static_cast<unsigned char>(hexValue(hex[2 * i]) << 4 | hexValue(hex[2 * i + 1]));
    }
    return entry;
}

// Source: the root certificates "Autoridade Certificadora Raiz Brasileira v1" to "v13" as the
// Instituto Nacional de Tecnologia da Informação (ITI) publishes them in its repository
// (http://acraiz.icpbrasil.gov.br/, "Certificados das ACs Raiz"); each fingerprint is the SHA-256
// of the certificate's DER encoding, computed with `openssl x509 -outform DER | sha256sum`.
// There never was a v3. v8 and v9 are no longer in the current archive but were published.
constexpr std::array kOfficialRoots{
    root(1, "cbd8ed38d4a2d677d453d70dd8890af4f6374cba6299943f1ab3a6936c6fd795"),
    root(2, "fb47d92a9909fd4fa9bec02737543e1f3514ced747407a8d9cfa397b0915067c"),
    root(4, "f0c15afd258fb674e7a96e1a50ff873149364b9ec70d4d93c7a9f1eb6060d020"),
    root(5, "caa53fc6091c6951887c976e378f6ef89aa6377c55d97b6475422b71ed7e9b17"),
    root(6, "3bdb9b509352f1d3d71c2bf64d9a38a4e6cebda27809d77f7ac476cbde6e314a"),
    root(7, "5657e70580eb678983f3ed7dfce091d84cae6549389a47fccda8d0e4dc2cf576"),
    root(8, "cd5406f61a8d5d08a3797da044be669c555c2d8b821d67577f0a2ce3a1a277e1"),
    root(9, "cdd1149dcfc137c4c34fa844cf592cfbfea05cb13b770ad5e1f0c7fc8c9c43bf"),
    root(10, "6e0bff069a26994c15de2c4888cc54af84882e5495b7fbf66be9ccffec7489f6"),
    root(11, "1406710058180fa4081aab3f246f1702429c552a11fa3143b84c88cb3ab8e5e7"),
    root(12, "d8478e37ce19c690cf657381e68fe600e4e1a042536830f06847e03e554c4b01"),
    root(13, "2b07d0bc02c4a6e0478ed22d0d99e8f97e1827b269097696a7feb6aad30c3ac8"),
};

}  // namespace

std::span<const OfficialRoot> officialRoots() {
    return kOfficialRoots;
}

std::optional<int> officialRootVersion(const std::array<unsigned char, 32>& sha256) {
    const auto found =
        std::find_if(kOfficialRoots.begin(), kOfficialRoots.end(),
                     [&](const OfficialRoot& entry) { return entry.sha256 == sha256; });
    if (found == kOfficialRoots.end())
        return std::nullopt;
    return found->version;
}

}  // namespace quor::detection
