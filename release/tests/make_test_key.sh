#!/usr/bin/env bash
# A throwaway self-signed code-signing certificate for the tests, in DIR:
# cert.pem, key.pem (encrypted), test.p12 and password.txt (their password).
# With START and END (YYYYMMDDHHMMSSZ) the certificate is valid only then, to
# make an expired or a not yet valid one.
#
# With --token, moves the key and certificate made in KEY_DIR into a SoftHSM
# token kept in TOKEN_DIR (made there with its own softhsm2.conf and pin.txt,
# never the system's) as the object LABEL, and deletes the key's files: the
# key then exists only in the token. Export SOFTHSM2_CONF=TOKEN_DIR/softhsm2.conf
# to reach it through the module named in TOKEN_DIR/module.
# usage: make_test_key.sh DIR [COMMON_NAME [START END]]
#        make_test_key.sh --token TOKEN_DIR KEY_DIR LABEL
set -euo pipefail
if [ "$1" = --token ]; then
  token=$(realpath -m "$2") keys=$3 label=$4
  export SOFTHSM2_CONF=$token/softhsm2.conf
  if [ ! -e "$SOFTHSM2_CONF" ]; then
    mkdir -p "$token/objects"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
      "$token/objects" > "$SOFTHSM2_CONF"
    echo "pin-$RANDOM$RANDOM$RANDOM" > "$token/pin.txt"
    echo /usr/lib/softhsm/libsofthsm2.so > "$token/module"
    softhsm2-util --init-token --free --label "Nerim Test Token" \
      --pin "$(cat "$token/pin.txt")" --so-pin "so-pin-$RANDOM" >/dev/null
  fi
  id=$(printf '%02x' $(( $(ls "$token/objects"/*/*.object 2>/dev/null | wc -l) + 1 )))
  openssl pkey -in "$keys/key.pem" -passin "file:$keys/password.txt" |
    softhsm2-util --import /dev/stdin --token "Nerim Test Token" --label "$label" --id "$id" \
      --pin "$(cat "$token/pin.txt")" >/dev/null
  GNUTLS_PIN=$(cat "$token/pin.txt") p11tool --provider "$(cat "$token/module")" \
    --login --write --label "$label" --id "$id" --load-certificate "$keys/cert.pem" \
    "pkcs11:token=Nerim%20Test%20Token" >/dev/null 2>&1
  rm -f "$keys/key.pem" "$keys/test.p12"
  exit 0
fi
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
