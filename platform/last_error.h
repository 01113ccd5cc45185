// Thread-local last error and message texts of the platform layer.
//
// The store and key services of this folder report a failure by returning a failure value and
// leaving a numeric code on the calling thread, like the operating-system services they stand
// in for. Callers read it with lastError() and turn it into an exception with
// quor::signer::throwIfSystemError.
#pragma once

#include <cstdint>
#include <string>

namespace quor::platform {

using ErrorCode = std::uint32_t;

// Codes the layer produces. Values follow the codes callers already tolerate by number.
namespace error {
inline constexpr ErrorCode kSuccess = 0;
inline constexpr ErrorCode kFileNotFound = 2;
inline constexpr ErrorCode kAccessDenied = 5;
inline constexpr ErrorCode kInvalidHandle = 6;
inline constexpr ErrorCode kNotEnoughMemory = 8;
inline constexpr ErrorCode kNoMoreFiles = 18;
inline constexpr ErrorCode kInvalidParameter = 87;
inline constexpr ErrorCode kInsufficientBuffer = 122;
inline constexpr ErrorCode kBusy = 170;
inline constexpr ErrorCode kMoreData = 234;
inline constexpr ErrorCode kCancelled = 1223;
inline constexpr ErrorCode kInvalidData = 13;
inline constexpr ErrorCode kNotSupported = 50;
inline constexpr ErrorCode kBadKey = 0x80090003;
inline constexpr ErrorCode kBadData = 0x80090005;
inline constexpr ErrorCode kBadSignature = 0x80090006;
inline constexpr ErrorCode kBadAlgorithm = 0x80090008;
inline constexpr ErrorCode kKeyNotFound = 0x8009000D;
inline constexpr ErrorCode kNoKey = 0x8009000D;
inline constexpr ErrorCode kInvalidPassword = 0x80070056;
inline constexpr ErrorCode kNotFound = 0x80092004;
inline constexpr ErrorCode kExists = 0x80092005;
inline constexpr ErrorCode kBadEncoding = 0x80092002;
inline constexpr ErrorCode kStoreUnavailable = 0x80092009;
inline constexpr ErrorCode kDatabaseError = 0x8009200A;
inline constexpr ErrorCode kDatabaseBusy = 0x8009200B;
inline constexpr ErrorCode kChainEngine = 0x8009200C;
// The store folder or one of its files belongs to another user.
inline constexpr ErrorCode kStoreNotOwned = 0x8009200D;
inline constexpr ErrorCode kUnspecified = 0x80004005;
inline constexpr ErrorCode kDiskFull = 112;
inline constexpr ErrorCode kIoError = 1117;
}  // namespace error

// The calling thread's last error code.
ErrorCode lastError() noexcept;

// Sets the calling thread's last error code.
void setLastError(ErrorCode code) noexcept;

// English text for a code, ending with "\r\n" as system message texts do (callers trim it).
// A code the layer does not know gets a generic text naming the code in hexadecimal.
std::wstring messageText(ErrorCode code);

}  // namespace quor::platform
