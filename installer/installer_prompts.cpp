#include "installer/installer_prompts.h"

#include <cstdio>

#include "detection/official_roots.h"

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

RootOrigin rootOrigin(const platform::RootAddRequest& request, std::time_t now) {
    RootOrigin origin;
    origin.officialVersion = detection::officialRootVersion(request.sha256);
    origin.expired = request.notAfter < now;
    if (!origin.officialVersion) {
        origin.text =
            "Cuidado: este certificado não é uma raiz oficial da ICP-Brasil. Só o instale se "
            "souber de onde ele vem e tiver conferido a impressão digital com quem o emitiu.";
        return origin;
    }
    origin.text = "Raiz oficial da ICP-Brasil v" + std::to_string(*origin.officialVersion) +
                  ": a impressão digital confere com a publicada pelo ITI.";
    if (origin.expired) {
        origin.text += " Esta raiz expirou em " + utcTimeText(request.notAfter) +
                       ": os certificados emitidos por ela não são mais válidos.";
    }
    return origin;
}

RootOrigin rootOrigin(const platform::RootAddRequest& request) {
    return rootOrigin(request, std::time(nullptr));
}

}  // namespace quor::installer
