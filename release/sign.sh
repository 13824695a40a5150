#!/usr/bin/env bash
# Signs Windows programs and Windows Installer packages in place with
# Authenticode (SHA-256), through osslsigncode, with a key in a file or in a
# token or HSM reached through its PKCS#11 module.
#
# osslsigncode says it succeeded even when its writes failed (a full disk
# gives a cut-off file and exit 0), and says "Succeeded" for a time stamp
# whose authority it could not verify, so nothing it writes is trusted: each
# signed copy is written beside its file, verified (the signature against the
# signer's own certificates, the time stamp against the authorities' roots
# and at a moment after the certificate has expired, a program as a whole
# PE), flushed to disk, and only when every file has passed renamed over the
# files. On any failure every file is untouched.
#
# The key signs each file once. Time stamps are added afterwards, authority
# after authority, without the key: an authority that is down never makes a
# token see its PIN again, and a PIN the token refuses is never retried (a
# token locks after a few wrong tries).
here=$(cd "$(dirname "$0")" && pwd)
usage=$(cat <<'EOF'
usage: sign.sh (--pkcs12 FILE | --cert FILE|URI --key FILE|URI) [--pkcs11-module LIB]
               [--password-file FILE] [--timestamp URL]... [--timestamp-ca FILE]
               [--description TEXT] [--url URL] [--replace] FILE...
  --pkcs12 FILE         the certificate and key in one PKCS#12 file
  --cert, --key         the certificate (with its chain) and the key: PEM or DER
                        files, or PKCS#11 URIs (pkcs11:token=...;object=...)
                        of objects in a token or HSM; a certificate file may
                        go with a key in a token
  --pkcs11-module LIB   the token's or HSM's PKCS#11 library, for URIs
  --password-file FILE  the key's password or the token's PIN: the file's
                        first line, without its line end; what follows it is
                        not read
  --timestamp URL       an RFC 3161 time-stamping authority; give several and
                        each is tried in turn until one answers. The signature
                        then verifies after the certificate expires
  --timestamp-ca FILE   roots of time-stamping authorities that the system's
                        bundle lacks (PEM)
  --description, --url  what the elevation prompt shows as the program's
                        name and "more information" link
  --replace             sign files that are signed already, replacing that
                        signature (else they are refused)
The certificate must be valid now. Every FILE is checked before any is signed,
and none is replaced unless all were signed and verified. The password or PIN
never appears on a command line or in what this prints, and a PIN the token
refuses is not tried again. Prints "signer: SUBJECT, valid FROM to TO", where
the key is, and "signed FILE" for each file (with the authority and time of
its time stamp); without --timestamp the last line says when the signatures
stop verifying.
EOF
)
. "$(dirname "$0")/../scripts/lib.sh" "$@"
. "$(dirname "$0")/../scripts/staging.sh"
set +e  # each step says why it failed

# Each authority has this long to answer; one that hangs is passed over.
authority_seconds=60

pkcs12='' cert='' key='' module='' password='' timestamp_ca='' description='' url='' replace=0
authorities=() files=()
while [ $# -gt 0 ]; do
  case $1 in
    --replace) replace=1 ;;
    --pkcs12|--cert|--key|--pkcs11-module|--password-file|--timestamp|--timestamp-ca|--description|--url)
      [ $# -ge 2 ] || BadUsage "$1 needs a value"
      case $1 in
        --pkcs12) pkcs12=$2 ;; --cert) cert=$2 ;; --key) key=$2 ;;
        --pkcs11-module) module=$2 ;; --password-file) password=$2 ;;
        --timestamp) authorities+=("$2") ;; --timestamp-ca) timestamp_ca=$2 ;;
        --description) description=$2 ;; --url) url=$2 ;;
      esac
      shift ;;
    --) shift; files+=("$@"); break ;;
    -*) BadUsage "unknown option $1" ;;
    *) files+=("$1") ;;
  esac
  shift
done

IsUri() { [[ $1 == pkcs11:* ]]; }

if [ -n "$pkcs12" ]; then
  [ -z "$cert$key$module" ] || BadUsage "give --pkcs12, or --cert with --key, not both"
else
  [ -n "$cert" ] && [ -n "$key" ] || BadUsage "give --pkcs12 FILE, or --cert with --key"
fi
if IsUri "$key" || IsUri "$cert"; then
  [ -n "$module" ] || BadUsage "a PKCS#11 URI needs --pkcs11-module LIB"
  IsUri "$key" || BadUsage "a certificate in a token goes with a key in a token"
  [ -n "$password" ] || BadUsage "a key in a token needs --password-file (its PIN)"
  [[ "$key;$cert" != *pin-value* ]] ||
    BadUsage "a PIN written in a URI stands on command lines; put it in --password-file"
else
  [ -z "$module" ] || BadUsage "--pkcs11-module goes with a PKCS#11 URI as --key"
fi
[ ${#files[@]} -gt 0 ] || BadUsage "no file to sign"
[ -z "$module" ] || { [ -f "$module" ] && [ -r "$module" ]; } ||
  Die "cannot load the PKCS#11 module $module: it is not a readable file"
for file in "$pkcs12" "$cert" "$key" "$password" "$timestamp_ca"; do
  [ -z "$file" ] || IsUri "$file" || { [ -f "$file" ] && [ -r "$file" ]; } || Die "cannot read $file"
done
for tool in osslsigncode openssl $([ -z "$module" ] || echo p11tool); do
  command -v $tool >/dev/null || Die "$tool is not installed (see release/README.md)"
done

temporary=()
trap 'rm -f "${temporary[@]}"' EXIT
trap 'exit 130' INT TERM

# The password or PIN as osslsigncode and openssl are handed it, through a pipe.
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
  elif IsUri "$cert"; then
    # Public: read without logging in, so that the PIN is used once, to sign.
    found=$(p11tool --provider "$module" --export "$cert" 2>/dev/null)
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

# Where the key is, for the record: never the PIN (a URI with one is refused).
KeyPlace() {
  if IsUri "$key"; then
    local label
    label=$(/usr/bin/python3 -c 'import sys, urllib.parse as u
print(next((u.unquote(a[6:]) for a in sys.argv[1][7:].split("?")[0].split(";")
            if a.startswith("token=")), ""))' "$key")
    echo "key: in the token \"${label:-named by $key}\" through the PKCS#11 module $(basename "$module")"
  else
    echo "key: in the file $(basename "${pkcs12:-$key}")"
  fi
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

# What osslsigncode said, as one line a person can act on: the first rule
# (PATTERN=LINE) whose pattern it said. The PIN's refusal comes first: the
# engine then also says the key was not found.
Explain() {
  local said=$1 rule rules=(
    "PIN incorrect=the token refused the PIN in $password (tried once: a token locks after a few wrong tries)"
    "PIN locked\|PIN_LOCKED=the token's PIN is locked; unlock it with the token's own tools"
    "private key was not found\|failed to load private key=no key in the token matches $key"
    "key values mismatch=the key $key does not belong to the certificate $cert"
    "wrong password\|mac verify failure\|bad decrypt=wrong password for ${pkcs12:-$key}"
    "failed to read\|failed to parse\|failed to decode\|no certificate=cannot use the key or certificate ${pkcs12:-$cert and $key}")
  for rule in "${rules[@]}"; do
    grep -qi -- "${rule%%=*}" <<<"$said" && echo "${rule#*=}" && return
  done
  echo "osslsigncode failed: $(grep -v '^[0-9A-F]*:error:' <<<"$said" | tr '\n' ' ')"
}

# "; the file system holding FILE has N KiB free" when that is too little
# for two more copies of it, the likely cause of a failed write.
FreeSpaceHint() {
  local free
  free=$(df -Pk "$(dirname "$1")" 2>/dev/null | awk 'NR == 2 {print $4}')
  [ "${free:-0}" -ge $(($(stat -c %s "$1") / 512 + 16)) ] ||
    echo "; the file system holding it has ${free:-no} KiB free"
}

# Why an authority gave no time stamp, in a few words.
AuthorityProblem() {
  local status=$1 said=$2
  if [ "$status" = 124 ]; then
    echo "no answer within $authority_seconds s"
  elif grep -qi "refused\|couldn't connect" <<<"$said"; then
    echo "connection refused"
  else
    grep -v '^[0-9A-F]*:error:' <<<"$said" | grep -i "fail\|error" | head -n 1
  fi
}

# Adds an RFC 3161 time stamp to the signed copy SIGNED, from the first
# authority that answers; prints that authority. The key is not used.
Stamp() {
  local signed=$1 stamped=$2 authority said status tried=()
  for authority in "${authorities[@]}"; do
    rm -f "$stamped"
    said=$(timeout "$authority_seconds" osslsigncode add -ts "$authority" -h sha256 \
             -in "$signed" -out "$stamped" 2>&1 </dev/null)
    status=$?
    if [ "$status" = 0 ] && [ -s "$stamped" ]; then
      mv -f "$stamped" "$signed" && echo "$authority" && return 0
    fi
    tried+=("$authority: $(AuthorityProblem "$status" "$said")")
  done
  local IFS=';'
  echo "no time-stamping authority answered (${tried[*]})"
  return 1
}

# The moment a signature is stamped with, as osslsigncode verify says it
# (2.9: "Timestamp time: ...", 2.5: "The signature is timestamped: ...").
StampedTime() {
  sed -n 's/^[[:space:]]*\(Timestamp time\|The signature is timestamped\): *//p' <<<"$1" | head -n 1
}

# A day after the certificate expires, as seconds since 1970.
AfterExpiry() { echo $(( $(date -d "$(openssl x509 -noout -enddate <<<"$pem" | cut -d= -f2)" +%s) + 86400 )); }

# osslsigncode verify on SIGNED against the signer's certificates and the
# authorities' roots, at the moment given by further options (-time).
Verify() {
  local signed=$1
  shift
  osslsigncode verify -CAfile "$trust" -TSA-CAfile "$timestamp_trust" "$@" -in "$signed" 2>&1 </dev/null
}

# Why the signed copy of FILE cannot replace it, or nothing, from whether and
# what Verify said of it; a stamped one must verify with its time stamp, now
# and after the certificate expired.
SignedCopyProblem() {
  local file=$1 signed=$2 verified=$3 said=$4 problem
  problem=$(WholeProblem "$signed")
  if [ -z "$problem" ] && [ "$verified" != 0 ]; then
    problem="its signature does not verify against the signer's own certificates"
  fi
  if [ -z "$problem" ] && [ ${#authorities[@]} -gt 0 ]; then
    if ! grep -q "Timestamp Server Signature verification: ok" <<<"$said"; then
      echo "its time stamp does not verify against the authorities' roots (the system's$(
        [ -z "$timestamp_ca" ] || echo " and $timestamp_ca")); give the authority's root with --timestamp-ca"
      return
    elif ! Verify "$signed" -time "$(AfterExpiry)" >/dev/null; then
      echo "its time-stamped signature would stop verifying when the certificate expires"
      return
    fi
  fi
  [ -z "$problem" ] ||
    echo "the signed copy osslsigncode wrote is not whole ($problem)$(FreeSpaceHint "$file")"
}

# Signs FILE into a copy beside it, stamps and verifies that copy; adds the
# copy to copies and what "signed" says of it to signed_lines.
SignCopy() {
  local file=$1 dir unsigned signed said verified problem authority
  dir=$(dirname "$file")
  unsigned=$(Staged "$file") && temporary+=("$unsigned") &&
    signed=$(Staged "$file") && temporary+=("$signed") ||
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
  if [ ${#authorities[@]} -gt 0 ]; then
    authority=$(Stamp "$signed" "$unsigned") || Die "$file: $authority; $file is untouched"
  fi
  said=$(Verify "$signed")
  verified=$?
  problem=$(SignedCopyProblem "$file" "$signed" "$verified" "$said")
  [ -z "$problem" ] || Die "$file: $problem; $file is untouched"
  # Flushed now, so that the renames at the end, after every file has passed,
  # have nothing left to fail on.
  chmod --reference="$file" "$signed" && sync "$signed" ||
    Die "$file: cannot flush the signed copy to disk; $file is untouched"
  copies+=("$signed")
  signed_lines+=("signed $file${authority:+, time-stamped by $authority at $(StampedTime "$said")}")
}

for file in "${files[@]}"; do
  [ -f "$file" ] && [ -r "$file" ] && [ -w "$file" ] || Die "cannot read and write $file (or it is not a file)"
  problem=$(WholeProblem "$file")
  [ -z "$problem" ] || Die "$file $problem; it is not signed"
  if [ "$replace" = 0 ] && IsSigned "$file"; then
    Die "$file is signed already; --replace signs it anew"
  fi
done

if [ -n "$module" ]; then
  p11tool --provider "$module" --list-tokens >/dev/null 2>&1 ||
    Die "cannot load the PKCS#11 module $module"
fi
pem=$(Certificates) || Die "$(if [ -n "$pkcs12" ]; then echo "wrong password for $pkcs12, or it is not a PKCS#12 file"
                              elif IsUri "$cert"; then echo "no certificate in the token matches $cert"
                              else echo "cannot read a certificate in $cert"; fi)"
signer=$(CheckCertificate "$pem") || Die "cannot sign with ${pkcs12:-$cert}: $signer"
trust=$(mktemp) && temporary+=("$trust") && timestamp_trust=$(mktemp) && temporary+=("$timestamp_trust") ||
  Die "cannot make a temporary file"
system_roots=/etc/ssl/certs/ca-certificates.crt
{ echo "$pem"; cat "$system_roots" 2>/dev/null; } > "$trust"
{ cat "$system_roots" 2>/dev/null; [ -z "$timestamp_ca" ] || cat "$timestamp_ca"; } > "$timestamp_trust"

if [ -n "$pkcs12" ]; then
  credentials=(-pkcs12 "$pkcs12")
elif IsUri "$key"; then
  credentials=(-pkcs11module "$module" -key "$key")
  if IsUri "$cert"; then credentials+=(-pkcs11cert "$cert"); else credentials+=(-certs "$cert"); fi
else
  credentials=(-certs "$cert" -key "$key")
fi
options=(-h sha256)
[ -n "$password" ] && options+=(-readpass /dev/stdin)
[ -n "$description" ] && options+=(-n "$description")
[ -n "$url" ] && options+=(-i "$url")

echo "$signer"
KeyPlace
for file in "${files[@]}"; do RemoveStale "$(dirname "$file")"; done
# Every file is signed and verified before any is replaced.
copies=() signed_lines=()
for file in "${files[@]}"; do SignCopy "$file"; done
for i in "${!files[@]}"; do
  said=$(PutInPlace "${copies[$i]}" "${files[$i]}") || Die "cannot replace ${files[$i]}: $said"
  echo "${signed_lines[$i]}"
done
if [ ${#authorities[@]} -eq 0 ]; then
  echo "note: no --timestamp: these signatures stop verifying on $(sed 's/.* to //' <<<"$signer")," \
       "when the certificate expires"
fi
