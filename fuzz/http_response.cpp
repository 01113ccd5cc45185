// The HTTP response path: a loopback server answers every request with the fuzz input as raw
// bytes (status line, headers, body, all hostile) and closes; the downloader's stream is read
// to its end. Redirects are not followed, so nothing ever leaves 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <istream>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "net/http_client_downloader.h"

namespace {

std::mutex answerMutex;
std::string answer;
int listenFd = -1;
std::uint16_t port = 0;

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads the request head (up to the blank line, or whatever arrives within a short wait), then
// answers with the current input and closes.
void serveOne(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string bytes;
    {
        const std::lock_guard<std::mutex> lock(answerMutex);
        bytes = answer;
    }
    writeAll(fd, bytes);
    shutdown(fd, SHUT_WR);
    close(fd);
}

void serve() {
    for (;;) {
        const int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        serveOne(fd);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never a proxy: the requests go straight to the loopback server, whatever the desktop
    // of whoever runs the fuzzer is set to.
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION"})
        unsetenv(name);
    listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listenFd, 16) != 0 ||
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        abort();
    port = ntohs(address.sin_port);
    std::thread(serve).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        const std::lock_guard<std::mutex> lock(answerMutex);
        answer = quor::fuzz::bytes(data, size);
    }
    try {
        quor::net::HttpClientDownloader downloader(
            L"http://127.0.0.1:" + std::to_wstring(port) + L"/DEZIruva/certificados/Chains.xml",
            2000, false);
        std::istream* body = downloader.download(L"");
        char buffer[4096];
        while (body->read(buffer, sizeof buffer) || body->gcount() > 0) {
        }
    } catch (const std::exception&) {
        // HostNotFoundException and stream failures are reported outcomes.
    }
    return 0;
}
