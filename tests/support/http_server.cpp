#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace quor::test {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 407:
            return "Proxy Authentication Required";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::runtime_error systemError(const char* what) {
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return value;
    }
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(),
                      [&](const auto& h) { return equalsIgnoringCase(h.first, name); }));
}

bool HttpExchange::respond(const CannedResponse& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
    return write(head) && write(response.body);
}

struct HttpServer::Tls {
    SSL_CTX* context = nullptr;
    ~Tls() { SSL_CTX_free(context); }
};

// One accepted connection, plain or TLS, owned by its serving thread and by the server's list of
// open connections (so that stop() can shut it down).
class HttpServer::Connection : public HttpExchange {
  public:
    Connection(HttpServer& server, int fd) : server_(server), fd_(fd) {}
    ~Connection() override {
        SSL_free(ssl_);
        ::close(fd_);
    }

    bool startTls(SSL_CTX* context) {
        ssl_ = SSL_new(context);
        if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1)
            return false;
        const bool ok = SSL_accept(ssl_) == 1;
        ERR_clear_error();
        return ok;
    }

    void shutdown() { ::shutdown(fd_, SHUT_RDWR); }

    // Reads what is available (waiting for it); false at the end of the connection or on stop.
    bool readSome(std::string& into) {
        char chunk[16384];
        if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {server_.wakeFds_[0], POLLIN, 0}};
            while (::poll(fds, 2, -1) < 0) {
                if (errno != EINTR)
                    return false;
            }
            if (fds[1].revents != 0 || server_.stopping_)
                return false;
        }
        long n = 0;
        if (ssl_ != nullptr) {
            n = SSL_read(ssl_, chunk, sizeof chunk);
            ERR_clear_error();
        } else {
            n = ::recv(fd_, chunk, sizeof chunk, 0);
        }
        if (n <= 0)
            return false;
        into.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    const RecordedRequest& request() const override { return request_; }

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            if (server_.stopping_)
                return false;
            long n = 0;
            if (ssl_ != nullptr) {
                n = SSL_write(ssl_, bytes.data(),
                              static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
                ERR_clear_error();
            } else {
                n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
            if (n <= 0) {
                if (n < 0 && errno == EINTR && ssl_ == nullptr)
                    continue;
                return false;
            }
            server_.bytesWritten_ += static_cast<std::uint64_t>(n);
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    bool pause(std::chrono::milliseconds duration) override {
        std::unique_lock lock(server_.mutex_);
        return !server_.stopped_.wait_for(lock, duration,
                                          [this] { return server_.stopping_.load(); });
    }

    void closeAfter() override { keepAlive_ = false; }

    RecordedRequest request_;
    bool keepAlive_ = true;

  private:
    HttpServer& server_;
    int fd_;
    SSL* ssl_ = nullptr;
};

HttpServer::HttpServer() {
    start();
}

HttpServer::HttpServer(const TlsIdentity& tls) : tls_(std::make_unique<Tls>()) {
    tls_->context = SSL_CTX_new(TLS_server_method());
    if (tls_->context == nullptr ||
        SSL_CTX_use_certificate_chain_file(tls_->context, tls.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_->context, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_clear_error();
        throw std::runtime_error("cannot load the TLS identity of the test server");
    }
    start();
}

void HttpServer::start() {
    // A client that goes away mid-response must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(wakeFds_) != 0)
        throw systemError("pipe");
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw systemError("socket");
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        throw systemError("bind/listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
    stop();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    for (int fd : wakeFds_) {
        if (fd >= 0)
            ::close(fd);
    }
}

void HttpServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_.exchange(true))
            return;
        for (const auto& connection : open_)
            connection->shutdown();
    }
    stopped_.notify_all();
    const char wake = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFds_[1], &wake, 1);
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& thread : threads)
        thread.join();
}

std::string HttpServer::origin() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::wstring HttpServer::url(const std::string& target) const {
    const std::string text = origin() + target;
    return std::wstring(text.begin(), text.end());
}

void HttpServer::serve(const std::string& target, CannedResponse response) {
    handle(target, [response = std::move(response)](HttpExchange& exchange) {
        exchange.respond(response);
    });
}

void HttpServer::handle(const std::string& target, HttpHandler handler) {
    std::lock_guard lock(mutex_);
    handlers_[target] = std::move(handler);
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0 || stopping_)
            return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        // Responses go out in several writes; do not let them wait for delayed acknowledgements.
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        auto connection = std::make_shared<Connection>(*this, fd);
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        open_.push_back(connection);
        threads_.emplace_back([this, connection] { serveConnection(connection); });
    }
}

void HttpServer::serveConnection(std::shared_ptr<Connection> connection) {
    auto forget = [&] {
        std::lock_guard lock(mutex_);
        open_.erase(std::remove(open_.begin(), open_.end(), connection), open_.end());
    };
    if (tls_ && !connection->startTls(tls_->context)) {
        forget();
        return;
    }
    std::string pending;
    while (connection->keepAlive_ && !stopping_) {
        std::size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            if (pending.size() > (1 << 20) || !connection->readSome(pending)) {
                forget();
                return;
            }
        }
        RecordedRequest request;
        const std::string head = pending.substr(0, headEnd);
        pending.erase(0, headEnd + 4);
        std::size_t lineEnd = head.find("\r\n");
        request.requestLine = head.substr(0, lineEnd);
        const auto firstSpace = request.requestLine.find(' ');
        const auto secondSpace = request.requestLine.find(' ', firstSpace + 1);
        request.method = request.requestLine.substr(0, firstSpace);
        if (firstSpace != std::string::npos) {
            request.target =
                request.requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        }
        while (lineEnd != std::string::npos) {
            const std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(
                start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const auto colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            request.headers.emplace_back(line.substr(0, colon), value);
        }
        const auto length = request.header("Content-Length");
        const std::size_t bodyLength = length ? std::stoul(*length) : 0;
        while (pending.size() < bodyLength) {
            if (!connection->readSome(pending)) {
                forget();
                return;
            }
        }
        request.body = pending.substr(0, bodyLength);
        pending.erase(0, bodyLength);
        const auto connectionHeader = request.header("Connection");
        if (connectionHeader && equalsIgnoringCase(*connectionHeader, "close")) {
            connection->keepAlive_ = false;
        }

        HttpHandler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            const auto found = handlers_.find(request.target);
            if (found != handlers_.end())
                handler = found->second;
        }
        connection->request_ = std::move(request);
        if (handler) {
            handler(*connection);
        } else {
            connection->respond({404, {{"Content-Type", "text/plain"}}, "no such object"});
        }
    }
    forget();
}

}  // namespace quor::test
