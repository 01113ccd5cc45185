#!/usr/bin/env bash
# Download throughput and memory: a body (default 200 MB) served over loopback by the test
# server, read through HttpClientDownloader::download, against `curl -s -o /dev/null` of the same
# URL from the same server. Prints each run and the ratio of the best runs.
#   scripts/bench-download.sh [size-in-bytes] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-209715200}
runs=${2:-3}
build=${BUILD_DIR:-build-bench-net}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_WERROR=ON >/dev/null
cmake --build "$build" --target quor_net quor_test_support -j 2 >/dev/null
flags=(-std=c++20 -O2 -I. -DQUOR_FIXTURES_DIR=\"\" -DQUOR_BINARY_DIR=\"\")
g++ "${flags[@]}" benchmarks/net_download_server.cpp "$build/tests/support/libquor_test_support.a" \
    -lssl -lcrypto -lpthread -o "$build/net_download_server"
g++ "${flags[@]}" benchmarks/net_download_client.cpp "$build/net/libquor_net.a" \
    -lcurl -lssl -lcrypto -lboost_iostreams -lboost_regex -o "$build/net_download_client"

fifo=$(mktemp -u); mkfifo "$fifo"
"$build/net_download_server" "$size" < "$fifo" > "$build/server.url" &
server=$!
exec 3> "$fifo"
trap 'exec 3>&-; wait $server; rm -f "$fifo"' EXIT
for _ in $(seq 50); do [ -s "$build/server.url" ] && break; sleep 0.1; done
url=$(cat "$build/server.url")
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY

best_curl=0; best_ours=0
for i in $(seq "$runs"); do
    c=$(curl -s -o /dev/null -w '%{speed_download}' "$url")
    c=$(awk -v b="$c" 'BEGIN { printf "%.1f", b / 1e6 }')
    out=$(/usr/bin/time -f 'maxrss_kb %M' "$build/net_download_client" "$url" 2>&1)
    o=$(sed -n 's/.*MBps \([0-9.]*\).*/\1/p' <<<"$out")
    echo "run $i: curl ${c} MB/s; download() $out"
    best_curl=$(awk -v a="$best_curl" -v b="$c" 'BEGIN { print (b > a ? b : a) }')
    best_ours=$(awk -v a="$best_ours" -v b="$o" 'BEGIN { print (b > a ? b : a) }')
done
awk -v o="$best_ours" -v c="$best_curl" \
    'BEGIN { printf "best: download() %.1f MB/s, curl %.1f MB/s, ratio %.2f\n", o, c, o / c }'
