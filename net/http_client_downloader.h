// Fetching files over HTTP or HTTPS as input streams.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor::net {

// HttpClientDownloader is bound to one URL at construction and fetches objects relative to its
// path. Each download performs one request and hands back the response body as a stream that
// pulls the body from the network while it is read.
//
// The downloader owns the stream it returns. Copies share one implementation (and its stream).
// Requests go out with the user agent "QuorsaApplication", bypass caches, keep the connection
// alive and use the proxy of the environment (http_proxy, https_proxy, no_proxy). For HTTPS an
// unknown or self-signed issuer is accepted; a wrong host name or an expired certificate is not.
class HttpClientDownloader {
  public:
    enum class Method { Get = 0, Post = 1 };

    // Binds the downloader to `url`. `timeoutMs` bounds connecting and every wait for the next
    // byte; `followRedirects` lets 3xx answers be followed (else they are the content).
    //
    // Throws std::invalid_argument("Irregular URL") or ("Only http or https supported") and
    // boost::bad_lexical_cast for a port above 65535. When the network layer cannot be set up the
    // object is still built and isReady() is false.
    HttpClientDownloader(const std::wstring& url, int timeoutMs, bool followRedirects);

    // As above, from a null-terminated wide text; additionally throws
    // std::runtime_error("Error setting HTTP Connection for this url") when not ready.
    HttpClientDownloader(const wchar_t* url, int timeoutMs, bool followRedirects);

    bool isReady() const;

    // download performs one request for the object named by the URL's path joined with
    // `relativePath` (see joinObjectPath) and returns its body as a stream. Any HTTP status,
    // 4xx and 5xx included, yields that response's body.
    //
    // Asking again for the same relative path returns the same stream, with no request; another
    // path sends a new request and only when that succeeds replaces (and closes) the previous
    // stream. The stream stays valid until then or until the last copy of this downloader goes.
    //
    // Throws HostNotFoundException("host:port/object: Unreachable") when the request cannot be
    // sent; the previous stream then stays current.
    std::istream* download(const std::wstring& relativePath);

    // Request options; a download uses the values set when it starts. By default: GET, no body,
    // no extra accept types or headers.
    void setMethod(Method method);
    void setBody(std::vector<unsigned char> body);
    void setAcceptTypes(std::vector<std::wstring> acceptTypes);
    void setHeaders(std::unordered_map<std::wstring, std::wstring> headers);

    // joinObjectPath joins the URL path and a relative path with exactly one "/" between them
    // when both are non-empty: "/a" + "b" and "/a/" + "b" give "/a/b", "" + "b" gives "b".
    static std::wstring joinObjectPath(const std::wstring& path, const std::wstring& relativePath);

    class HttpClientDownloaderImpl;

  private:
    std::shared_ptr<HttpClientDownloaderImpl> impl_;
};

}  // namespace quor::net
