#include "installer/installer_prompts.h"

#include <cstdio>

namespace quor::installer {

ScopedInstallerPrompts::ScopedInstallerPrompts(InstallerPrompts& prompts)
    : previousProxyHandler_(
          net::setProxyCredentialsHandler([&prompts](const net::ProxyCredentialsRequest& request) {
              return prompts.askProxyCredentials(request);
          })),
      previousRootHandler_(
          platform::setRootAddHandler([&prompts](const platform::RootAddRequest& request) {
              return prompts.confirmRootCertificate(request);
          })) {}

ScopedInstallerPrompts::~ScopedInstallerPrompts() {
    platform::setRootAddHandler(std::move(previousRootHandler_));
    net::setProxyCredentialsHandler(std::move(previousProxyHandler_));
}

std::string thumbprintText(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string utcTimeText(std::time_t time) {
    std::tm parts{};
    if (::gmtime_r(&time, &parts) == nullptr)
        return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d UTC", parts.tm_mday,
                  parts.tm_mon + 1, parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
                  parts.tm_sec);
    return text;
}

}  // namespace quor::installer
