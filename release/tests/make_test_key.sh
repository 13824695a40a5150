#!/usr/bin/env bash
# A throwaway self-signed code-signing certificate for the tests, in DIR:
# cert.pem, key.pem (encrypted), test.p12 and password.txt (their password).
# With START and END (YYYYMMDDHHMMSSZ) the certificate is valid only then, to
# make an expired or a not yet valid one.
# usage: make_test_key.sh DIR [COMMON_NAME [START END]]
set -euo pipefail
dir=$1 name=${2:-Nerim Test Signer} start=${3:-} end=${4:-}
mkdir -p "$dir"
echo "test-only-$RANDOM" > "$dir/password.txt"
if [ -z "$start" ]; then
  openssl req -x509 -newkey rsa:2048 -days 30 -subj "/CN=$name/O=Brenk" \
    -addext extendedKeyUsage=codeSigning -passout "file:$dir/password.txt" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
else
  # Only "openssl ca" takes dates in the past.
  ca=$dir/ca
  mkdir -p "$ca" && : > "$ca/index.txt" && echo 01 > "$ca/serial"
  printf '%s\n' '[ca]' 'default_ca = c' '[c]' "database = $ca/index.txt" "new_certs_dir = $ca" \
    "serial = $ca/serial" 'default_md = sha256' 'policy = p' 'x509_extensions = e' \
    '[p]' 'commonName = supplied' 'organizationName = optional' \
    '[e]' 'extendedKeyUsage = codeSigning' > "$ca/ca.cnf"
  openssl req -new -newkey rsa:2048 -subj "/CN=$name/O=Brenk" -passout "file:$dir/password.txt" \
    -keyout "$dir/key.pem" -out "$ca/request.csr" 2>/dev/null
  openssl ca -batch -config "$ca/ca.cnf" -selfsign -keyfile "$dir/key.pem" \
    -passin "file:$dir/password.txt" -in "$ca/request.csr" -startdate "$start" -enddate "$end" \
    -out "$dir/cert.pem" 2>/dev/null
fi
openssl pkcs12 -export -in "$dir/cert.pem" -inkey "$dir/key.pem" -out "$dir/test.p12" \
  -passin "file:$dir/password.txt" -passout "pass:$(cat "$dir/password.txt")"
