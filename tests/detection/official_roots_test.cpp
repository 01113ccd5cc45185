// The pinned official roots against the real root certificates in the fixtures: each of them is
// recognised under the version its name gives, the fingerprints agree with the ones the
// fixtures' README lists, and authorities and generated roots are not taken for official ones.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "detection/official_archive.h"
#include "detection/official_roots.h"
#include "signer/model/certificate.h"
#include "tests/support/pki_builder.h"

namespace quor::detection {
namespace {

const std::filesystem::path kFixtures = std::filesystem::path(QUOR_FIXTURES_DIR) / "icp-brasil";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::array<unsigned char, 32> sha256OfFile(const std::filesystem::path& path) {
    return sha256Of(signer::Certificate(readFile(path)));
}

std::string upperHex(const std::array<unsigned char, 32>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

// file name -> SHA-256 column of the fixtures' README.
std::map<std::string, std::string> readmeFingerprints() {
    std::map<std::string, std::string> rows;
    std::istringstream readme(readFile(kFixtures / "README.md"));
    const std::regex row(R"(^\| (\S+\.crt) \|.*\| ([0-9A-F]{64}) \|)");
    std::string line;
    std::smatch match;
    while (std::getline(readme, line)) {
        if (std::regex_search(line, match, row))
            rows[match[1]] = match[2];
    }
    return rows;
}

TEST(OfficialRoots, TheTableHoldsEveryPublishedVersionOnce) {
    std::set<int> versions;
    std::set<std::array<unsigned char, 32>> fingerprints;
    for (const OfficialRoot& root : officialRoots()) {
        EXPECT_TRUE(versions.insert(root.version).second) << "v" << root.version << " twice";
        EXPECT_TRUE(fingerprints.insert(root.sha256).second);
    }
    EXPECT_EQ(versions, (std::set<int>{1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
}

TEST(OfficialRoots, EveryRealRootOfTheFixturesIsRecognisedUnderItsVersion) {
    const std::map<std::string, std::string> readme = readmeFingerprints();
    const std::regex rootName(R"(ICP-Brasilv(\d+)\.crt)");
    std::set<int> seen;
    for (const auto& entry : std::filesystem::directory_iterator(kFixtures)) {
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (!std::regex_match(name, match, rootName))
            continue;
        SCOPED_TRACE(name);
        const std::array<unsigned char, 32> sha256 = sha256OfFile(entry.path());
        ASSERT_TRUE(readme.count(name)) << "no README row";
        EXPECT_EQ(upperHex(sha256), readme.at(name));
        const std::optional<int> version = officialRootVersion(sha256);
        ASSERT_TRUE(version.has_value());
        EXPECT_EQ(*version, std::stoi(match[1]));
        seen.insert(*version);
    }
    // Every entry of the table is backed by a real certificate, none is taken on trust.
    EXPECT_EQ(seen.size(), officialRoots().size());
}

TEST(OfficialRoots, AuthoritiesGeneratedRootsAndNearMissesAreNotOfficial) {
    for (const char* name : {"AC-SERPRO-SSLv1-v10.crt", "AC-PRODESP-RFB-v1.crt",
                             "AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt"}) {
        EXPECT_FALSE(officialRootVersion(sha256OfFile(kFixtures / name))) << name;
    }
    // A generated root with the very name of an official one is still not official.
    const test::TestCert lookalike =
        test::CertBuilder(test::Name{{"C", "BR"},
                                     {"O", "ICP-Brasil"},
                                     {"CN", "Autoridade Certificadora Raiz Brasileira v10"}})
            .ca()
            .selfSigned();
    EXPECT_FALSE(officialRootVersion(sha256Of(signer::Certificate(lookalike.pem()))));

    std::array<unsigned char, 32> oneBitOff = sha256OfFile(kFixtures / "ICP-Brasilv10.crt");
    oneBitOff[31] ^= 1;
    EXPECT_FALSE(officialRootVersion(oneBitOff));
}

}  // namespace
}  // namespace quor::detection
