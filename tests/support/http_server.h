// A loopback HTTP/1.1 server for tests, with optional TLS.
//
// It listens on 127.0.0.1 on a port the system picks, serves canned responses or custom handlers
// by exact request target, records every request it receives, and stops (closing every
// connection) in its destructor. Connections are kept alive between requests like a real server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quor::test {

// One request as the server read it off the wire.
struct RecordedRequest {
    std::string requestLine;  // "GET /a/b.xml HTTP/1.1"
    std::string method;
    std::string target;
    // Header lines in the order received, name and value as sent (value without leading blanks).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // First value of the header `name` (case-insensitive), if it was sent.
    std::optional<std::string> header(std::string_view name) const;
    // How many times the header `name` (case-insensitive) was sent.
    std::size_t headerCount(std::string_view name) const;
};

struct CannedResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// HttpExchange gives a handler the request and raw access to the connection.
class HttpExchange {
  public:
    virtual ~HttpExchange() = default;
    virtual const RecordedRequest& request() const = 0;
    // Writes raw bytes; false once the peer is gone or the server stops.
    virtual bool write(std::string_view bytes) = 0;
    // Writes a whole response with its Content-Length.
    bool respond(const CannedResponse& response);
    // Waits, returning early (false) when the server stops.
    virtual bool pause(std::chrono::milliseconds duration) = 0;
    // Closes the connection after the handler returns instead of keeping it alive.
    virtual void closeAfter() = 0;
};

using HttpHandler = std::function<void(HttpExchange&)>;

// PEM files of the server's certificate (with any intermediates after it) and private key.
struct TlsIdentity {
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;
};

class HttpServer {
  public:
    // Starts listening at once; throws std::runtime_error when it cannot.
    HttpServer();
    explicit HttpServer(const TlsIdentity& tls);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Answers requests for exactly `target` (path and query) with `response`.
    void serve(const std::string& target, CannedResponse response);
    // Lets `handler` answer requests for exactly `target`. Unknown targets get 404.
    void handle(const std::string& target, HttpHandler handler);

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (or https), without a trailing slash.
    std::string origin() const;
    // origin() + target as a wide string, for the downloader.
    std::wstring url(const std::string& target) const;

    std::vector<RecordedRequest> requests() const;
    std::size_t connectionsAccepted() const { return connections_.load(); }
    // Body and header bytes written to clients so far.
    std::uint64_t bytesWritten() const { return bytesWritten_.load(); }

    // Stops accepting, closes every connection and waits for the server's threads.
    void stop();

  private:
    struct Tls;
    class Connection;
    void start();
    void acceptLoop();
    void serveConnection(std::shared_ptr<Connection> connection);

    std::unique_ptr<Tls> tls_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::uint64_t> bytesWritten_{0};

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::map<std::string, HttpHandler> handlers_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::shared_ptr<Connection>> open_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace quor::test
