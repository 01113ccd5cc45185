#include "signer/repository/errors.h"

#include <openssl/err.h>

#include <locale>

#include "platform/last_error.h"
#include "signer/model/text.h"

namespace quor::signer {

BaseException::BaseException(const std::string& message) : message_(message) {}

const char* BaseException::what() const noexcept { return message_.c_str(); }

#define QUOR_CATEGORY_EXCEPTION_IMPL(Name, phrase) \
    Name::Name(const std::string& detail) : BaseException(std::string(phrase) + detail) {}

QUOR_CATEGORY_EXCEPTION_IMPL(CertificateSearchingException,
                             "Error while searching certificates at repository: ")
QUOR_CATEGORY_EXCEPTION_IMPL(CertificateNotFoundException, "Certificate not found: ")
QUOR_CATEGORY_EXCEPTION_IMPL(CertificateAdditionException, "Error at adding certificate: ")
QUOR_CATEGORY_EXCEPTION_IMPL(SignatureException, "Error at signing: ")
QUOR_CATEGORY_EXCEPTION_IMPL(DecryptionException, "Error at decrypting: ")
QUOR_CATEGORY_EXCEPTION_IMPL(KeyPairGenerationException, "Error during key pair generation: ")
QUOR_CATEGORY_EXCEPTION_IMPL(RepositoryAccessException, "Error while doing login at repository: ")
QUOR_CATEGORY_EXCEPTION_IMPL(SerializationException, "Error while serializing: ")

#undef QUOR_CATEGORY_EXCEPTION_IMPL

namespace {

// Trims white space as the global locale's ctype facet classifies it; system texts end with a
// line break that must not reach the user.
std::string trimmed(const std::string& text) {
    const std::locale locale;
    const auto& ctype = std::use_facet<std::ctype<char>>(locale);
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && ctype.is(std::ctype_base::space, text[begin])) ++begin;
    while (end > begin && ctype.is(std::ctype_base::space, text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string withCallName(std::string message, const char* callName) {
    if (callName != nullptr && *callName != '\0') {
        message += " (";
        message += callName;
        message += ")";
    }
    return message;
}

}  // namespace

CapiException::CapiException(const std::wstring& systemText, const char* callName)
    : message_(withCallName(trimmed(toNarrowText(systemText)), callName)) {}

const char* CapiException::what() const noexcept { return message_.c_str(); }

ArchiveException::ArchiveException(const std::string& text, const char* callName)
    : message_(withCallName(text, callName)) {}

const char* ArchiveException::what() const noexcept { return message_.c_str(); }

namespace {
std::uint32_t reportSystemError(std::uint32_t code, std::initializer_list<std::uint32_t> tolerated,
                                const char* callName) {
    platform::setLastError(platform::error::kSuccess);
    for (std::uint32_t t : tolerated) {
        if (t == code) return code;
    }
    throw CapiException(platform::messageText(code), callName);
}
}  // namespace

std::uint32_t throwIfSystemError(std::initializer_list<std::uint32_t> tolerated,
                                 const char* callName) {
    const std::uint32_t code = platform::lastError();
    if (code == platform::error::kSuccess) return 0;
    return reportSystemError(code, tolerated, callName);
}

std::uint32_t throwSystemError(std::initializer_list<std::uint32_t> tolerated,
                               const char* callName) {
    std::uint32_t code = platform::lastError();
    // The layer always sets a code when it fails; should one ever be missing, the failure is
    // still reported rather than taken for success.
    if (code == platform::error::kSuccess) code = platform::error::kUnspecified;
    return reportSystemError(code, tolerated, callName);
}

void throwIfOpenSslError(bool failed, const char* callName, const std::string& fallbackText) {
    if (!failed) return;
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (buffer[0] != '\0') throw ArchiveException(buffer, callName);
    }
    throw ArchiveException(fallbackText, callName);
}

}  // namespace quor::signer
