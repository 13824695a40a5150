#!/usr/bin/env bash
# A throwaway self-signed code-signing certificate for the tests, in DIR:
# cert.pem, key.pem (encrypted), test.p12 and password.txt (their password).
# usage: make_test_key.sh DIR [COMMON_NAME]
set -euo pipefail
dir=$1 name=${2:-Nerim Test Signer}
mkdir -p "$dir"
echo "test-only-$RANDOM" > "$dir/password.txt"
openssl req -x509 -newkey rsa:2048 -days 30 -subj "/CN=$name/O=Brenk" \
  -addext extendedKeyUsage=codeSigning -passout "file:$dir/password.txt" \
  -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$dir/cert.pem" -inkey "$dir/key.pem" -out "$dir/test.p12" \
  -passin "file:$dir/password.txt" -passout "pass:$(cat "$dir/password.txt")"
