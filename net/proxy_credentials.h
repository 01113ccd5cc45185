// Asking the user for proxy credentials when a proxy answers 407.
//
// The program registers one handler for the whole process (the dialog asks for user and
// password, the terminal tool prompts). A download whose proxy demands authentication calls it;
// credentials make the download send the same request again with them, as often as the proxy
// keeps asking and the handler keeps answering. No answer, or no handler, leaves the 407 response
// as the downloaded content.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quor::net {

struct ProxyCredentials {
    std::string user;
    std::string password;
};

struct ProxyCredentialsRequest {
    // The proxy as configured in the environment, for example "http://proxy.example:3128".
    std::string proxy;
    // The target of the download, "host:port/object", for the user to recognise.
    std::string target;
    // 1 for the first question of a download, 2 and more when the proxy refused earlier answers.
    int attempt = 1;
};

// Returns the credentials to send, or nothing to stop asking. Runs on the downloading thread,
// inside HttpClientDownloader::download.
using ProxyCredentialsHandler =
    std::function<std::optional<ProxyCredentials>(const ProxyCredentialsRequest&)>;

// Registers `handler` for the whole process (an empty function removes it) and returns the one
// registered before, so a caller can put it back.
ProxyCredentialsHandler setProxyCredentialsHandler(ProxyCredentialsHandler handler);

// The handler registered now; empty when none is.
ProxyCredentialsHandler proxyCredentialsHandler();

}  // namespace quor::net
