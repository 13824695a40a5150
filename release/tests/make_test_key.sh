#!/usr/bin/env bash
# Throwaway code-signing certificates for the tests, made with openssl.
#
#   make_test_key.sh DIR [COMMON_NAME [START END]]
#     a self-signed certificate (RSA 3072, code signing, not a CA) in DIR:
#     cert.pem, key.pem (encrypted), test.p12 and password.txt (their
#     password); with START and END (YYYYMMDDHHMMSSZ) valid only then, to
#     make an expired or a not yet valid one. Trusted only where a test gives
#     cert.pem as a root.
#   make_test_key.sh --ca CA_DIR CRL_URL
#     a test authority as public ones are: a root (root.pem) and an
#     intermediate (intermediate.pem) that issues the leaves and publishes
#     its CRL as CA_DIR/crl/intermediate.crl, which CRL_URL serves.
#   make_test_key.sh --leaf CA_DIR DIR COMMON_NAME [KEY [USAGE [CRL_URL]]]
#     a leaf of that intermediate in DIR (cert.pem, key.pem, password.txt;
#     full.pem, the leaf and the intermediate; test.p12, both with the key)
#     with CRL and authority-information-access pointers. KEY: rsa3072
#     (default), rsa2048, ec256 or ec521; USAGE: codeSigning (default) or
#     serverAuth; CRL_URL: another distribution point than the authority's.
#   make_test_key.sh --revoke CA_DIR DIR
#     revokes DIR's leaf and publishes the CRL again.
#   make_test_key.sh --token TOKEN_DIR KEY_DIR LABEL
#     moves KEY_DIR's key and certificate into a SoftHSM token kept in
#     TOKEN_DIR (made there with its own softhsm2.conf and pin.txt, never the
#     system's) as the object LABEL, and deletes the key's files: the key then
#     exists only in the token. A KEY_DIR with full.pem puts the intermediate
#     in the token too. Export SOFTHSM2_CONF=TOKEN_DIR/softhsm2.conf to reach
#     it through the module named in TOKEN_DIR/module.
set -euo pipefail

NewKey() {  # DIR KEY: DIR/key.pem, encrypted with DIR/password.txt
  local algorithm
  case $2 in
    rsa3072) algorithm=(-algorithm RSA -pkeyopt rsa_keygen_bits:3072) ;;
    rsa2048) algorithm=(-algorithm RSA -pkeyopt rsa_keygen_bits:2048) ;;
    ec256) algorithm=(-algorithm EC -pkeyopt ec_paramgen_curve:P-256) ;;
    ec521) algorithm=(-algorithm EC -pkeyopt ec_paramgen_curve:P-521) ;;
  esac
  echo "test-only-$RANDOM" > "$1/password.txt"
  openssl genpkey "${algorithm[@]}" -aes256 -pass "file:$1/password.txt" -out "$1/key.pem" 2>/dev/null
}

Pkcs12() {  # DIR [CHAIN]
  openssl pkcs12 -export -in "$1/cert.pem" -inkey "$1/key.pem" ${2:+-certfile "$2"} -out "$1/test.p12" \
    -passin "file:$1/password.txt" -passout "pass:$(cat "$1/password.txt")"
}

# An "openssl ca" configuration in FOLDER, issuing with the extensions of
# section SECTION of EXTENSIONS (text).
CaConfig() {  # FOLDER EXTENSIONS
  mkdir -p "$1/issued"
  [ -e "$1/index.txt" ] || { : > "$1/index.txt"; echo 1000 > "$1/serial"; echo 1000 > "$1/crlnumber"; }
  printf '%s\n' '[ca]' 'default_ca = c' '[c]' "database = $1/index.txt" "new_certs_dir = $1/issued" \
    "serial = $1/serial" "crlnumber = $1/crlnumber" 'default_md = sha256' 'default_days = 30' \
    'default_crl_days = 7' 'policy = p' 'unique_subject = no' \
    '[p]' 'commonName = supplied' 'organizationName = optional' "$2" > "$1/ca.cnf"
}

case ${1:-} in
--token)
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
  Load() {  # LABEL ID PEM
    GNUTLS_PIN=$(cat "$token/pin.txt") p11tool --provider "$(cat "$token/module")" \
      --login --write --label "$1" --id "$2" --load-certificate "$3" "pkcs11:token=Nerim%20Test%20Token" \
      >/dev/null 2>&1
  }
  id=$(printf '%02x' $(( $(ls "$token/objects"/*/*.object 2>/dev/null | wc -l) + 1 )))
  openssl pkey -in "$keys/key.pem" -passin "file:$keys/password.txt" |
    softhsm2-util --import /dev/stdin --token "Nerim Test Token" --label "$label" --id "$id" \
      --pin "$(cat "$token/pin.txt")" >/dev/null
  Load "$label" "$id" "$keys/cert.pem"
  if [ -e "$keys/full.pem" ]; then
    openssl x509 -in "$keys/full.pem" > /dev/null  # the leaf; the intermediate follows it
    sed '1,/-END CERTIFICATE-/d' "$keys/full.pem" > "$keys/intermediate.pem"
    Load "$label-issuer" "$id$id" "$keys/intermediate.pem"
  fi
  rm -f "$keys/key.pem" "$keys/test.p12"
  ;;
--ca)
  ca=$(realpath -m "$2") crl_url=$3
  mkdir -p "$ca/root" "$ca/intermediate" "$ca/crl"
  echo "$crl_url" > "$ca/crl_url"
  openssl req -x509 -newkey rsa:3072 -nodes -days 3650 -subj "/CN=Nerim Test Root/O=Brenk Test CA" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$ca/root/key.pem" -out "$ca/root.pem" 2>/dev/null
  CaConfig "$ca/root" $'[e]\nbasicConstraints = critical,CA:TRUE,pathlen:0\nkeyUsage = critical,keyCertSign,cRLSign\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid'
  openssl req -new -newkey rsa:3072 -nodes -subj "/CN=Nerim Test Code Signing CA/O=Brenk Test CA" \
    -keyout "$ca/intermediate/key.pem" -out "$ca/intermediate/request.csr" 2>/dev/null
  openssl ca -batch -config "$ca/root/ca.cnf" -extensions e -days 1825 -cert "$ca/root.pem" \
    -keyfile "$ca/root/key.pem" -in "$ca/intermediate/request.csr" -out "$ca/intermediate.pem" 2>/dev/null
  bash "$0" --crl "$ca"
  ;;
--crl)
  ca=$2
  CaConfig "$ca/intermediate" ''
  openssl ca -gencrl -config "$ca/intermediate/ca.cnf" -cert "$ca/intermediate.pem" \
    -keyfile "$ca/intermediate/key.pem" -out "$ca/crl/intermediate.pem" 2>/dev/null
  openssl crl -in "$ca/crl/intermediate.pem" -outform DER -out "$ca/crl/intermediate.crl"
  ;;
--leaf)
  ca=$(realpath -m "$2") dir=$3 name=$4 key=${5:-rsa3072} usage=${6:-codeSigning}
  crl_url=${7:-$(cat "$ca/crl_url")}
  mkdir -p "$dir"
  NewKey "$dir" "$key"
  CaConfig "$ca/intermediate" "[e]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = $usage
crlDistributionPoints = URI:$crl_url
authorityInfoAccess = caIssuers;URI:${crl_url%/*}/intermediate.cer
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid"
  openssl req -new -key "$dir/key.pem" -passin "file:$dir/password.txt" -subj "/CN=$name/O=Brenk" \
    -out "$dir/request.csr" 2>/dev/null
  openssl ca -batch -config "$ca/intermediate/ca.cnf" -extensions e -cert "$ca/intermediate.pem" \
    -keyfile "$ca/intermediate/key.pem" -in "$dir/request.csr" -out "$dir/cert.pem" -notext 2>/dev/null
  cat "$dir/cert.pem" "$ca/intermediate.pem" > "$dir/full.pem"
  Pkcs12 "$dir" "$ca/intermediate.pem"
  ;;
--revoke)
  CaConfig "$2/intermediate" ''
  openssl ca -config "$2/intermediate/ca.cnf" -cert "$2/intermediate.pem" -keyfile "$2/intermediate/key.pem" \
    -revoke "$3/cert.pem" 2>/dev/null
  bash "$0" --crl "$2"
  ;;
*)
  dir=$1 name=${2:-Nerim Test Signer} start=${3:-} end=${4:-}
  mkdir -p "$dir"
  NewKey "$dir" rsa3072
  ca=$dir/ca
  CaConfig "$ca" $'[e]\nbasicConstraints = critical,CA:FALSE\nkeyUsage = critical,digitalSignature\nextendedKeyUsage = codeSigning'
  openssl req -new -key "$dir/key.pem" -passin "file:$dir/password.txt" -subj "/CN=$name/O=Brenk" \
    -out "$ca/request.csr" 2>/dev/null
  # "openssl ca" takes dates in the past, as "openssl req -x509" does not.
  openssl ca -batch -config "$ca/ca.cnf" -extensions e -selfsign -keyfile "$dir/key.pem" \
    -passin "file:$dir/password.txt" -in "$ca/request.csr" ${start:+-startdate "$start" -enddate "$end"} \
    -out "$dir/cert.pem" -notext 2>/dev/null
  Pkcs12 "$dir"
  ;;
esac
