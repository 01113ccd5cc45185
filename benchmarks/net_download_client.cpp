// Reads one URL through HttpClientDownloader::download to the end, as the installer reads its
// files, and reports bytes, throughput and the growth of peak memory while doing so.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "net/http_client_downloader.h"

namespace {
long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: net_download_client URL\n";
        return 2;
    }
    const std::string narrow = argv[1];
    const std::wstring url(narrow.begin(), narrow.end());
    const long startKb = peakRssKb();
    const auto start = std::chrono::steady_clock::now();
    quor::net::HttpClientDownloader downloader(url, 60000, true);
    std::istream* body = downloader.download(L"");
    static char buffer[1 << 16];
    unsigned long long total = 0;
    while (body->read(buffer, sizeof buffer) || body->gcount() > 0) {
        total += static_cast<unsigned long long>(body->gcount());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("bytes %llu seconds %.3f MBps %.1f peak_rss_growth_kb %ld\n", total, seconds,
                static_cast<double>(total) / seconds / 1e6, peakRssKb() - startKb);
    return 0;
}
