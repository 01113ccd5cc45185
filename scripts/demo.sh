#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the chain installer on the sample download folder:
#   1. serves examples/repository on loopback as http://127.0.0.1:PORT/DEZIruva/certificados/
#      (Chains.xml and three chain files made from real ICP-Brasil certificates);
#   2. runs "quor-certs install --yes" against it into a temporary certificate store, then
#      lists the stores, and runs it again (everything is found installed);
#   3. shows a real certificate and a scrambled ".p7b" chain file put back in order.
# With --gui (needs a display), opens the installer dialog on the same server instead; the
# dialog reads no configuration, so it is built with that server as its download folder.
# Runs on a fresh Debian 12 machine (as root or with sudo, for the packages).
set -euo pipefail
cd "$(dirname "$0")/.."

gui=0
if [ "${1:-}" = "--gui" ]; then gui=1; fi
port="${QUOR_DEMO_PORT:-18080}"
base="http://127.0.0.1:$port/DEZIruva/certificados/"

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DQUOR_BUILD_TESTS=OFF
cmake --build build --target quor-certs -j "$(nproc)"

certs=build/cli/quor-certs
fixtures=tests/fixtures/icp-brasil
work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n=== %s\n\n' "$*"; }

# The download folder on loopback: a temporary web root whose /DEZIruva/certificados is the
# sample folder.
mkdir -p "$work/www/DEZIruva" "$work/data"
ln -s "$PWD/examples/repository" "$work/www/DEZIruva/certificados"
(cd "$work/www" && exec python3 -m http.server --bind 127.0.0.1 "$port" >"$work/server.log" 2>&1) &
server_pid=$!
for _ in $(seq 100); do
    if curl -sf -o /dev/null "${base}Chains.xml"; then break; fi
    sleep 0.1
done
curl -sf -o /dev/null "${base}Chains.xml" || { echo "the sample server did not start" >&2; exit 1; }
# A store of its own: the user's real stores are not touched, nor the NSS databases of the
# user's browsers (the stores mirror into those found under HOME).
mkdir -p "$work/home"
export XDG_DATA_HOME="$work/data"
export HOME="$work/home"

if [ "$gui" = 1 ]; then
    if [ -z "${DISPLAY:-}" ]; then
        echo "--gui needs a display (DISPLAY is not set)" >&2
        exit 1
    fi
    cmake -S . -B build-demo-gui -G Ninja -DQUOR_BUILD_TESTS=OFF -DQUOR_CHAIN_BASE_URL="$base"
    cmake --build build-demo-gui --target quor-chain-installer -j "$(nproc)"
    step "quor-chain-installer (pasta de download: $base)"
    build-demo-gui/installer/quor-chain-installer
    step "quor-certs list"
    "$certs" list
    exit 0
fi

step "quor-certs install --yes --base-url $base"
"$certs" install --yes --base-url "$base"

step "quor-certs list"
"$certs" list

step "quor-certs install --base-url $base (de novo: nada a instalar, nada a confirmar)"
"$certs" install --base-url "$base" </dev/null

step "quor-certs show $fixtures/AC-PRODESP-RFB-v1.crt"
"$certs" show "$fixtures/AC-PRODESP-RFB-v1.crt"

# The chain AC PRODESP RFB v1 -> AC Secretaria da Receita Federal do Brasil v4 -> Raiz v5,
# written into the bundle in a scrambled order: the reader must put it back in order.
bundle="$work/cadeia-prodesp.p7b"
openssl crl2pkcs7 -nocrl -outform DER -out "$bundle" \
    -certfile "$fixtures/ICP-Brasilv5.crt" \
    -certfile "$fixtures/AC-PRODESP-RFB-v1.crt" \
    -certfile "$fixtures/AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt"
step "Pacote PKCS#7 gravado na ordem: raiz v5, AC PRODESP RFB v1, AC RFB v4"
openssl pkcs7 -inform DER -in "$bundle" -print_certs -noout | grep '^subject'

step "quor-certs chain cadeia-prodesp.p7b"
"$certs" chain "$bundle"

step "quor-certs chain --json cadeia-prodesp.p7b (ordem e situação)"
"$certs" chain --json "$bundle" | python3 -c '
import json, sys
chain = json.load(sys.stdin)
print("status:", chain["status"], chain["statusCode"])
for n, c in enumerate(chain["certificates"], 1):
    print("%d. %s  [%s]  %s" % (n, c["subjectName"], c["kind"], c["fingerprint"]))
'

# A chain file without its intermediate authority is reported as incomplete.
partial="$work/cadeia-incompleta.p7b"
openssl crl2pkcs7 -nocrl -outform DER -out "$partial" \
    -certfile "$fixtures/ICP-Brasilv5.crt" -certfile "$fixtures/AC-PRODESP-RFB-v1.crt"
step "quor-certs chain cadeia-incompleta.p7b (sem a AC intermediária)"
"$certs" chain "$partial" | sed -n 1,2p
