#!/usr/bin/env bash
# Installs the dependencies, builds quor-certs, and shows a real ICP-Brasil chain with it:
#   1. one certificate read the way a ".crt" chain file is read (PEM, DER or Base64);
#   2. a ".p7b" chain file (DER PKCS#7) made here from the sample certificates, stored root
#      first and out of order, read back and put in chain order with its status.
# Runs on a fresh Debian 12 machine (as root or with sudo, for the packages).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DQUOR_BUILD_TESTS=OFF
cmake --build build --target quor-certs -j "$(nproc)"

certs=build/cli/quor-certs
fixtures=tests/fixtures/icp-brasil
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { printf '\n=== %s\n\n' "$*"; }

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
