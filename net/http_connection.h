// What a downloader keeps between its requests (internal to net/).
#pragma once

#include <memory>

#include <curl/curl.h>

namespace quor::net {

// HttpConnection holds a libcurl share handle through which every request of one downloader
// shares the DNS cache, TLS sessions and kept-alive connections. Single-threaded, like the
// downloader, so the share needs no locks.
class HttpConnection {
  public:
    // Returns null when libcurl cannot be initialised.
    static std::shared_ptr<HttpConnection> open();

    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    CURLSH* share() const { return share_; }

  private:
    explicit HttpConnection(CURLSH* share) : share_(share) {}
    CURLSH* share_;
};

}  // namespace quor::net
