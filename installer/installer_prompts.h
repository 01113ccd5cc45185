// The two questions lower layers may ask the user during a run: proxy credentials (a proxy
// answered 407) and consent to add a certificate to the trusted roots.
//
// Each front end implements InstallerPrompts its own way (dialogs, terminal prompts) and holds
// a ScopedInstallerPrompts while it lives, which registers the questions with the download
// and store layers and puts back what was registered before.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "net/proxy_credentials.h"
#include "platform/cert_store.h"

namespace quor::installer {

class InstallerPrompts {
  public:
    virtual ~InstallerPrompts() = default;

    // Credentials for the proxy, or nothing to give up (the download then yields the proxy's
    // refusal page as its content).
    virtual std::optional<net::ProxyCredentials> askProxyCredentials(
        const net::ProxyCredentialsRequest& request) = 0;

    // True to add the root certificate; false makes the addition fail as cancelled by the user.
    virtual bool confirmRootCertificate(const platform::RootAddRequest& request) = 0;
};

class ScopedInstallerPrompts {
  public:
    explicit ScopedInstallerPrompts(InstallerPrompts& prompts);
    ~ScopedInstallerPrompts();
    ScopedInstallerPrompts(const ScopedInstallerPrompts&) = delete;
    ScopedInstallerPrompts& operator=(const ScopedInstallerPrompts&) = delete;

  private:
    net::ProxyCredentialsHandler previousProxyHandler_;
    platform::RootAddHandler previousRootHandler_;
};

// Upper-case hexadecimal pairs separated by blanks: "AB 12 ...", as thumbprints are shown.
std::string thumbprintText(const unsigned char* bytes, std::size_t size);

// A UTC time as "dd/mm/aaaa hh:mm:ss UTC" (Brazilian date order).
std::string utcTimeText(std::time_t time);

// What the program itself knows of a root it is asked to trust: whether its fingerprint is one
// of the official ICP-Brasil roots, whether it has expired (at `now`), and the sentence every
// front end shows above its question.
struct RootOrigin {
    std::optional<int> officialVersion;
    bool expired = false;
    std::string text;  // UTF-8
};
RootOrigin rootOrigin(const platform::RootAddRequest& request, std::time_t now);
RootOrigin rootOrigin(const platform::RootAddRequest& request);

}  // namespace quor::installer
