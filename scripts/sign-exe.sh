#!/usr/bin/env bash
# Signs a Windows executable with Authenticode through osslsigncode, for
# scripts/release.sh, and fails closed: a signature that would not be
# accepted is never written.
#
#   scripts/sign-exe.sh --check              the settings and the certificate can be used
#   scripts/sign-exe.sh UNSIGNED.exe SIGNED.exe
#
# Settings (environment):
#   VANTIDE_SIGN_PFX            a PKCS#12 file with the certificate and its
#                               private key, and possibly its chain
#   VANTIDE_SIGN_PASSWORD       its password (empty for none)
#   VANTIDE_SIGN_CA             PEM file of the root certificate(s) the
#                               signature must verify against; required.
#                               Roots that the PFX carries are never trusted
#                               by themselves: anyone can put a root of their
#                               own beside their certificate.
#   VANTIDE_SIGN_TIMESTAMP_URLS RFC 3161 time-stamp servers, separated by
#                               blanks, tried in order until one gives a time
#                               stamp that verifies;
#   VANTIDE_SIGN_TIMESTAMP_URL  one more, tried first
#   VANTIDE_SIGN_TSA_CA         PEM file of the roots the time stamp must
#                               verify against; unset: osslsigncode's default,
#                               the system's CA bundle
#   VANTIDE_SIGN_TIMEOUT        seconds each network step may take (each
#                               time-stamp server, the verification, which may
#                               fetch revocation lists); default 60
#   VANTIDE_SIGN_NO_TIMESTAMP   1: sign without a time stamp, for tests only.
#                               Otherwise a time-stamp server is required: a
#                               signature without a time stamp dies with its
#                               certificate.
#
# The certificate must carry the code-signing extended key usage, a key usage
# allowing digital signatures if it has a key usage at all, be within its
# validity now, and chain to a root of VANTIDE_SIGN_CA. --check tries all
# that, and the other settings, so that release.sh can refuse before a build
# of some minutes. Signing tries it again, then signs with each time-stamp
# server in turn until the signature and its chain verify with osslsigncode
# verify and so does the time stamp: a server that refuses, stays silent,
# answers with something that is no time stamp or with one from an authority
# outside VANTIDE_SIGN_TSA_CA is passed over, and named with what it did.
# Last it checks that removing the signature gives UNSIGNED.exe back byte for
# byte. SIGNED.exe is written only when all of that held. Any failure exits 1
# with a "release: " line.
set -euo pipefail

die() {
  echo "release: $*" >&2
  exit 1
}

check=0
if [[ $# -eq 1 && "$1" == --check ]]; then
  check=1
elif [[ $# -ne 2 ]]; then
  echo "usage: scripts/sign-exe.sh --check | UNSIGNED.exe SIGNED.exe" >&2
  exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --- the settings --------------------------------------------------------------
[[ -n "${VANTIDE_SIGN_PFX:-}" ]] || die "VANTIDE_SIGN_PFX is not set"
[[ -f "$VANTIDE_SIGN_PFX" ]] || die "VANTIDE_SIGN_PFX names no file: $VANTIDE_SIGN_PFX"
[[ -n "${VANTIDE_SIGN_PASSWORD+set}" ]] ||
  die "VANTIDE_SIGN_PFX is set but VANTIDE_SIGN_PASSWORD is not (set it empty for a PFX without a password)"
[[ -n "${VANTIDE_SIGN_CA:-}" ]] ||
  die "VANTIDE_SIGN_CA is not set: name the PEM file of the root the signature must verify against" \
    "(the roots a PFX carries are never trusted by themselves)"
for setting in VANTIDE_SIGN_CA VANTIDE_SIGN_TSA_CA; do
  if [[ -n "${!setting:-}" && ! -f "${!setting}" ]]; then
    die "$setting names no file: ${!setting}"
  fi
done
limit=${VANTIDE_SIGN_TIMEOUT:-60}
[[ "$limit" =~ ^[1-9][0-9]{0,4}$ ]] || die "VANTIDE_SIGN_TIMEOUT is \"$limit\", not a number of seconds"
# Split at blanks, and never expanded as a file pattern (a URL may hold "?").
read -r -d '' -a urls <<<"${VANTIDE_SIGN_TIMESTAMP_URL:-} ${VANTIDE_SIGN_TIMESTAMP_URLS:-}" || true
for url in "${urls[@]}"; do
  [[ "$url" =~ ^https?://[^[:space:]]+$ ]] || die "\"$url\" is not an http:// or https:// time-stamp server"
done
case "${VANTIDE_SIGN_NO_TIMESTAMP:-}" in
  "")
    [[ ${#urls[@]} -gt 0 ]] ||
      die "no time-stamp server: set VANTIDE_SIGN_TIMESTAMP_URLS (or VANTIDE_SIGN_NO_TIMESTAMP=1, for tests only)"
    ;;
  1)
    [[ ${#urls[@]} -eq 0 ]] ||
      die "VANTIDE_SIGN_NO_TIMESTAMP=1 waives the time stamp, yet time-stamp servers are named: set one or the other"
    ;;
  *) die "VANTIDE_SIGN_NO_TIMESTAMP is \"$VANTIDE_SIGN_NO_TIMESTAMP\": 1 waives the time stamp, unset requires it" ;;
esac

# --- the certificate -----------------------------------------------------------
# The password reaches the tools through a file only this user can read,
# never on a command line that anyone on the machine can list. Neither tool
# reads an empty one from a file: none is given instead.
if [[ -n "$VANTIDE_SIGN_PASSWORD" ]]; then
  (umask 077 && printf '%s' "$VANTIDE_SIGN_PASSWORD" >"$scratch/password")
  passin=file:$scratch/password
  readpass=(-readpass "$scratch/password")
else
  passin=pass:
  readpass=()
fi
# OpenSSL 3 opens a PFX of the older ciphers only with its legacy provider,
# which osslsigncode loads by itself.
pkcs12=(openssl pkcs12 -in "$VANTIDE_SIGN_PFX" -passin "$passin")
if ! "${pkcs12[@]}" -noout 2>/dev/null; then
  pkcs12+=(-legacy)
  "${pkcs12[@]}" -noout 2>/dev/null ||
    die "cannot open $VANTIDE_SIGN_PFX with VANTIDE_SIGN_PASSWORD: not a PFX, or the wrong password"
fi
pfx=$(realpath "$VANTIDE_SIGN_PFX")
"${pkcs12[@]}" -nokeys -clcerts -out "$scratch/certificate.pem" 2>/dev/null
"${pkcs12[@]}" -nokeys -cacerts -out "$scratch/chain.pem" 2>/dev/null
grep -q -- '-----BEGIN CERTIFICATE-----' "$scratch/certificate.pem" || die "$pfx holds no certificate for its key"

roots=$VANTIDE_SIGN_CA
roots_named=$VANTIDE_SIGN_CA
grep -q -- '-----BEGIN CERTIFICATE-----' "$roots" || die "VANTIDE_SIGN_CA holds no PEM certificate: $roots"

# The values of a certificate's extension on one line, "A, B"; nothing when
# it has none.
extension() {
  openssl x509 -in "$1" -noout -ext "$2" 2>/dev/null | sed 1d | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'
}

# The certificate is usable now: for code signing, in its validity, chained
# to a root. Windows refuses a signature whose certificate lacks any of these.
check_certificate() {
  local certificate=$scratch/certificate.pem subject usage not_before not_after now untrusted=()
  subject=$(openssl x509 -in "$certificate" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
  usage=$(extension "$certificate" extendedKeyUsage)
  [[ ", $usage," == *", Code Signing,"* ]] ||
    die "the certificate $subject is not for code signing (extended key usage: ${usage:-none})"
  usage=$(extension "$certificate" keyUsage)
  if [[ -n "$usage" && ", $usage," != *", Digital Signature,"* ]]; then
    die "the certificate $subject does not allow digital signatures (key usage: $usage)"
  fi
  not_before=$(openssl x509 -in "$certificate" -noout -startdate | sed 's/^notBefore=//')
  not_after=$(openssl x509 -in "$certificate" -noout -enddate | sed 's/^notAfter=//')
  now=$(date +%s)
  [[ $(date -d "$not_before" +%s) -le $now ]] || die "the certificate $subject is not valid before $not_before"
  [[ $(date -d "$not_after" +%s) -gt $now ]] || die "the certificate $subject expired on $not_after"
  if grep -q -- '-----BEGIN CERTIFICATE-----' "$scratch/chain.pem"; then
    untrusted=(-untrusted "$scratch/chain.pem")
  fi
  if ! openssl verify -CAfile "$roots" "${untrusted[@]}" "$certificate" >"$scratch/chain.log" 2>&1; then
    sed 's/^/    /' "$scratch/chain.log" >&2
    die "the certificate $subject does not chain to $roots_named"
  fi
  certificate_summary="$subject, valid until $not_after"
}
check_certificate
[[ $check -eq 0 ]] || exit 0

# --- signing -------------------------------------------------------------------
unsigned=$1
signed=$2
[[ -f "$unsigned" ]] || die "no file to sign: $unsigned"
echo "    certificate: $certificate_summary ($pfx)"
# osslsigncode waits for a time-stamp server that accepted the connection
# for as long as it stays silent, so each attempt has its own time limit.
# Without a server, a single attempt signs without a time stamp.
attempts=("${urls[@]}")
[[ ${#attempts[@]} -gt 0 ]] || attempts=("")
tsa_named=${VANTIDE_SIGN_TSA_CA:-the system CA bundle}
# What went wrong with a server, from osslsigncode's own words where they
# are clear; its exit status otherwise.
failure_of() {
  local log=$1 status=$2
  if grep -qiE 'connection refused|could not resolve|couldn.t connect|connect error' "$log"; then
    echo "could not be reached"
  elif grep -q 'Timestamping failed: status' "$log"; then
    # The status line, then the server's reason.
    echo "refused the request ($(grep -m1 -A1 'Timestamping failed: status' "$log" |
      sed 's/^.*Timestamping failed: //; s/^[[:space:]]*//; s/\.$//' | paste -sd ':' | sed 's/:/: /'))"
  elif grep -qiE 'convert timestamp reply|asn1|not enough data|decod' "$log"; then
    echo "answered with no valid time-stamp token"
  else
    echo "gave no time stamp (osslsigncode exit status $status)"
  fi
}
# The signature as Windows would check it: its digest, its chain up to the
# root, the certificate's purpose, and the time stamp's own chain.
verify=(verify -CAfile "$roots" -in "$scratch/signed.exe")
[[ -z "${VANTIDE_SIGN_TSA_CA:-}" ]] || verify+=(-TSA-CAfile "$VANTIDE_SIGN_TSA_CA")
check_certificate
tried=()
stamped_by=""
signed_ok=0
for url in "${attempts[@]}"; do
  arguments=(sign -pkcs12 "$pfx" "${readpass[@]}" -h sha256
    -n "Vantide device identity" -in "$unsigned" -out "$scratch/signed.exe")
  [[ -z "$url" ]] || arguments+=(-ts "$url")
  # osslsigncode does not overwrite, and a killed run may leave a part.
  rm -f "$scratch/signed.exe"
  status=0
  timeout -k 5 "$limit" osslsigncode "${arguments[@]}" >"$scratch/sign.log" 2>&1 || status=$?
  what=""
  if [[ $status -ne 0 ]]; then
    if [[ -z "$url" ]]; then
      cat "$scratch/sign.log" >&2
      die "signing failed; nothing is released"
    elif [[ $status -eq 124 || $status -eq 137 ]]; then
      what="gave no answer within $limit s"
    else
      sed 's/^/    /' "$scratch/sign.log" >&2
      what=$(failure_of "$scratch/sign.log" "$status")
    fi
  else
    status=0
    timeout -k 5 "$limit" osslsigncode "${verify[@]}" >"$scratch/verify.log" 2>&1 || status=$?
    if [[ $status -ne 0 ]] || ! grep -q '^Signature verification: ok' "$scratch/verify.log"; then
      grep -E 'Error|error|[Ff]ailed|verification|purpose' "$scratch/verify.log" | sed 's/^[[:space:]]*/    /' >&2 || true
      if [[ -z "$url" ]]; then
        die "the signature does not verify against $roots_named (osslsigncode verify exit status $status); nothing is released"
      fi
      # A token can spoil the whole signature as well as itself.
      what="gave a time stamp with which the signature does not verify against $roots_named"
    elif [[ -n "$url" ]] && ! grep -q '^Timestamp Server Signature verification: ok' "$scratch/verify.log"; then
      # osslsigncode verify passes a signature whose time stamp fails,
      # checking the certificate at the present time instead.
      grep -E 'Timestamp|Error' "$scratch/verify.log" | sed 's/^[[:space:]]*/    /' >&2 || true
      what="gave a time stamp that does not verify against $tsa_named"
    fi
  fi
  if [[ -z "$what" ]]; then
    stamped_by=$url
    signed_ok=1
    [[ -z "$url" ]] || tried+=("$url: time stamp verified, used")
    break
  fi
  echo "release: time-stamp server $url $what; passed over" >&2
  tried+=("$url: $what")
done
if [[ $signed_ok -ne 1 ]]; then
  summary=$(printf '%s; ' "${tried[@]}")
  die "signing failed, no time-stamp server gave a time stamp that verifies (${summary%; }); nothing is released"
fi
if [[ -n "$stamped_by" ]]; then
  echo "    time stamp: $stamped_by"
  if [[ ${#tried[@]} -gt 1 ]]; then
    printf '      %s\n' "${tried[@]}"
  fi
fi
echo "    verified: against $roots_named$(sed -n 's/^[[:space:]]*Timestamp time: /, time stamp of /p' "$scratch/verify.log" | head -n 1)"

# What makes a signed release checkable against the source.
osslsigncode remove-signature -in "$scratch/signed.exe" -out "$scratch/unsigned-again.exe" >/dev/null
if ! cmp -s "$unsigned" "$scratch/unsigned-again.exe"; then
  die "removing the signature does not give back the unsigned .exe"
fi
cp "$scratch/signed.exe" "$signed"
