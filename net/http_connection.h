// What a downloader keeps between its requests (internal to net/).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace quor::net {

// HttpConnection holds a libcurl share handle through which the requests of every downloader
// alive at the same time in the process share the DNS cache, TLS sessions and kept-alive
// connections. Each downloader is single-threaded, but two downloaders may run on different
// threads, so the share locks each kind of data it holds.
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
    static void lockData(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlockData(CURL* handle, curl_lock_data data, void* self);
    static std::size_t lockIndex(curl_lock_data data);

    static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
    CURLSH* share_;
    std::array<std::mutex, kLocks> locks_;
};

}  // namespace quor::net
