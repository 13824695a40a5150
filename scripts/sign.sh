#!/usr/bin/env bash
# Signs Windows programs and Windows Installer packages in place with
# Authenticode (SHA-256), through osslsigncode.
#
# usage: sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--password-file FILE]
#                [--timestamp URL] [--description TEXT] [--url URL] [--replace] FILE...
#   --pkcs12 FILE         the certificate and key in one PKCS#12 file
#   --cert, --key FILE    the certificate (chain) and the key, PEM or DER
#   --password-file FILE  the key's password, on the file's first line
#   --timestamp URL       a time-stamping authority: the signature then stays
#                         valid after the certificate expires
#   --description, --url  what the elevation prompt shows as the program's
#                         name and "more information" link
#   --replace             sign files that are signed already, replacing that
#                         signature (else they are refused)
# Every FILE is checked before any is signed; each is written to a temporary
# file beside it first and renamed over it, so an interrupted run never
# leaves a half-written file. The password is read by osslsigncode from its
# file and never appears on a command line or in what this prints.
set -uo pipefail

Usage() { sed -n '5,15s/^# \{0,1\}//p' "$0"; }
Fail() { echo "sign.sh: $*" >&2; exit 1; }
BadUsage() { echo "sign.sh: $*" >&2; Usage >&2; exit 2; }

pkcs12='' cert='' key='' password='' timestamp='' description='' url='' replace=0 files=()
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) Usage; exit 0 ;;
    --replace) replace=1 ;;
    --pkcs12|--cert|--key|--password-file|--timestamp|--description|--url)
      [ $# -ge 2 ] || BadUsage "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;; --cert) cert=$2 ;; --key) key=$2 ;;
        --password-file) password=$2 ;; --timestamp) timestamp=$2 ;;
        --description) description=$2 ;; --url) url=$2 ;;
      esac
      shift ;;
    --) shift; files+=("$@"); break ;;
    -*) BadUsage "unknown option $1" ;;
    *) files+=("$1") ;;
  esac
  shift
done

if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || BadUsage "give --pkcs12 or --cert with --key, not both"
  credentials=(-pkcs12 "$pkcs12")
else
  [ -n "$cert" ] && [ -n "$key" ] || BadUsage "give --pkcs12 FILE, or --cert FILE with --key FILE"
  credentials=(-certs "$cert" -key "$key")
fi
[ ${#files[@]} -gt 0 ] || BadUsage "no file to sign"
for file in "$pkcs12" "$cert" "$key" "$password"; do
  [ -z "$file" ] || { [ -f "$file" ] && [ -r "$file" ]; } || Fail "cannot read $file"
done
command -v osslsigncode >/dev/null || Fail "osslsigncode is not installed (apt-get install osslsigncode)"

# "pe", "msi" or nothing, from the file's first bytes.
FileKind() {
  local magic offset
  magic=$(od -An -tx1 -N8 "$1" 2>/dev/null | tr -d ' \n')
  if [ "$magic" = d0cf11e0a1b11ae1 ]; then echo msi; return; fi
  [ "${magic:0:4}" = 4d5a ] || return 0
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] && [ "$(od -An -tx1 -j"$offset" -N4 "$1" | tr -d ' \n')" = 50450000 ] && echo pe
}

IsSigned() {
  local extracted
  extracted=$(mktemp -u) || return 1
  osslsigncode extract-signature -in "$1" -out "$extracted" >/dev/null 2>&1 </dev/null
  local signed=$?
  rm -f "$extracted"
  return "$signed"
}

for file in "${files[@]}"; do
  [ -f "$file" ] && [ -r "$file" ] && [ -w "$file" ] || Fail "cannot read and write $file"
  [ -n "$(FileKind "$file")" ] || Fail "$file is neither a Windows program (PE) nor an MSI package"
  if [ "$replace" = 0 ] && IsSigned "$file"; then
    Fail "$file is signed already; --replace signs it anew"
  fi
done

options=(-h sha256)
[ -n "$password" ] && options+=(-readpass "$password")
[ -n "$description" ] && options+=(-n "$description")
[ -n "$url" ] && options+=(-i "$url")
[ -n "$timestamp" ] && options+=(-t "$timestamp")

temporary=()
trap 'rm -f "${temporary[@]}"' EXIT
trap 'exit 130' INT TERM

# What osslsigncode said, as one line a person can act on.
Explain() {
  if grep -qi "wrong password\|mac verify failure\|bad decrypt" <<<"$1"; then
    echo "wrong password for ${pkcs12:-$key}"
  elif grep -qi "failed to read\|failed to parse\|failed to decode\|no certificate" <<<"$1"; then
    echo "cannot use the key or certificate ${pkcs12:-$cert and $key}"
  else
    echo "osslsigncode failed: $(grep -v '^[0-9A-F]*:error:' <<<"$1" | tr '\n' ' ')"
  fi
}

SignOne() {
  local file=$1 unsigned signed said
  unsigned=$(mktemp "$(dirname "$file")/.sign-XXXXXX") && temporary+=("$unsigned")
  signed=$(mktemp "$(dirname "$file")/.sign-XXXXXX") && temporary+=("$signed")
  # osslsigncode writes only files that do not exist yet.
  rm -f "$unsigned" "$signed"
  if IsSigned "$file"; then
    osslsigncode remove-signature -in "$file" -out "$unsigned" >/dev/null 2>&1 </dev/null ||
      Fail "cannot remove the signature of $file"
  else
    cp -p "$file" "$unsigned" || Fail "cannot copy $file"
  fi
  said=$(osslsigncode sign "${credentials[@]}" "${options[@]}" -in "$unsigned" -out "$signed" \
           2>&1 </dev/null) || Fail "$file: $(Explain "$said")"
  chmod --reference="$file" "$signed" && mv -f "$signed" "$file" || Fail "cannot replace $file"
  echo "signed $file"
}

for file in "${files[@]}"; do SignOne "$file"; done
if [ -z "$timestamp" ]; then
  echo "note: no --timestamp: these signatures stop verifying when the certificate expires"
fi
