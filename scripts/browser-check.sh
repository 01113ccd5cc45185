#!/usr/bin/env bash
# Checks with real browsers that installing chains reaches the programs people run: each row is a
# fresh home and a browser that must refuse an HTTPS page from a loopback server (its certificate
# issued under a test root) before `quor-certs install` has installed that root (served from a
# loopback download folder), and load it afterwards. "Loaded" is decided by what the HTTPS server
# saw: a completed handshake and the GET of that row's own path.
#
# Rows: headless Chromium in a fresh home; headless Chromium in a home where Chromium created its
# NSS database first; headless Firefox ESR with a profile it created itself (-CreateProfile).
#
# Usage: scripts/browser-check.sh [BUILD_DIR]   (default: build; needs cli/quor-certs built)
# Not part of the default test suite: it needs the chromium and firefox-esr packages (installed
# here when run as root) and takes some seconds per browser start. Every browser is sent to a
# dead proxy for anything but loopback, so no traffic leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quor_certs=$PWD/$build/cli/quor-certs
if [ ! -x "$quor_certs" ]; then
    echo "browser-check: $quor_certs not found; build it first: cmake --build $build --target quor-certs" >&2
    exit 2
fi
missing=()
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v firefox-esr >/dev/null 2>&1 || missing+=(firefox-esr)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "browser-check: ${missing[*]} not found: sudo apt-get install ${missing[*]}" >&2
        exit 2
    fi
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/site"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A test root and a server certificate for 127.0.0.1 issued under it.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Raiz Teste Navegador" \
    -keyout "$work/root.key" -out "$work/root.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n' >"$work/server.ext"
openssl x509 -req -days 2 -in "$work/server.csr" -CA "$work/root.pem" -CAkey "$work/root.key" \
    -CAcreateserial -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null

# The download folder the installer reads: its chain list names the root.
cp "$work/root.pem" "$work/site/RaizTeste.crt"
printf '<?xml version="1.0"?>\n<Chains><Chain file="RaizTeste.crt"/></Chains>\n' >"$work/site/Chains.xml"

http_port=$(free_port)
python3 -m http.server --bind 127.0.0.1 --directory "$work/site" "$http_port" >/dev/null 2>&1 &
pids+=($!)
https_port=$(free_port)
# The HTTPS server writes one line per GET it answered, after a completed handshake.
cat >"$work/https.py" <<'PY'
import http.server, ssl, sys
port, cert, key, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(log, "a") as out:
            out.write("GET " + self.path + "\n")
        body = b"<html><body>pagina carregada</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
PY
: >"$work/https.log"
python3 "$work/https.py" "$https_port" "$work/server.pem" "$work/server.key" "$work/https.log" \
    2>/dev/null &
pids+=($!)
for _ in $(seq 50); do
    if curl -sk -o /dev/null "https://127.0.0.1:$https_port/ready" &&
        curl -s -o /dev/null "http://127.0.0.1:$http_port/Chains.xml"; then
        break
    fi
    sleep 0.1
done

dead_proxy=127.0.0.1:9
chromium_open() {  # home, run name, URL path
    HOME=$1 timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --proxy-server="http://$dead_proxy" \
        --user-data-dir="$work/$2-profile" --dump-dom "https://127.0.0.1:$https_port$3" \
        >/dev/null 2>>"$work/$2.log" || true
}
firefox_open() {  # home, run name, URL path
    HOME=$1 timeout 90 firefox-esr --headless -P quor --no-remote \
        --screenshot "$work/$2.png" "https://127.0.0.1:$https_port$3" \
        >/dev/null 2>>"$work/$2.log" || true
}
firefox_profile() {  # home: a profile Firefox creates itself, kept off the network
    HOME=$1 timeout 60 firefox-esr --headless -CreateProfile "quor $1/firefox-profile" \
        >/dev/null 2>&1
    cat >"$1/firefox-profile/user.js" <<JS
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", 9);
user_pref("app.update.enabled", false);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.enabled", false);
JS
}
seen() { grep -qx "GET $1" "$work/https.log"; }
# NSS databases of a home, relative to it.
databases() { (cd "$1" && find . -name cert9.db -printf '%h ' | sed 's|\./||g'); }

passed=0
failed=0
row() {  # name, browser (chromium|firefox), preparation (none|chromium-first|firefox-profile)
    local name=$1 browser=$2 prepare=$3
    local home=$work/home-$name
    mkdir -p "$home"
    export XDG_DATA_HOME=$home/.local/share
    case $prepare in
        chromium-first) chromium_open "$home" "$name-first" "/$name/first" ;;
        firefox-profile) firefox_profile "$home" ;;
    esac
    "${browser}_open" "$home" "$name-before" "/$name/before"
    local before_dbs
    before_dbs=$(databases "$home")
    [ "$prepare" = none ] && before_dbs="removed, the install starts from none"
    if seen "/$name/before"; then
        echo "browser-check: $name: FAILED: the page loaded before the root was installed"
        failed=$((failed + 1))
        return
    fi
    # A browser that did not run at all would "refuse" the page too.
    if [ "$browser" = chromium ] && ! grep -q ERR_CERT_AUTHORITY_INVALID "$work/$name-before.log"; then
        echo "browser-check: $name: FAILED: Chromium did not refuse the page for its authority"
        tail -3 "$work/$name-before.log" || true
        failed=$((failed + 1))
        return
    fi
    if [ "$browser" = firefox ] && [ ! -f "$home/firefox-profile/cert9.db" ]; then
        echo "browser-check: $name: FAILED: Firefox did not start with its profile at all"
        failed=$((failed + 1))
        return
    fi
    # A fresh home: the database Chromium made while refusing goes, so the install makes it.
    [ "$prepare" = none ] && rm -rf "$home/.local/share/pki" "$home/.pki"
    HOME=$home "$quor_certs" install --yes --base-url "http://127.0.0.1:$http_port/" \
        >"$work/$name-install.out" 2>&1 || {
        echo "browser-check: $name: FAILED: quor-certs install failed:"
        cat "$work/$name-install.out"
        failed=$((failed + 1))
        return
    }
    "${browser}_open" "$home" "$name-after" "/$name/after"
    if seen "/$name/after"; then
        echo "browser-check: $name: refused before the install, loaded after (NSS databases after the first start: ${before_dbs:-none}; after the install: $(databases "$home"))"
        passed=$((passed + 1))
    else
        echo "browser-check: $name: FAILED: not loaded after the install (databases: $(databases "$home"))"
        tail -3 "$work/$name-after.log" 2>/dev/null || true
        failed=$((failed + 1))
    fi
}

row chromium-fresh-home chromium none
row chromium-own-database chromium chromium-first
row firefox-esr-own-profile firefox firefox-profile
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
