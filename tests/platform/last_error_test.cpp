#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <thread>

namespace quor::platform {
namespace {

TEST(LastErrorTest, IsPerThread) {
    setLastError(error::kExists);
    ErrorCode seenByOther = 1;
    std::thread other([&] { seenByOther = lastError(); });
    other.join();
    EXPECT_EQ(seenByOther, error::kSuccess);
    EXPECT_EQ(lastError(), error::kExists);
    setLastError(error::kSuccess);
}

TEST(LastErrorTest, EveryTextEndsWithLineBreakAndUnknownCodesNameTheCode) {
    for (ErrorCode code : {error::kCancelled, error::kExists, error::kNotFound, error::kFileNotFound}) {
        std::wstring text = messageText(code);
        ASSERT_GE(text.size(), 3u);
        EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
        EXPECT_EQ(text.find(L"Unknown"), std::wstring::npos) << code;
    }
    EXPECT_EQ(messageText(0x12345678), L"Unknown error 0x12345678.\r\n");
    EXPECT_EQ(messageText(error::kCancelled), L"The operation was canceled by the user.\r\n");
}

}  // namespace
}  // namespace quor::platform
