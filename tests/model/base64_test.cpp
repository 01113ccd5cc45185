#include "signer/model/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <boost/archive/iterators/dataflow_exception.hpp>

#include <string>
#include <vector>

namespace quor::signer {
namespace {

std::vector<unsigned char> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// Standard padded Base64 by OpenSSL, optionally broken into lines.
std::string encode(const std::vector<unsigned char>& bytes, std::size_t lineLength = 0) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    if (lineLength == 0)
        return out;
    std::string lines;
    for (std::size_t i = 0; i < out.size(); i += lineLength) {
        lines += out.substr(i, lineLength) + "\n";
    }
    return lines;
}

TEST(Base64Test, AgreesWithOpenSslForEveryTailLength) {
    for (std::size_t size = 0; size <= 200; ++size) {
        std::vector<unsigned char> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 37 + 11);
        const std::string padded = encode(bytes);
        std::string unpadded = padded;
        unpadded.erase(unpadded.find_last_not_of('=') + 1);
        SCOPED_TRACE(size);
        EXPECT_EQ(decodeBase64(padded), bytes);
        EXPECT_EQ(decodeBase64(unpadded), bytes);
        EXPECT_EQ(decodeBase64(encode(bytes, 64)), bytes);
        EXPECT_EQ(decodeBase64(encode(bytes, 76)), bytes);
    }
}

TEST(Base64Test, PaddingAndWhitespaceCases) {
    struct Case {
        const char* what;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"only whitespace", " \r\n\t\v\f", ""},
        {"three bytes", "QUJD", "ABC"},
        {"one padding", "QUI=", "AB"},
        {"two paddings", "QQ==", "A"},
        {"blanks between characters", " Q U\tJ\nD ", "ABC"},
        {"CRLF line ends and a trailing line break", "QUJD\r\nREVG\r\n", "ABCDEF"},
        // "=" decodes as "A" and takes one byte off the end wherever it stands.
        {"padding in the middle", "QU=JD", "A@"},  // QUAJD = 41 40 09, one byte off
        {"as many paddings as bytes", "====", ""},
        {"more paddings than bytes", "QQ======", ""},
        {"leftover bits are dropped", "QUJDR", "ABC"},
        {"lone character", "Q", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodeBase64(c.text), bytesOf(c.expected)) << c.what;
    }
}

TEST(Base64Test, CharacterOutsideTheAlphabetThrowsTheDataflowError) {
    const std::vector<std::string> texts = {
        "QU!D", "!", "QUJD-", "QUJD\x80", std::string("QU\0D", 4), "SGVsbG8_", "QUJD.REVG"};
    for (const std::string& text : texts) {
        try {
            decodeBase64(text);
            ADD_FAILURE() << "no exception for " << text;
        } catch (const boost::archive::iterators::dataflow_exception& e) {
            EXPECT_STREQ(e.what(), "attempt to decode a value not in base64 char set");
        }
    }
}

}  // namespace
}  // namespace quor::signer
