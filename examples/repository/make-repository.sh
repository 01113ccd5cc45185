#!/usr/bin/env bash
# Remakes the sample download folder from the real ICP-Brasil certificates of the test fixtures:
#   AC-PRODESP-RFB-v1.p7b      DER PKCS#7 bundle of a three-level chain:
#                              AC PRODESP RFB v1 <- AC Secretaria da Receita Federal do Brasil v4
#                              <- Autoridade Certificadora Raiz Brasileira v5
#   ICP-Brasilv10.crt          a root certificate in PEM
#   AC-SERPRO-SSLv1-v10.crt    an intermediate (issued by the v10 root) as bare Base64 of its DER
#   Chains.xml                 the list naming the three files, in that order
# Usage: examples/repository/make-repository.sh [output folder]   (default: this folder)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
fixtures="$here/../../tests/fixtures/icp-brasil"
out="${1:-$here}"
mkdir -p "$out"

openssl crl2pkcs7 -nocrl -outform DER -out "$out/AC-PRODESP-RFB-v1.p7b" \
    -certfile "$fixtures/AC-PRODESP-RFB-v1.crt" \
    -certfile "$fixtures/AC_Secretaria_da_Receita_Federal_do_Brasil_v4.crt" \
    -certfile "$fixtures/ICP-Brasilv5.crt"

openssl x509 -in "$fixtures/ICP-Brasilv10.crt" -outform PEM -out "$out/ICP-Brasilv10.crt"

openssl x509 -in "$fixtures/AC-SERPRO-SSLv1-v10.crt" -outform DER |
    openssl base64 -e -out "$out/AC-SERPRO-SSLv1-v10.crt"

cat > "$out/Chains.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Chains>
  <Chain file="AC-PRODESP-RFB-v1.p7b"/>
  <Chain file="ICP-Brasilv10.crt"/>
  <Chain file="AC-SERPRO-SSLv1-v10.crt"/>
</Chains>
XML
echo "sample download folder written to $out"
