#include "signer/model/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signer/repository/errors.h"

namespace quor::signer {
namespace {

std::string hex(const std::vector<unsigned char>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

TEST(DigestTest, PublishedTestVectors) {
    struct Case {
        const char* hash;
        std::string data;
        const char* expected;
    };
    // FIPS 180-2 appendix vectors ("abc") and the digests of the empty message.
    const std::vector<Case> cases = {
        {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"SHA1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"sha1", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"sha384", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {"sha512", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"sha1", std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex(computeDigest(c.data.data(), static_cast<int>(c.data.size()), c.hash)),
                  c.expected)
            << c.hash << " of " << c.data;
    }
}

TEST(DigestTest, RefusesUnknownNamesAndImpossibleBuffers) {
    const char data[] = "abc";
    struct Case {
        const char* what;
        const void* data;
        int length;
        const char* hash;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"unknown digest", data, 3, "sha999", "Error at signing: Invalid option for hash"},
        {"empty name", data, 3, "", "Error at signing: Invalid option for hash"},
        {"no name", data, 3, nullptr, "Error at signing: Invalid option for hash"},
        {"negative length", data, -1, "sha1",
         "Error at signing: Cannot digest data (EVP_DigestUpdate)"},
        {"bytes without a buffer", nullptr, 5, "sha1",
         "Error at signing: Cannot digest data (EVP_DigestUpdate)"},
    };
    for (const Case& c : cases) {
        try {
            computeDigest(c.data, c.length, c.hash);
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const SignatureException& e) {
            EXPECT_STREQ(e.what(), c.message) << c.what;
        }
    }
    EXPECT_EQ(computeDigest(nullptr, 0, "sha1").size(), 20u);
}

}  // namespace
}  // namespace quor::signer
