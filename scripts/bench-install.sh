#!/usr/bin/env bash
# Install-run speed and memory, side by side in one run:
#   - N authority certificates with RSA-4096 keys under three roots (a few keys sign and serve
#     many certificates, so generation stays quick), cached per N in the build folder;
#   - served on loopback (HTTP/1.1, keep-alive) as a chain list of N ".crt" entries and as a
#     list of one ".p7b" holding all N;
#   - each in a fresh HOME holding the shared NSS database (~/.pki/nssdb) and one Firefox
#     profile: `quor-certs install --yes` and its rerun (everything already installed), wall
#     time and peak memory;
#   - a user doing it by hand: `certutil -A` of each certificate into the same two databases;
#   - the floor: `curl` fetching the N files over one connection.
#   scripts/bench-install.sh [N...]        (default: 175; e.g. "175 2000")
# Release build in its own folder (BUILD_DIR, default build-bench-install).
set -euo pipefail
cd "$(dirname "$0")/.."
counts=("$@")
[ "${#counts[@]}" -gt 0 ] || counts=(175)
build=${BUILD_DIR:-build-bench-install}
# SKIP_BUILD=1 measures the quor-certs already built there (an earlier version, for instance).
if [ "${SKIP_BUILD:-0}" != 1 ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --target quor-certs -j 2 >/dev/null
fi
certs="$PWD/$build/cli/quor-certs"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

work=$(mktemp -d)
server=""
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Generates N certificates into $1 (DER files 0001.crt ..., all.p7b); kept for the next run.
generate() {
    local n=$1 dir=$2
    [ -f "$dir/done" ] && return 0
    rm -rf "$dir"; mkdir -p "$dir/keys"
    cat > "$dir/keys/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF
    for k in root1 root2 root3 level1 level2; do
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out "$dir/keys/$k.key" 2>/dev/null
    done
    local cnf="$dir/keys/ca.cnf" i
    # Three roots, a tenth of the rest as first-level authorities under them, the others under
    # the first-level ones: names and serials all distinct.
    for i in 1 2 3; do
        openssl req -x509 -new -config "$cnf" -key "$dir/keys/root$i.key" -days 3650 \
            -subj "/C=BR/O=ICP-Brasil/OU=Bancada/CN=Raiz Bancada v$i" -set_serial "$i" \
            -out "$dir/keys/r$i.pem" 2>/dev/null
    done
    local level1=$(( (n - 3) / 10 )); [ "$level1" -ge 1 ] || level1=1
    sign() {  # index, subject, issuer pem, issuer key, subject key
        openssl req -x509 -new -config "$cnf" -key "$5" -CA "$3" -CAkey "$4" -days 3650 \
            -subj "$2" -set_serial "$(( 1000 + $1 ))" -out "$dir/keys/c$1.pem" 2>/dev/null
    }
    for i in $(seq 1 "$level1"); do
        sign "$i" "/C=BR/O=ICP-Brasil/OU=Bancada/CN=AC Bancada $i" \
            "$dir/keys/r$(( (i - 1) % 3 + 1 )).pem" "$dir/keys/root$(( (i - 1) % 3 + 1 )).key" \
            "$dir/keys/level1.key"
    done
    export -f sign; export dir cnf level1
    seq $(( level1 + 1 )) $(( n - 3 )) | xargs -P 2 -I{} bash -c '
        i={}; p=$(( (i - 1) % level1 + 1 ))
        sign "$i" "/C=BR/O=ICP-Brasil/OU=Bancada/CN=AC Bancada Final $i" \
            "$dir/keys/c$p.pem" "$dir/keys/level1.key" "$dir/keys/level2.key"'
    local files=() f=0
    for pem in "$dir"/keys/r1.pem "$dir"/keys/r2.pem "$dir"/keys/r3.pem \
               $(for i in $(seq 1 $(( n - 3 ))); do echo "$dir/keys/c$i.pem"; done); do
        f=$(( f + 1 )); name=$(printf '%04d.crt' "$f")
        openssl x509 -in "$pem" -outform DER -out "$dir/$name"
        files+=("$pem")
    done
    cat "${files[@]}" > "$dir/all.pem"
    openssl crl2pkcs7 -nocrl -certfile "$dir/all.pem" -outform DER -out "$dir/all.p7b"
    touch "$dir/done"
}

# The web root: /DEZIruva/certificados/ lists the N files, /p7b/DEZIruva/certificados/ the one
# bundle.
serve() {
    local dir=$1 n=$2 www="$work/www-$n"
    mkdir -p "$www/DEZIruva" "$www/p7b/DEZIruva/certificados"
    ln -s "$dir" "$www/DEZIruva/certificados"
    ln -s "$dir/all.p7b" "$www/p7b/DEZIruva/certificados/all.p7b"
    printf '<Chains>\n  <Chain file="all.p7b"/>\n</Chains>\n' \
        > "$www/p7b/DEZIruva/certificados/Chains.xml"
    cat > "$work/server.py" <<'EOF'
import http.server, socketserver, sys, os
import socket
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out as separate writes: without this, Nagle's algorithm and the
    # client's delayed acknowledgement stall every response of a kept-alive connection.
    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    def log_message(self, *args): pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
os.chdir(sys.argv[1])
with Server(("127.0.0.1", 0), Handler) as httpd:
    print(httpd.server_address[1], flush=True)
    httpd.serve_forever()
EOF
    python3 "$work/server.py" "$www" > "$work/port" &
    server=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    base="http://127.0.0.1:$(cat "$work/port")/DEZIruva/certificados/"
    base_p7b="http://127.0.0.1:$(cat "$work/port")/p7b/DEZIruva/certificados/"
}

# A fresh home with ~/.pki/nssdb and one Firefox profile.
fresh_home() {
    local home=$1
    rm -rf "$home"; mkdir -p "$home/.pki/nssdb" "$home/.mozilla/firefox/bench.default"
    certutil -N -d "sql:$home/.pki/nssdb" --empty-password
    certutil -N -d "sql:$home/.mozilla/firefox/bench.default" --empty-password
    printf '[Profile0]\nName=default\nIsRelative=1\nPath=bench.default\nDefault=1\n' \
        > "$home/.mozilla/firefox/profiles.ini"
}

# Runs quor-certs install from a base URL; prints "seconds peak-kB".
ours() {
    local home=$1 url=$2 out="$work/out.txt"
    HOME="$home" XDG_DATA_HOME="$home/.local/share" /usr/bin/time -f '%e %M' -o "$work/time" \
        "$certs" install --yes --base-url "$url" > "$out" 2>&1 ||
        { echo "quor-certs install failed:" >&2; tail -5 "$out" >&2; exit 1; }
    cat "$work/time"
}

for n in "${counts[@]}"; do
    dir="$PWD/$build/bench-pki-$n"
    echo "== N = $n: generating (cached in $dir)..."
    generate "$n" "$dir"
    { echo '<Chains>'; for f in "$dir"/[0-9]*.crt; do echo "  <Chain file=\"$(basename "$f")\"/>"; done
      echo '</Chains>'; } > "$dir/Chains.xml"
    serve "$dir" "$n"

    fresh_home "$work/h-crt"
    read -r crt_s crt_kb < <(ours "$work/h-crt" "$base")
    read -r crt_rerun_s crt_rerun_kb < <(ours "$work/h-crt" "$base")
    fresh_home "$work/h-p7b"
    read -r p7b_s p7b_kb < <(ours "$work/h-p7b" "$base_p7b")
    read -r p7b_rerun_s p7b_rerun_kb < <(ours "$work/h-p7b" "$base_p7b")

    fresh_home "$work/h-certutil"
    start=$(date +%s.%N)
    for f in "$dir"/[0-9]*.crt; do
        trust=",,"
        case "$(basename "$f")" in 000[123].crt) trust="C,C,C" ;; esac
        for db in "$work/h-certutil/.pki/nssdb" "$work/h-certutil/.mozilla/firefox/bench.default"; do
            certutil -A -d "sql:$db" -n "$(basename "$f")" -t "$trust" -i "$f"
        done
    done
    certutil_s=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')

    for f in "$dir"/[0-9]*.crt; do echo "url = \"${base}$(basename "$f")\""; echo "output = /dev/null"; done \
        > "$work/curl.cfg"
    curl_s=$(/usr/bin/time -f '%e' curl -s -K "$work/curl.cfg" 2>&1 >/dev/null | tail -1)

    kill "$server"; wait "$server" 2>/dev/null || true; server=""
    ratio=$(awk -v c="$certutil_s" -v o="$crt_s" 'BEGIN { printf "%.1f", (o > 0 ? c / o : 0) }')
    printf '%-44s %8s %10s\n' "N = $n" "seconds" "peak MB"
    row() { printf '%-44s %8s %10s\n' "$1" "$2" "$([ -n "${3:-}" ] && awk -v k="$3" 'BEGIN { printf "%.1f", k / 1024 }')"; }
    row "quor-certs install, $n .crt entries" "$crt_s" "$crt_kb"
    row "quor-certs install again (all installed)" "$crt_rerun_s" "$crt_rerun_kb"
    row "quor-certs install, one .p7b of $n" "$p7b_s" "$p7b_kb"
    row "quor-certs install again, .p7b" "$p7b_rerun_s" "$p7b_rerun_kb"
    row "certutil -A loop, same two databases" "$certutil_s"
    row "curl, the $n files over one connection" "$curl_s"
    echo "certutil loop / our install: ${ratio}x"
done
