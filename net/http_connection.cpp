#include "net/http_connection.h"

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
    CURLSH* share = curl_share_init();
    if (share == nullptr)
        return nullptr;
    std::shared_ptr<HttpConnection> connection(new HttpConnection(share));
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    return connection;
}

HttpConnection::~HttpConnection() {
    curl_share_cleanup(share_);
}

}  // namespace quor::net
