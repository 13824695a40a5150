#!/usr/bin/env bash
# Signs Windows programs and Windows Installer packages in place with
# Authenticode (SHA-256), through osslsigncode.
#
# osslsigncode says it succeeded even when its writes failed (a full disk
# gives a cut-off file and exit 0), so nothing it writes is trusted: each
# signed copy is written beside its file, verified (the signature against the
# signer's own certificates, a program as a whole PE), flushed to disk and
# only then renamed over the file. On any failure the file is untouched.
here=$(cd "$(dirname "$0")" && pwd)
usage=$(cat <<'EOF'
usage: sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--password-file FILE]
               [--timestamp URL] [--description TEXT] [--url URL] [--replace] FILE...
  --pkcs12 FILE         the certificate and key in one PKCS#12 file
  --cert, --key FILE    the certificate (chain) and the key, PEM or DER
  --password-file FILE  the key's password: the file's first line, without its
                        line end; what follows it is not read
  --timestamp URL       a time-stamping authority: the signature then stays
                        valid after the certificate expires
  --description, --url  what the elevation prompt shows as the program's
                        name and "more information" link
  --replace             sign files that are signed already, replacing that
                        signature (else they are refused)
The certificate must be valid now. Every FILE is checked before any is signed.
The password never appears on a command line or in what this prints.
Prints "signer: SUBJECT, valid FROM to TO" and "signed FILE" for each file.
EOF
)
. "$(dirname "$0")/../scripts/lib.sh"
set +e  # each step says why it failed

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
else
  [ -n "$cert" ] && [ -n "$key" ] || BadUsage "give --pkcs12 FILE, or --cert FILE with --key FILE"
fi
[ ${#files[@]} -gt 0 ] || BadUsage "no file to sign"
for file in "$pkcs12" "$cert" "$key" "$password"; do
  [ -z "$file" ] || { [ -f "$file" ] && [ -r "$file" ]; } || Die "cannot read $file"
done
for tool in osslsigncode openssl; do
  command -v $tool >/dev/null || Die "$tool is not installed (apt-get install $tool)"
done

temporary=()
trap 'rm -f "${temporary[@]}"' EXIT
trap 'exit 130' INT TERM

# The password as osslsigncode and openssl are handed it, through a pipe.
PasswordLine() { [ -z "$password" ] || head -n 1 "$password" | tr -d '\r\n'; }

Pkcs12() {  # -clcerts (the signer's) or -cacerts (the chain's)
  local legacy
  for legacy in '' -legacy; do
    openssl pkcs12 $legacy -in "$pkcs12" -nokeys "$1" -passin "file:"<(PasswordLine) 2>/dev/null &&
      return 0
  done
  return 1
}

# The certificates of the credentials in PEM, the signer's first.
Certificates() {
  local found
  if [ -n "$pkcs12" ]; then
    found=$(Pkcs12 -clcerts && Pkcs12 -cacerts)
  elif grep -q -- '-BEGIN CERTIFICATE-' "$cert"; then
    found=$(cat "$cert")
  else
    found=$(openssl x509 -inform DER -in "$cert" 2>/dev/null)
  fi
  sed -n '/-BEGIN CERTIFICATE-/,/-END CERTIFICATE-/p' <<<"$found" | grep .
}

# "signer: SUBJECT, valid FROM to TO", or why the certificate cannot sign now.
CheckCertificate() {
  local pem=$1 dates start end
  dates=$(openssl x509 -noout -subject -startdate -enddate -nameopt oneline <<<"$pem") ||
    return 1
  start=$(sed -n 's/^notBefore=//p' <<<"$dates") end=$(sed -n 's/^notAfter=//p' <<<"$dates")
  if [ "$(date -d "$start" +%s)" -gt "$(date +%s)" ]; then
    echo "its certificate is not valid before $start"; return 1
  elif ! openssl x509 -noout -checkend 0 <<<"$pem" >/dev/null; then
    echo "its certificate expired on $end; a time stamp does not make signing with it valid"
    return 1
  fi
  echo "signer: $(sed -n 's/^subject=//p' <<<"$dates"), valid $start to $end"
}

# Signed or not, as the medium check decides it: by osslsigncode's exit status.
IsSigned() {
  local extracted
  extracted=$(mktemp -u) || return 1
  osslsigncode extract-signature -in "$1" -out "$extracted" >/dev/null 2>&1 </dev/null
  local signed=$?
  rm -f "$extracted"
  return "$signed"
}

# Why FILE is not a whole program or package, or nothing: the rule the
# medium check applies.
WholeProblem() {
  local said
  said=$(/usr/bin/python3 "$here/pe_checks.py" --whole "$1" 2>&1) || echo "${said#"$1 "}"
}

# Temporary files of a run that no longer lives are ours to remove:
# ".sign-PID-XXXXXX" beside the files it signed.
RemoveLeftovers() {
  local dir=$1 leftover pid
  for leftover in "$dir"/.sign-*; do
    [ -e "$leftover" ] || [ -L "$leftover" ] || continue
    pid=$(basename "$leftover" | sed -n 's/^\.sign-\([0-9]*\)-.*/\1/p')
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      echo "sign.sh: note: $leftover belongs to the running process $pid; left alone" >&2
    else
      rm -f "$leftover" && echo "sign.sh: note: removed $leftover, left by an interrupted run" >&2
    fi
  done
}

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

# "; the file system holding FILE has N KiB free" when that is too little
# for two more copies of it, the likely cause of a failed write.
FreeSpaceHint() {
  local free
  free=$(df -Pk "$(dirname "$1")" 2>/dev/null | awk 'NR == 2 {print $4}')
  [ "${free:-0}" -ge $(($(stat -c %s "$1") / 512 + 16)) ] ||
    echo "; the file system holding it has ${free:-no} KiB free"
}

# Why the signed copy of FILE cannot replace it, or nothing.
SignedCopyProblem() {
  local file=$1 signed=$2 trust=$3 problem
  problem=$(WholeProblem "$signed")
  if [ -z "$problem" ] &&
     ! osslsigncode verify -CAfile "$trust" -in "$signed" >/dev/null 2>&1 </dev/null; then
    problem="its signature does not verify against the signer's own certificates"
  fi
  [ -z "$problem" ] ||
    echo "the signed copy osslsigncode wrote is not whole ($problem)$(FreeSpaceHint "$file")"
}

SignOne() {
  local file=$1 dir unsigned signed said problem
  dir=$(dirname "$file")
  unsigned=$(mktemp "$dir/.sign-$$-XXXXXX") && temporary+=("$unsigned") &&
    signed=$(mktemp "$dir/.sign-$$-XXXXXX") && temporary+=("$signed") ||
    Die "$file: cannot write beside it in $dir"
  # osslsigncode writes only files that do not exist yet.
  rm -f "$unsigned" "$signed"
  if IsSigned "$file"; then
    osslsigncode remove-signature -in "$file" -out "$unsigned" >/dev/null 2>&1 </dev/null ||
      Die "cannot remove the signature of $file"
  else
    cp -p "$file" "$unsigned" || Die "cannot copy $file beside it; $file is untouched"
  fi
  said=$(osslsigncode sign "${credentials[@]}" "${options[@]}" -in "$unsigned" -out "$signed" \
           2>&1 < <(PasswordLine)) || Die "$file: $(Explain "$said")$(FreeSpaceHint "$file")"
  problem=$(SignedCopyProblem "$file" "$signed" "$trust")
  [ -z "$problem" ] || Die "$file: $problem; $file is untouched"
  chmod --reference="$file" "$signed" && sync "$signed" || Die "$file: cannot flush the signed copy to disk; $file is untouched"
  mv -f "$signed" "$file" && sync "$dir" || Die "cannot replace $file"
  echo "signed $file"
}

for file in "${files[@]}"; do
  [ -f "$file" ] && [ -r "$file" ] && [ -w "$file" ] || Die "cannot read and write $file (or it is not a file)"
  problem=$(WholeProblem "$file")
  [ -z "$problem" ] || Die "$file $problem; it is not signed"
  if [ "$replace" = 0 ] && IsSigned "$file"; then
    Die "$file is signed already; --replace signs it anew"
  fi
done

pem=$(Certificates) || Die "$([ -n "$pkcs12" ] && echo "wrong password for $pkcs12, or it is not a PKCS#12 file" ||
                               echo "cannot read a certificate in $cert")"
signer=$(CheckCertificate "$pem") || Die "cannot sign with ${pkcs12:-$cert}: $signer"
trust=$(mktemp) && temporary+=("$trust") || Die "cannot make a temporary file"
{ echo "$pem"; cat /etc/ssl/certs/ca-certificates.crt 2>/dev/null; } > "$trust"

if [ -n "$pkcs12" ]; then credentials=(-pkcs12 "$pkcs12"); else credentials=(-certs "$cert" -key "$key"); fi
options=(-h sha256)
[ -n "$password" ] && options+=(-readpass /dev/stdin)
[ -n "$description" ] && options+=(-n "$description")
[ -n "$url" ] && options+=(-i "$url")
[ -n "$timestamp" ] && options+=(-t "$timestamp")

echo "$signer"
for file in "${files[@]}"; do RemoveLeftovers "$(dirname "$file")"; done
for file in "${files[@]}"; do SignOne "$file"; done
if [ -z "$timestamp" ]; then
  echo "note: no --timestamp: these signatures stop verifying when the certificate expires"
fi
