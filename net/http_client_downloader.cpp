#include "net/http_client_downloader.h"

#include <stdexcept>
#include <utility>

#include <boost/iostreams/stream.hpp>

#include "net/http_connection.h"
#include "net/http_source.h"
#include "net/url.h"

namespace quor::net {

class HttpClientDownloader::HttpClientDownloaderImpl {
  public:
    HttpClientDownloaderImpl(const std::wstring& url, int timeout, bool follow)
        : timeoutMs(timeout), followRedirects(follow) {
        const UrlParts parts = parseUrl(url);
        secure = parts.secure;
        port = parts.port;
        host = parts.host;
        path = parts.path;
        connection = HttpConnection::open();
        ready = connection != nullptr;
    }

    std::istream* download(const std::wstring& relativePath) {
        if (currentStream && relativePath == lastPath)
            return currentStream.get();
        HttpRequestSettings settings;
        settings.connection = connection;
        settings.secure = secure;
        settings.followRedirects = followRedirects;
        settings.verb = method == Method::Post ? L"POST" : L"GET";
        settings.host = host;
        settings.port = port;
        settings.object = joinObjectPath(path, relativePath);
        settings.body = body;
        settings.acceptTypes = acceptTypes;
        settings.headers = headers;
        settings.timeoutMs = timeoutMs;
        // The new request goes out while the previous response is still open; only its success
        // replaces (and so closes) the previous stream.
        auto next = std::make_unique<boost::iostreams::stream<HttpSource>>(settings);
        currentStream = std::move(next);
        lastPath = relativePath;
        return currentStream.get();
    }

    bool ready = true;
    std::wstring host;
    std::uint16_t port = 80;
    std::wstring path;
    bool secure = false;
    Method method = Method::Get;
    std::vector<unsigned char> body;
    std::vector<std::wstring> acceptTypes;
    std::unordered_map<std::wstring, std::wstring> headers;
    int timeoutMs;
    bool followRedirects;
    std::wstring lastPath;
    // Declared after the connection so that it is destroyed first: a response belongs to the
    // connection it came through.
    std::shared_ptr<HttpConnection> connection;
    std::unique_ptr<boost::iostreams::stream<HttpSource>> currentStream;
};

HttpClientDownloader::HttpClientDownloader(const std::wstring& url, int timeoutMs,
                                           bool followRedirects)
    : impl_(std::make_shared<HttpClientDownloaderImpl>(url, timeoutMs, followRedirects)) {}

HttpClientDownloader::HttpClientDownloader(const wchar_t* url, int timeoutMs,
                                           bool followRedirects) {
    if (url == nullptr)
        throw std::invalid_argument("Irregular URL");
    impl_ =
        std::make_shared<HttpClientDownloaderImpl>(std::wstring(url), timeoutMs, followRedirects);
    if (!impl_->ready) {
        impl_.reset();
        throw std::runtime_error("Error setting HTTP Connection for this url");
    }
}

bool HttpClientDownloader::isReady() const {
    return impl_->ready;
}

std::istream* HttpClientDownloader::download(const std::wstring& relativePath) {
    return impl_->download(relativePath);
}

void HttpClientDownloader::setMethod(Method method) {
    impl_->method = method;
}

void HttpClientDownloader::setBody(std::vector<unsigned char> body) {
    impl_->body = std::move(body);
}

void HttpClientDownloader::setAcceptTypes(std::vector<std::wstring> acceptTypes) {
    for (const auto& type : acceptTypes) {
        if (type.find_first_of(L"\r\n,") != std::wstring::npos) {
            throw std::invalid_argument("Accept type holds a line break or a comma");
        }
    }
    impl_->acceptTypes = std::move(acceptTypes);
}

void HttpClientDownloader::setHeaders(std::unordered_map<std::wstring, std::wstring> headers) {
    // A line break in a name or value would smuggle extra header lines into the request.
    for (const auto& [name, value] : headers) {
        if (name.empty() || name.find_first_of(L"\r\n: \t") != std::wstring::npos ||
            value.find_first_of(L"\r\n") != std::wstring::npos) {
            throw std::invalid_argument("Irregular request header");
        }
    }
    impl_->headers = std::move(headers);
}

std::wstring HttpClientDownloader::joinObjectPath(const std::wstring& path,
                                                  const std::wstring& relativePath) {
    std::wstring object = path;
    if (!path.empty() && !relativePath.empty() && path.back() != L'/')
        object += L'/';
    object += relativePath;
    return object;
}

}  // namespace quor::net
