#include "net/proxy_credentials.h"

#include <mutex>
#include <utility>

namespace quor::net {

namespace {
std::mutex handlerMutex;
ProxyCredentialsHandler& registeredHandler() {
    static ProxyCredentialsHandler handler;
    return handler;
}
}  // namespace

ProxyCredentialsHandler setProxyCredentialsHandler(ProxyCredentialsHandler handler) {
    std::lock_guard lock(handlerMutex);
    return std::exchange(registeredHandler(), std::move(handler));
}

ProxyCredentialsHandler proxyCredentialsHandler() {
    std::lock_guard lock(handlerMutex);
    return registeredHandler();
}

}  // namespace quor::net
