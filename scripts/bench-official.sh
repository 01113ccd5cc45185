#!/usr/bin/env bash
# Time of `quor-certs install --official --yes` over a loopback copy of the national authority's
# archive (built by tests/fixtures/official-archive/make-archive.py from the real certificates of
# tests/fixtures), each run into a fresh temporary home, against the by-hand way a Linux user
# follows today for the browsers: `unzip` the same archive and `certutil -A` every .crt into a
# fresh NSS database (no hash check, no signature check). Prints each run and the best of each.
#   scripts/bench-official.sh [runs]       BUILD_DIR=build by default
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${BUILD_DIR:-build}
certs="$build/cli/quor-certs"
[ -x "$certs" ] || { echo "build quor-certs first ($certs)" >&2; exit 1; }
work=$(mktemp -d)
server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
python3 tests/fixtures/official-archive/make-archive.py "$work/www" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$work/www" && exec python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
url="http://127.0.0.1:$port/good/"
for _ in $(seq 50); do curl -sf -o /dev/null "$url/hashsha512.txt" && break; sleep 0.1; done
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY
count=$(unzip -Z1 "$work/www/good/ACcompactado.zip" | grep -c '\.crt$')

now() { date +%s.%N; }
best_ours=999; best_hand=999
for i in $(seq "$runs"); do
    home="$work/home-$i"; mkdir -p "$home"
    start=$(now)
    HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
        "$certs" install --official --official-url "$url" --yes >/dev/null 2>&1
    ours=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')

    hand="$work/hand-$i"; mkdir -p "$hand/db"
    start=$(now)
    curl -s -o "$hand/a.zip" "$url/ACcompactado.zip"
    unzip -q "$hand/a.zip" -d "$hand/files"
    certutil -N -d "sql:$hand/db" --empty-password
    for f in "$hand/files"/*.crt; do
        certutil -A -d "sql:$hand/db" -n "$(basename "$f")" -t "C,C,C" -a -i "$f" 2>/dev/null || true
    done
    byhand=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
    echo "run $i: quor-certs install --official ${ours} s; unzip + certutil -A ${byhand} s ($count certificates)"
    best_ours=$(awk -v a="$best_ours" -v b="$ours" 'BEGIN { print (b < a ? b : a) }')
    best_hand=$(awk -v a="$best_hand" -v b="$byhand" 'BEGIN { print (b < a ? b : a) }')
done
awk -v o="$best_ours" -v h="$best_hand" -v n="$count" 'BEGIN {
    printf "best: install --official %.3f s (%.1f ms per certificate), by hand %.3f s, ratio %.2f\n",
           o, 1000 * o / n, h, o / h }'
