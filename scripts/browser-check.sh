#!/usr/bin/env bash
# Checks with a real browser that installing chains reaches the user's other programs: headless
# Chromium, with a temporary home, opens an HTTPS page from a loopback server whose certificate
# was issued under a test root. It must fail before `quor-certs install` has installed that root
# (served from a loopback download folder) and load afterwards.
#
# Usage: scripts/browser-check.sh [BUILD_DIR]   (default: build; needs cli/quor-certs built)
# Not part of the default test suite: it needs the chromium package (installed here when run as
# root) and takes a few seconds per browser start.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
quor_certs=$PWD/$build/cli/quor-certs
if [ ! -x "$quor_certs" ]; then
    echo "browser-check: $quor_certs not found; build it first: cmake --build $build --target quor-certs" >&2
    exit 2
fi
if ! command -v chromium >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium
    else
        echo "browser-check: chromium not found: sudo apt-get install chromium" >&2
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

export HOME=$work/home
export XDG_DATA_HOME=$HOME/.local/share
mkdir -p "$HOME" "$work/site"

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
openssl s_server -quiet -www -accept "127.0.0.1:$https_port" \
    -cert "$work/server.pem" -key "$work/server.key" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    if curl -sk -o /dev/null "https://127.0.0.1:$https_port/" &&
        curl -s -o /dev/null "http://127.0.0.1:$http_port/Chains.xml"; then
        break
    fi
    sleep 0.1
done

# The page s_server -www answers with names the ciphers it supports.
marker="Ciphers supported in s_server binary"
# Each start gets a fresh profile; the caller numbers the runs (the page is read in a subshell).
load_page() {
    local run=$1
    timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/chromium-$run" --dump-dom "https://127.0.0.1:$https_port/" \
        2>"$work/chromium-$run.log" || true
}

before=$(load_page 1)
if grep -q "$marker" <<<"$before"; then
    echo "browser-check: FAILED: Chromium loaded the page before the root was installed" >&2
    exit 1
fi
# A browser that did not run at all would "refuse" the page too: the refusal must be the
# unknown authority.
if ! grep -q "ERR_CERT_AUTHORITY_INVALID" "$work/chromium-1.log"; then
    echo "browser-check: FAILED: Chromium did not refuse the page for its authority:" >&2
    tail -5 "$work/chromium-1.log" >&2 || true
    exit 1
fi
echo "browser-check: before install: Chromium refuses the page (ERR_CERT_AUTHORITY_INVALID)"

"$quor_certs" install --yes --base-url "http://127.0.0.1:$http_port/"

if ! load_page 2 | grep -q "$marker"; then
    echo "browser-check: FAILED: Chromium does not load the page after the install" >&2
    tail -5 "$work/chromium-2.log" >&2 || true
    exit 1
fi
echo "browser-check: after install: Chromium loads the page over HTTPS"
echo "1 passed, 0 failed"
