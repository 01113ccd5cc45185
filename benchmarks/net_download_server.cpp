// Serves a large body over loopback for scripts/bench-download.sh: prints the URL, then serves
// until its standard input closes.
#include <iostream>
#include <string>

#include "tests/support/http_server.h"

int main(int argc, char** argv) {
    const unsigned long long size = argc > 1 ? std::stoull(argv[1]) : 200ull << 20;
    quor::test::HttpServer server;
    server.handle("/big", [size](quor::test::HttpExchange& exchange) {
        if (!exchange.write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                            "\r\n\r\n")) {
            return;
        }
        const std::string block(1 << 20, 'q');
        for (unsigned long long sent = 0; sent < size; sent += block.size()) {
            const auto n =
                static_cast<std::size_t>(std::min<unsigned long long>(block.size(), size - sent));
            if (!exchange.write(std::string_view(block).substr(0, n)))
                return;
        }
    });
    std::cout << server.origin() << "/big" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
