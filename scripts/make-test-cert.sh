#!/usr/bin/env bash
# make-test-cert.sh <folder>
# Creates, when missing, the two self-signed code-signing certificates that tests and the
# demonstration sign with: "VexilSrvs Test Publisher" (the publisher the test build expects)
# and "VexilSrvs Fake Publisher" (a valid signature from someone else, whose name has the same
# length, so that only a comparison of the whole name refuses it). For each name it leaves in
# <folder>: <stem>.key.pem (private key), <stem>.cert.pem (certificate) and <stem>.pfx
# (both as PKCS#12 with an empty password, for tools that want one file).
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <folder>" >&2
    exit 2
fi
folder=$1
mkdir -p "$folder"

make_certificate() {
    local stem=$1 name=$2
    local key="$folder/$stem.key.pem" cert="$folder/$stem.cert.pem" pfx="$folder/$stem.pfx"
    if [ -s "$key" ] && [ -s "$pfx" ] && [ -s "$cert" ] &&
        openssl x509 -noout -subject -in "$cert" | grep -q "CN *= *$name\$"; then
        return 0
    fi
    # A leaf certificate that is its own issuer: Windows would need it in a trusted root store,
    # Wine accepts the chain as it stands. The code-signing usage makes it fit for Authenticode.
    openssl req -x509 -newkey rsa:2048 -sha256 -days 3650 -nodes \
        -subj "/CN=$name" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$key.tmp" -out "$cert.tmp" 2>/dev/null
    openssl pkcs12 -export -inkey "$key.tmp" -in "$cert.tmp" -passout pass: -out "$pfx.tmp"
    mv -f "$key.tmp" "$key"
    mv -f "$cert.tmp" "$cert"
    mv -f "$pfx.tmp" "$pfx"
    echo "created code-signing certificate \"$name\" in $folder" >&2
}

make_certificate vexil-test-publisher "VexilSrvs Test Publisher"
make_certificate other-publisher "VexilSrvs Fake Publisher"
