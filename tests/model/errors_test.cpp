#include "signer/repository/errors.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "platform/last_error.h"
#include "signer/model/text.h"

namespace quor::signer {
namespace {

TEST(ErrorsTest, CategoryPhrasePrecedesDetail) {
    EXPECT_STREQ(CertificateNotFoundException("").what(), "Certificate not found: ");
    EXPECT_STREQ(CertificateNotFoundException("Fingerprint: ab").what(),
                 "Certificate not found: Fingerprint: ab");
    EXPECT_STREQ(SerializationException("x").what(), "Error while serializing: x");
    EXPECT_STREQ(RepositoryAccessException("x").what(), "Error while doing login at repository: x");
}

TEST(ErrorsTest, SystemErrorTrimmedAndRethrownByCategory) {
    platform::setLastError(platform::error::kCancelled);
    try {
        try {
            throwIfSystemError({}, "CertOpenSystemStore");
            FAIL() << "nothing thrown";
        } catch (const BaseException&) {
            FAIL() << "CapiException must not be a BaseException";
        } catch (const std::exception& e) {
            throw CertificateAdditionException(e.what());
        }
    } catch (const CertificateAdditionException& e) {
        EXPECT_STREQ(e.what(),
                     "Error at adding certificate: The operation was canceled by the user. "
                     "(CertOpenSystemStore)");
    }
    EXPECT_EQ(platform::lastError(), 0u);
}

TEST(ErrorsTest, ZeroAndToleratedCodes) {
    platform::setLastError(0);
    EXPECT_EQ(throwIfSystemError({}, "Call"), 0u);
    platform::setLastError(platform::error::kExists);
    EXPECT_EQ(throwIfSystemError({platform::error::kExists}, "Call"), platform::error::kExists);
    EXPECT_EQ(platform::lastError(), 0u);
    // The strict form never lets a reported failure pass as success.
    platform::setLastError(0);
    EXPECT_THROW(throwSystemError({}, "Call"), CapiException);
}

TEST(ErrorsTest, ArchiveExceptionMessages) {
    EXPECT_STREQ(ArchiveException("", "RSA_sign").what(), " (RSA_sign)");
    EXPECT_STREQ(ArchiveException("Memory allocation failure", "sk_X509_push").what(),
                 "Memory allocation failure (sk_X509_push)");
    ERR_clear_error();
    try {
        throwIfOpenSslError(true, "Call", "fallback");
        FAIL();
    } catch (const ArchiveException& e) {
        EXPECT_STREQ(e.what(), "fallback (Call)");
    }
    EXPECT_NO_THROW(throwIfOpenSslError(false, "Call", "fallback"));
}

TEST(TextTest, Latin1RoundTripAndRangeError) {
    EXPECT_EQ(toWideText("\xE9"), std::wstring(1, L'\u00E9'));
    EXPECT_EQ(toNarrowText(L"\u00E9a"), "\xE9" "a");
    try {
        toNarrowText(L"\u20AC");
        FAIL();
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "bad conversion");
    }
}

TEST(TextTest, Utf8FormOfEveryLengthAndNoInvalidOutput) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"a", "a"},
        {L"\u00E9", "\xC3\xA9"},                                  // Latin-1 accents: two bytes
        {L"\u20AC", "\xE2\x82\xAC"},                             // three bytes
        {std::wstring(1, wchar_t(0x1F512)), "\xF0\x9F\x94\x92"},    // four bytes
        {std::wstring(1, wchar_t(0xD800)), "\xEF\xBF\xBD"},         // a lone surrogate
        {std::wstring(1, wchar_t(0x110000)), "\xEF\xBF\xBD"},       // past U+10FFFF
        {std::wstring(1, wchar_t(0)), std::string(1, '\0')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(toUtf8Text(c.wide), c.utf8);
}

}  // namespace
}  // namespace quor::signer
