#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: installs what is missing, builds the library and its command-line tool,
# makes a DEMO PKI when there is none, signs the bundled sample PDF with a visible
# CAdES signature, and verifies it with kvpdf verify and with poppler's pdfsig.
#
# KVPDF_DEMO_CLI (a built kvpdf) and KVPDF_DEMO_DIR let the test suite run the same
# steps without installing or building.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -n ${KVPDF_DEMO_CLI:-} ]]; then
  KVPDF=$KVPDF_DEMO_CLI
else
  scripts/deps.sh
  cmake --preset release > /dev/null
  cmake --build --preset release -j "$(nproc)" --target kvpdf_cli > /dev/null
  KVPDF=build/release/tools/kvpdf/kvpdf
fi
DEMO=${KVPDF_DEMO_DIR:-demo}
PKI=$DEMO/pki

# A throw-away PKI, labelled DEMO everywhere, kept out of git (demo/ is ignored).
if [[ ! -f $PKI/signer.p12 ]]; then
  echo "Making the DEMO PKI in $PKI"
  mkdir -p "$PKI"
  openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -sha256 \
    -subj "/O=kvpdf DEMO/CN=kvpdf DEMO Root CA - not for real signatures" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$PKI/root.key" -out "$PKI/root.pem" 2> /dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/O=kvpdf DEMO/CN=kvpdf DEMO Signer" \
    -keyout "$PKI/signer.key" -out "$PKI/signer.csr" 2> /dev/null
  printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature,nonRepudiation\n' > "$PKI/signer.ext"
  openssl x509 -req -in "$PKI/signer.csr" -CA "$PKI/root.pem" -CAkey "$PKI/root.key" \
    -CAcreateserial -days 1825 -sha256 -extfile "$PKI/signer.ext" -out "$PKI/signer.pem" 2> /dev/null
  openssl pkcs12 -export -inkey "$PKI/signer.key" -in "$PKI/signer.pem" -certfile "$PKI/root.pem" \
    -name "kvpdf DEMO Signer" -passout pass:demo -out "$PKI/signer.p12"
fi

OUT=$DEMO/sample-signed.pdf
"$KVPDF" sign samples/sample.pdf "$OUT" --p12 "$PKI/signer.p12" --password demo --cades \
  --rect 70,310,270,370 --name "kvpdf DEMO Signer" --reason "Demo signature" --location "kvpdf demo"
echo
"$KVPDF" verify "$OUT" --trust "$PKI/root.pem"
echo
# pdfsig checks the signature with NSS; the DEMO root is trusted in a database of its own.
NSS=$DEMO/nssdb
if [[ ! -f $NSS/cert9.db ]]; then
  mkdir -p "$NSS"
  certutil -N -d "sql:$NSS" --empty-password
  certutil -A -d "sql:$NSS" -n "kvpdf DEMO Root" -t "CT,C,C" -i "$PKI/root.pem"
fi
pdfsig -nssdir "sql:$NSS" "$OUT"
pdfsig -nssdir "sql:$NSS" "$OUT" | grep -q "Signature is Valid"
echo
echo "The signed file: $(cd "$(dirname "$OUT")" && pwd)/$(basename "$OUT")"
