// One HTTP request and the input source that yields its response body.
#pragma once

#include <cstdint>
#include <ios>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/iostreams/categories.hpp>

namespace quor::net {

// HttpConnection is what a downloader keeps for its whole life and every request it makes
// shares: the DNS cache, TLS sessions and kept-alive connections. Defined in net/http_connection.h.
class HttpConnection;

// Everything one request needs; filled by the downloader for each download.
struct HttpRequestSettings {
    // The downloader's connection; a null connection makes the request fail to send.
    std::shared_ptr<HttpConnection> connection;
    bool secure = false;
    bool followRedirects = true;
    // "GET" or "POST".
    std::wstring verb = L"GET";
    std::wstring host;
    std::uint16_t port = 80;
    // Object name of the request line: path and query.
    std::wstring object;
    std::vector<unsigned char> body;
    // Media types offered before "*/*", which is always offered last.
    std::vector<std::wstring> acceptTypes;
    // Extra request headers, name to value, sent in the map's iteration order.
    std::unordered_map<std::wstring, std::wstring> headers;
    // Connect time-out, and the longest wait for the next byte while sending or receiving.
    int timeoutMs = 60000;
};

class HttpTransfer;

// HttpSource is a Boost iostreams input source over one response body.
//
// Constructing it performs the request: it connects, sends, asks the registered proxy
// credentials handler when a proxy answers 407, and returns once the final response's headers
// have arrived. The body is then pulled from the network as `read` is called, never held whole:
// the transfer pauses while the reader does not keep up.
//
// Copies share the one request; `close` ends it for all of them. A request that was never
// closed ends with the last copy.
class HttpSource {
  public:
    using char_type = char;
    struct category : boost::iostreams::source_tag, boost::iostreams::closable_tag {};

    // Throws HostNotFoundException("host:port/object") when the request cannot be sent: no
    // connection, unresolvable name, refused or timed-out connection, an unforgiven TLS failure,
    // or no response header within the time-out. Every HTTP status is a response, not an error.
    explicit HttpSource(const HttpRequestSettings& settings);

    // Places up to `count` body bytes in `buffer` and returns how many; 0 at the end of the body,
    // after a transfer error (the body then simply looks shorter) and after close. Never -1.
    std::streamsize read(char* buffer, std::streamsize count);

    // Ends the request and releases its connection.
    void close();

    // Status code of the final response (after any redirects that were followed).
    long status() const;

  private:
    std::shared_ptr<HttpTransfer> transfer_;
};

}  // namespace quor::net
