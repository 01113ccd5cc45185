// The certificate library's exception types.
//
// Every failure of the library is thrown. BaseException and its eight category subclasses are
// what public operations raise; each category puts a fixed English phrase before the detail.
// CapiException (a failed platform store or key call) and ArchiveException (a failed OpenSSL
// call inside the archive repository) are internal in practice: public operations catch them
// and re-throw their own category with the caught what() as detail.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>

namespace quor::signer {

class BaseException : public std::exception {
public:
    explicit BaseException(const std::string& message);
    const char* what() const noexcept override;

private:
    std::string message_;
};

#define QUOR_CATEGORY_EXCEPTION(Name)                  \
    class Name : public BaseException {                \
    public:                                            \
        explicit Name(const std::string& detail = ""); \
    }

QUOR_CATEGORY_EXCEPTION(CertificateSearchingException);
QUOR_CATEGORY_EXCEPTION(CertificateNotFoundException);
QUOR_CATEGORY_EXCEPTION(CertificateAdditionException);
QUOR_CATEGORY_EXCEPTION(SignatureException);
QUOR_CATEGORY_EXCEPTION(DecryptionException);
QUOR_CATEGORY_EXCEPTION(KeyPairGenerationException);
QUOR_CATEGORY_EXCEPTION(RepositoryAccessException);
QUOR_CATEGORY_EXCEPTION(SerializationException);

#undef QUOR_CATEGORY_EXCEPTION

// A failed platform store or key service: the layer's text for the code, trimmed, then
// " (" + call + ")".
class CapiException : public std::exception {
public:
    CapiException(const std::wstring& systemText, const char* callName);
    const char* what() const noexcept override;

private:
    std::string message_;
};

// A failed OpenSSL call: OpenSSL's text (or a fallback), then " (" + call + ")" when a call name
// is given.
class ArchiveException : public std::exception {
public:
    ArchiveException(const std::string& text, const char* callName);
    const char* what() const noexcept override;

private:
    std::string message_;
};

// Called right after a platform call that reported failure. Reads and clears the thread's last
// error; returns 0 when it was 0 (nothing to report), returns the code when it is tolerated, and
// otherwise throws CapiException with the layer's text for the code and the call name.
std::uint32_t throwIfSystemError(std::initializer_list<std::uint32_t> tolerated,
                                 const char* callName);

// Like throwIfSystemError, for the places where a failure must never pass silently: a last
// error of 0 after a reported failure still throws CapiException (with the layer's generic
// text for an unspecified failure). Tolerated codes return as above.
std::uint32_t throwSystemError(std::initializer_list<std::uint32_t> tolerated,
                               const char* callName);

// Throws ArchiveException when failed is true: with the oldest queued OpenSSL error text when
// there is one, else with fallbackText.
void throwIfOpenSslError(bool failed, const char* callName, const std::string& fallbackText);

}  // namespace quor::signer
