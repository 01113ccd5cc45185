#include "net/http_connection.h"

#include <unistd.h>

#include <mutex>

namespace quor::net {

namespace {
bool curlReady() {
    // Once per process, before any other libcurl call; never undone, since other threads of the
    // program may still use libcurl at exit.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}
}  // namespace

std::shared_ptr<HttpConnection> HttpConnection::open() {
    if (!curlReady())
        return nullptr;
    // One share for every downloader alive at the same time: the install run keeps its list
    // downloader for the whole run, so each entry's downloader finds the connection the previous
    // entry left open instead of connecting again. A share must not cross fork().
    static std::mutex cacheMutex;
    static std::weak_ptr<HttpConnection> current;
    static pid_t currentPid = 0;
    std::lock_guard lock(cacheMutex);
    if (currentPid == ::getpid()) {
        if (std::shared_ptr<HttpConnection> live = current.lock())
            return live;
    }
    CURLSH* share = curl_share_init();
    if (share == nullptr)
        return nullptr;
    std::shared_ptr<HttpConnection> connection(new HttpConnection(share));
    // Downloaders on different threads may now use the share at once.
    curl_share_setopt(share, CURLSHOPT_USERDATA, connection.get());
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &HttpConnection::lockData);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &HttpConnection::unlockData);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    current = connection;
    currentPid = ::getpid();
    return connection;
}

void HttpConnection::lockData(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<HttpConnection*>(self)->locks_[lockIndex(data)].lock();
}

void HttpConnection::unlockData(CURL*, curl_lock_data data, void* self) {
    static_cast<HttpConnection*>(self)->locks_[lockIndex(data)].unlock();
}

std::size_t HttpConnection::lockIndex(curl_lock_data data) {
    const auto index = static_cast<std::size_t>(data);
    return index < kLocks ? index : 0;
}

HttpConnection::~HttpConnection() {
    curl_share_cleanup(share_);
}

}  // namespace quor::net
