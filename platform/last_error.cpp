#include "platform/last_error.h"

#include <cstdio>

namespace quor::platform {

namespace {
thread_local ErrorCode tlsLastError = error::kSuccess;
}  // namespace

ErrorCode lastError() noexcept { return tlsLastError; }

void setLastError(ErrorCode code) noexcept { tlsLastError = code; }

std::wstring messageText(ErrorCode code) {
    const wchar_t* text = nullptr;
    switch (code) {
        case error::kSuccess: text = L"The operation completed successfully."; break;
        case error::kFileNotFound: text = L"The system cannot find the file specified."; break;
        case error::kAccessDenied: text = L"Access is denied."; break;
        case error::kInvalidHandle: text = L"The handle is invalid."; break;
        case error::kNotEnoughMemory:
            text = L"Not enough memory resources are available to process this command.";
            break;
        case error::kInvalidData: text = L"The data is invalid."; break;
        case error::kNoMoreFiles: text = L"There are no more files."; break;
        case error::kNotSupported: text = L"The request is not supported."; break;
        case error::kInvalidParameter: text = L"The parameter is incorrect."; break;
        case error::kInsufficientBuffer:
            text = L"The data area passed to a system call is too small.";
            break;
        case error::kBusy: text = L"The requested resource is in use."; break;
        case error::kMoreData: text = L"More data is available."; break;
        case error::kCancelled: text = L"The operation was canceled by the user."; break;
        case error::kBadKey: text = L"Bad Key."; break;
        case error::kBadData: text = L"Bad Data."; break;
        case error::kBadSignature: text = L"Invalid Signature."; break;
        case error::kBadAlgorithm: text = L"Invalid algorithm specified."; break;
        case error::kKeyNotFound: text = L"Object was not found."; break;
        case error::kInvalidPassword: text = L"The specified network password is not correct."; break;
        case error::kNotFound: text = L"Cannot find object or property."; break;
        case error::kExists: text = L"The object or property already exists."; break;
        case error::kBadEncoding: text = L"An error occurred during encode or decode operation."; break;
        case error::kStoreUnavailable:
            text = L"The certificate store could not be opened.";
            break;
        case error::kDatabaseError:
            text = L"The certificate store database is damaged or is not a certificate store.";
            break;
        case error::kDatabaseBusy:
            text = L"The certificate store database is locked by another program.";
            break;
        case error::kUnspecified: text = L"Unspecified error."; break;
        case error::kChainEngine: text = L"The certificate chain could not be built."; break;
        case error::kStoreNotOwned:
            text = L"The certificate store folder or file belongs to another user; it was left "
                   L"unchanged.";
            break;
        case error::kDiskFull: text = L"There is not enough space on the disk."; break;
        case error::kIoError:
            text = L"The request could not be performed because of an I/O device error.";
            break;
        default: break;
    }
    std::wstring result;
    if (text != nullptr) {
        result = text;
    } else {
        wchar_t buffer[64];
        std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"Unknown error 0x%08X.",
                      static_cast<unsigned>(code));
        result = buffer;
    }
    result += L"\r\n";
    return result;
}

}  // namespace quor::platform
