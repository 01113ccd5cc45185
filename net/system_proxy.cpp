#include "net/system_proxy.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <proxy.h>

namespace quor::net {

namespace {

struct FactoryDeleter {
    void operator()(pxProxyFactory* factory) const noexcept { px_proxy_factory_free(factory); }
};
struct AnswersDeleter {
    void operator()(char** answers) const noexcept { px_proxy_factory_free_proxies(answers); }
};
using FactoryPtr = std::unique_ptr<pxProxyFactory, FactoryDeleter>;
using AnswersPtr = std::unique_ptr<char*, AnswersDeleter>;

// One lock for everything below: libproxy's factory and the answers of the current run.
std::mutex stateMutex;
int scopeDepth = 0;
// Kept only while a scope lives: making a factory loads every libproxy module (the PAC runner's
// JavaScript engine among them) and, on GNOME, starts its settings helper.
FactoryPtr runFactory;
std::map<std::string, std::vector<std::string>> runAnswers;

// libproxy unloads its modules with each factory, but the PAC runner's JavaScript engine leaves
// threads and signal handlers behind that crash the process once their code is unmapped. Each
// module is therefore kept loaded, with everything it loaded, for the rest of the process.
int pinLibproxyModule(dl_phdr_info* info, size_t, void*) {
    const char* name = info->dlpi_name;
    if (name != nullptr && std::strstr(name, "/libproxy/") != nullptr &&
        std::strstr(name, "/modules/") != nullptr) {
        // The handle is never closed: with RTLD_NODELETE nothing would be unloaded anyway.
        static_cast<void>(::dlopen(name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE));
    }
    return 0;
}

pxProxyFactory* newFactory() {
    pxProxyFactory* factory = px_proxy_factory_new();
    ::dl_iterate_phdr(pinLibproxyModule, nullptr);
    return factory;
}

std::mutex observerMutex;
ProxyRouteObserver& registeredObserver() {
    static ProxyRouteObserver observer;
    return observer;
}

// "scheme://host:port" of a URL, the unit the answers are kept for.
std::string placeOf(const std::string& url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return url;
    return url.substr(0, url.find('/', schemeEnd + 3));
}

std::optional<std::vector<std::string>> ask(pxProxyFactory* factory, const std::string& url) {
    if (factory == nullptr)
        return std::nullopt;
    const AnswersPtr answers(px_proxy_factory_get_proxies(factory, url.c_str()));
    if (!answers || answers.get()[0] == nullptr)
        return std::nullopt;
    std::vector<std::string> list;
    for (char** answer = answers.get(); *answer != nullptr; ++answer)
        list.emplace_back(*answer);
    return list;
}

}  // namespace

std::optional<std::string> curlProxyFor(const std::string& answer) {
    if (answer.rfind("direct://", 0) == 0)
        return std::string();
    const auto schemeEnd = answer.find("://");
    if (schemeEnd == std::string::npos || schemeEnd + 3 == answer.size())
        return std::nullopt;
    const std::string scheme = answer.substr(0, schemeEnd);
    // libproxy says "socks" when the setting does not name a version; SOCKS 5 is what desktops
    // mean by it today.
    if (scheme == "socks")
        return "socks5" + answer.substr(schemeEnd);
    if (scheme == "http" || scheme == "https" || scheme == "socks4" || scheme == "socks4a" ||
        scheme == "socks5" || scheme == "socks5h") {
        return answer;
    }
    return std::nullopt;
}

std::string proxyDisplayText(const std::string& answer) {
    const auto schemeEnd = answer.find("://");
    if (schemeEnd == std::string::npos)
        return answer;
    const auto hostStart = schemeEnd + 3;
    const auto authorityEnd = answer.find('/', hostStart);
    const auto at =
        answer.rfind('@', authorityEnd == std::string::npos ? answer.size() - 1 : authorityEnd);
    if (at == std::string::npos || at < hostStart)
        return answer;
    return answer.substr(0, hostStart) + answer.substr(at + 1);
}

std::optional<std::vector<std::string>> systemProxiesFor(const std::string& url) {
    const std::lock_guard lock(stateMutex);
    if (scopeDepth == 0) {
        const FactoryPtr factory(newFactory());
        return ask(factory.get(), url);
    }
    const std::string place = placeOf(url);
    if (const auto known = runAnswers.find(place); known != runAnswers.end())
        return known->second;
    if (!runFactory)
        runFactory.reset(newFactory());
    auto answers = ask(runFactory.get(), url);
    if (answers)
        runAnswers.emplace(place, *answers);
    return answers;
}

ScopedProxyCache::ScopedProxyCache() {
    const std::lock_guard lock(stateMutex);
    ++scopeDepth;
}

ScopedProxyCache::~ScopedProxyCache() {
    const std::lock_guard lock(stateMutex);
    if (--scopeDepth == 0) {
        runAnswers.clear();
        runFactory.reset();
    }
}

ProxyRouteObserver setProxyRouteObserver(ProxyRouteObserver observer) {
    const std::lock_guard lock(observerMutex);
    return std::exchange(registeredObserver(), std::move(observer));
}

ProxyRouteObserver proxyRouteObserver() {
    const std::lock_guard lock(observerMutex);
    return registeredObserver();
}

}  // namespace quor::net
