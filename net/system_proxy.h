// The proxies a request should go through, as the desktop keeps them.
//
// libproxy answers for each URL: the GNOME settings (GSettings) or KDE's when the desktop is one
// of those, a PAC script or automatic discovery where libproxy has its PAC runner, and otherwise
// the variables http_proxy, https_proxy and no_proxy. Its answer is a list to try in order; a
// PAC setup on a machine without the PAC runner answers "direct://".
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quor::net {

// The proxy part of libcurl's CURLOPT_PROXY for one of libproxy's answers: "" for "direct://",
// the URL for an http, https or SOCKS proxy ("socks://" becomes "socks5://"), nothing for a kind
// libcurl cannot use.
std::optional<std::string> curlProxyFor(const std::string& answer);

// The answer as a user may see it: "direct://" unchanged, a proxy URL without the user name and
// password the desktop may keep in it.
std::string proxyDisplayText(const std::string& answer);

// systemProxiesFor returns libproxy's answers for `url` ("http://host:port/object"), in the
// order to try them, each as libproxy spells it ("direct://", "http://proxy:3128"). Nothing
// (no list at all) when libproxy gives no answer; the caller then leaves the choice to libcurl,
// which reads the same environment variables.
//
// While a ScopedProxyCache lives, the answers are kept per scheme, host and port, and later
// requests to the same place do not ask libproxy again.
std::optional<std::vector<std::string>> systemProxiesFor(const std::string& url);

// ScopedProxyCache makes one run (an installation, for instance) ask libproxy once per host and
// keeps libproxy's state, including a downloaded PAC script, between its requests. Scopes nest;
// when the outermost one ends, the answers and libproxy's state are forgotten, so the next run
// sees settings the user changed in between.
class ScopedProxyCache {
  public:
    ScopedProxyCache();
    ~ScopedProxyCache();
    ScopedProxyCache(const ScopedProxyCache&) = delete;
    ScopedProxyCache& operator=(const ScopedProxyCache&) = delete;
};

// What one request went through, for a user tracking down a proxy problem.
struct ProxyRoute {
    // The target of the request, "host:port/object".
    std::string target;
    // Each way tried, in order, as proxyDisplayText gives it ("direct://" for none). When
    // `reached` holds, the last one is the way the answer came through.
    std::vector<std::string> tried;
    bool reached = false;
};

// Called once per request, when the answer's headers arrived or when every way failed. Runs on
// the downloading thread, inside HttpClientDownloader::download.
using ProxyRouteObserver = std::function<void(const ProxyRoute&)>;

// Registers `observer` for the whole process (an empty function removes it) and returns the one
// registered before.
ProxyRouteObserver setProxyRouteObserver(ProxyRouteObserver observer);

// The observer registered now; empty when none is.
ProxyRouteObserver proxyRouteObserver();

}  // namespace quor::net
