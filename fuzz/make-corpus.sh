#!/usr/bin/env bash
# Regenerates the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from the real
# ICP-Brasil certificates in tests/fixtures and from small generated ones. The result is
# committed; run this only to refresh it. Needs the openssl command.
set -euo pipefail
cd "$(dirname "$0")/.."
fixtures=tests/fixtures/icp-brasil
out=fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{certificate_text,certificate_chain,certificate_detail,base64,url,chain_list,pkcs12_import,http_response,official_archive}

# A small generated PKI: root, intermediate, and a person's certificate with the ICP-Brasil
# otherName fields, policies, key usages and an e-mail address.
cat >"$work/ext.cnf" <<'CNF'
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = keyCertSign,cRLSign
certificatePolicies = 2.16.76.1.2.1.1
[person]
basicConstraints = critical,CA:FALSE
keyUsage = digitalSignature,nonRepudiation,keyEncipherment
extendedKeyUsage = clientAuth,emailProtection
certificatePolicies = 2.16.76.1.2.1.51,2.16.76.1.2.3.1
subjectAltName = @alt
[company]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
subjectAltName = @altc
[alt]
email = fulano@example.com
otherName.1 = 2.16.76.1.3.1;OCTETSTRING:01011970123456789010000000000012345678SSP SP
otherName.2 = 2.16.76.1.3.6;OCTETSTRING:000000000000
otherName.3 = 2.16.76.1.3.5;OCTETSTRING:1234567890120010001SAO PAULO SP
[altc]
otherName.1 = 2.16.76.1.3.4;OCTETSTRING:01011970123456789010000000000012345678SSP SP
otherName.2 = 2.16.76.1.3.2;OCTETSTRING:FULANO DE TAL
otherName.3 = 2.16.76.1.3.3;OCTETSTRING:12345678000190
otherName.4 = 2.16.76.1.3.7;OCTETSTRING:000000000000
CNF
key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:512 -out "$1" 2>/dev/null; }
key "$work/root.key"; key "$work/inter.key"; key "$work/leaf.key"; key "$work/co.key"
openssl req -new -x509 -key "$work/root.key" -subj "/C=BR/O=ICP-Brasil/CN=Raiz de Teste" \
    -days 3650 -extensions ca -config "$work/ext.cnf" -out "$work/root.pem" 2>/dev/null
sign() {  # name key issuer-cert issuer-key subject section
    openssl req -new -key "$2" -subj "$5" -out "$work/$1.csr" 2>/dev/null
    openssl x509 -req -in "$work/$1.csr" -CA "$3" -CAkey "$4" -set_serial "0x$RANDOM$RANDOM" \
        -days 365 -extfile "$work/ext.cnf" -extensions "$6" -out "$work/$1.pem" 2>/dev/null
}
sign inter "$work/inter.key" "$work/root.pem" "$work/root.key" "/C=BR/O=ICP-Brasil/OU=AC/CN=AC Intermediaria" ca
sign leaf "$work/leaf.key" "$work/inter.pem" "$work/inter.key" "/C=BR/O=ICP-Brasil/CN=FULANO DE TAL:01234567890" person
sign co "$work/co.key" "$work/inter.pem" "$work/inter.key" "/C=BR/O=ICP-Brasil/CN=EMPRESA LTDA:12345678000190" company

der() { openssl x509 -in "$1" -outform DER; }
n=0
for pem in "$fixtures"/ICP-Brasilv10.crt "$fixtures"/ICP-Brasilv5.crt "$fixtures"/AC-PRODESP-RFB-v1.crt \
           "$work"/root.pem "$work"/leaf.pem "$work"/co.pem; do
    n=$((n + 1))
    cp "$pem" "$out/certificate_text/pem-$n"
    der "$pem" >"$out/certificate_text/der-$n"
    der "$pem" | base64 -w 0 >"$out/certificate_text/base64-$n"
    der "$pem" >"$out/certificate_detail/der-$n"
done
der "$work/leaf.pem" | base64 -w 64 >"$out/base64/lines"
printf 'QUJD\nREVG==\n' >"$out/base64/padded"
printf 'A' >"$out/base64/single"

p7b() {  # out pems...
    local o=$1; shift
    local args=()
    for f in "$@"; do args+=(-certfile "$f"); done
    openssl crl2pkcs7 -nocrl "${args[@]}" -outform DER -out "$o"
}
p7b "$out/certificate_chain/ordered" "$work/leaf.pem" "$work/inter.pem" "$work/root.pem"
p7b "$out/certificate_chain/scrambled" "$work/root.pem" "$work/leaf.pem" "$work/inter.pem"
p7b "$out/certificate_chain/incomplete" "$work/leaf.pem" "$work/root.pem"
p7b "$out/certificate_chain/real" "$fixtures/AC-PRODESP-RFB-v1.crt" "$fixtures/ICP-Brasilv5.crt"
cp examples/repository/AC-PRODESP-RFB-v1.p7b "$out/certificate_chain/sample"

cp examples/repository/Chains.xml "$out/chain_list/sample"
printf '<?xml version="1.0"?>\n<Chains>\n  <Chain file="a.p7b"/>\n  <x file="sub/b.crt" other="1">text<y/></x>\n</Chains>\n' >"$out/chain_list/two"
printf '<Chains a="1"><!-- c --><c file="&amp;&#233;.crt"/></Chains>' >"$out/chain_list/attributes"
printf '<!DOCTYPE Chains [<!ENTITY e "x">]><Chains><c file="&e;.crt"/></Chains>' >"$out/chain_list/doctype"
printf '<Chains><a><a><a><a><a/></a></a></a></a><c file="x.p7b"/></Chains>' >"$out/chain_list/nested"
printf '<![CDATA[x]]><?pi x?><Chains/>' >"$out/chain_list/cdata"

for u in "http://download.quorsa.com.br/DEZIruva/certificados/Chains.xml" \
         "HTTPS://h:443/a?b=c#d" "h:81/x" "ftp://x/y" "h:99999/x" "a://b://c" ":x/y" ""; do
    n=$((n + 1))
    printf '%s' "$u" >"$out/url/url-$n"
done

openssl pkcs12 -export -inkey "$work/leaf.key" -in "$work/leaf.pem" -certfile "$work/inter.pem" \
    -passout pass:senha -out "$out/pkcs12_import/default" 2>/dev/null
openssl pkcs12 -export -inkey "$work/leaf.key" -in "$work/leaf.pem" -passout pass:senha \
    -legacy -out "$out/pkcs12_import/legacy" 2>/dev/null || true
# Without MAC and without encryption the fuzzer can change the contents and still be read.
openssl pkcs12 -export -inkey "$work/co.key" -in "$work/co.pem" -certfile "$work/root.pem" \
    -passout pass:senha -nomac -keypbe NONE -certpbe NONE -out "$out/pkcs12_import/plain" 2>/dev/null
openssl pkcs12 -export -in "$work/root.pem" -nokeys -passout pass:senha -nomac -certpbe NONE \
    -out "$out/pkcs12_import/certs-only" 2>/dev/null

crlf() { sed 's/$/\r/'; }
{ printf 'HTTP/1.1 200 OK\nContent-Type: application/xml\nContent-Length: 42\n\n' | crlf
  printf '<Chains><Chain file="a.p7b"/></Chains>\n\n\n\n'; } >"$out/http_response/ok"
{ printf 'HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n' | crlf
  printf '5\r\nhello\r\n0\r\n\r\n'; } >"$out/http_response/chunked"
{ printf 'HTTP/1.1 404 Not Found\nContent-Type: text/html\nContent-Length: 22\n\n' | crlf
  printf '<html>Not Found</html>'; } >"$out/http_response/404"
{ printf 'HTTP/1.1 302 Found\nLocation: /outro\nContent-Length: 0\n\n' | crlf; } >"$out/http_response/302"
{ printf 'HTTP/1.0 200 OK\nContent-Encoding: gzip\n\n' | crlf
  printf 'abc' | gzip -c; } >"$out/http_response/gzip"
{ printf 'HTTP/1.1 200 OK\nContent-Length: 100\n\n' | crlf; printf 'short'; } >"$out/http_response/cut"
{ printf 'HTTP/1.1 407 Proxy Authentication Required\nProxy-Authenticate: Basic realm="p"\nContent-Length: 0\n\n' | crlf; } >"$out/http_response/407"

# Small zip archives of real certificates, good and hostile, made by the official archive's
# fixture script.
python3 tests/fixtures/official-archive/make-archive.py --fuzz-seeds "$out/official_archive"
