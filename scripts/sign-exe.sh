#!/usr/bin/env bash
# Signs a Windows executable with Authenticode through osslsigncode, for
# scripts/release.sh:
#
#   scripts/sign-exe.sh --check              the certificate can be used
#   scripts/sign-exe.sh UNSIGNED.exe SIGNED.exe
#
# VANTIDE_SIGN_PFX names a PKCS#12 file with the certificate and its private
# key, VANTIDE_SIGN_PASSWORD its password (empty for none);
# VANTIDE_SIGN_TIMESTAMP_URL optionally names an RFC 3161 time-stamp server.
# --check opens the certificate, so that release.sh can refuse a wrong path or
# password before a build of some minutes. Signing writes SIGNED.exe only
# when it succeeded, and checks that removing the signature gives
# UNSIGNED.exe back byte for byte. Any failure exits 1 with a "release: "
# line.
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

[[ -n "${VANTIDE_SIGN_PFX:-}" ]] || die "VANTIDE_SIGN_PFX is not set"
[[ -f "$VANTIDE_SIGN_PFX" ]] || die "VANTIDE_SIGN_PFX names no file: $VANTIDE_SIGN_PFX"
[[ -n "${VANTIDE_SIGN_PASSWORD+set}" ]] ||
  die "VANTIDE_SIGN_PFX is set but VANTIDE_SIGN_PASSWORD is not (set it empty for a PFX without a password)"
# The password reaches the tools through a file only this user can read,
# never on a command line that anyone on the machine can list.
(umask 077 && printf '%s' "$VANTIDE_SIGN_PASSWORD" >"$scratch/password")
# OpenSSL 3 opens a PFX of the older ciphers only with its legacy provider,
# which osslsigncode loads by itself.
if ! openssl pkcs12 -in "$VANTIDE_SIGN_PFX" -passin "file:$scratch/password" -noout 2>/dev/null &&
  ! openssl pkcs12 -legacy -in "$VANTIDE_SIGN_PFX" -passin "file:$scratch/password" -noout 2>/dev/null; then
  die "cannot open $VANTIDE_SIGN_PFX with VANTIDE_SIGN_PASSWORD: not a PFX, or the wrong password"
fi
pfx=$(realpath "$VANTIDE_SIGN_PFX")
[[ $check -eq 0 ]] || exit 0

unsigned=$1
signed=$2
[[ -f "$unsigned" ]] || die "no file to sign: $unsigned"
echo "    with $pfx${VANTIDE_SIGN_TIMESTAMP_URL:+, time stamp from $VANTIDE_SIGN_TIMESTAMP_URL}"
arguments=(sign -pkcs12 "$pfx" -readpass "$scratch/password" -h sha256
  -n "Vantide device identity" -in "$unsigned" -out "$scratch/signed.exe")
if [[ -n "${VANTIDE_SIGN_TIMESTAMP_URL:-}" ]]; then
  arguments+=(-ts "$VANTIDE_SIGN_TIMESTAMP_URL")
fi
if ! osslsigncode "${arguments[@]}" >"$scratch/sign.log" 2>&1; then
  cat "$scratch/sign.log" >&2
  die "signing failed; nothing is released"
fi
# What makes a signed release checkable against the source.
osslsigncode remove-signature -in "$scratch/signed.exe" -out "$scratch/unsigned-again.exe" >/dev/null
if ! cmp -s "$unsigned" "$scratch/unsigned-again.exe"; then
  die "removing the signature does not give back the unsigned .exe"
fi
cp "$scratch/signed.exe" "$signed"
