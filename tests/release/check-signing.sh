#!/usr/bin/env bash
# Signs a release with a throwaway certificate and checks what a signed
# release promises:
#   - a certificate that cannot be used stops scripts/release.sh before it
#     builds, and leaves no .exe behind; a failure while signing, after the
#     build, leaves nothing;
#   - the signed .exe verifies (osslsigncode verify, the throwaway certificate
#     as the trusted root) and fails against another root;
#   - removing the signature gives back, byte for byte, the .exe of an
#     unsigned release of the same tree: anyone can check a signed download
#     against the source;
#   - the checksum file, the SBOM and the zip carry the signed .exe;
# and, on the unsigned release, that the SBOM check refuses broken documents
# and that the zip holds README.txt with Windows line ends, every status of
# README.md's troubleshooting table, no extra fields and fixed times.
#
#   tests/release/check-signing.sh [UNSIGNED_DIST]
#
# UNSIGNED_DIST is an unsigned release of this tree (scripts/check-reproducible.sh
# --keep leaves one); without it, one is built first. The certificate and its
# key live in a temporary folder and are removed at the end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$PWD
started=$SECONDS
export LC_ALL=C
unset VANTIDE_SIGN_PFX VANTIDE_SIGN_PASSWORD VANTIDE_SIGN_TIMESTAMP_URL
# A test of signing, not a release: a modified tree is signed all the same.
export VANTIDE_ALLOW_DIRTY=1

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH

name=vantide-identity
work=$(mktemp -d "${TMPDIR:-/tmp}/vantide-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
pass() { echo "  ok    $*"; }
fail() {
  echo "  FAIL  $*"
  failures=$((failures + 1))
}
finish() {
  if [[ $failures -ne 0 ]]; then
    echo "signing: FAILED, $failures check(s) ($((SECONDS - started)) s)"
    exit 1
  fi
}

echo "=== signing: a throwaway code-signing certificate"
# A password with blanks, quotes and a dollar sign: it must reach osslsigncode
# exactly as given.
# shellcheck disable=SC2016
password='throwaway "pass" $word'
printf '%s' "$password" >"$work/password"
make_certificate() {
  openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=$2" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
}
make_certificate signer "Vantide throwaway signer"
make_certificate stranger "Unrelated root"
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer.pfx" \
  -passout "file:$work/password"
openssl x509 -in "$work/signer.pem" -noout -subject -enddate | sed 's/^/    /'

echo "=== signing: certificates release.sh must refuse before it builds"
# case | VANTIDE_SIGN_PFX | VANTIDE_SIGN_PASSWORD ("<unset>": not set)
refusals=(
  "wrong password|$work/signer.pfx|not the password"
  "no such file|$work/missing.pfx|$password"
  "password not set|$work/signer.pfx|<unset>"
  "a certificate without its key, not a PFX|$work/signer.pem|$password"
)
for refusal in "${refusals[@]}"; do
  IFS='|' read -r label pfx given <<<"$refusal"
  out=$work/refused
  rm -rf "$out"
  status=0
  if [[ "$given" == "<unset>" ]]; then
    VANTIDE_SIGN_PFX=$pfx bash scripts/release.sh "$out" >"$work/refused.log" 2>&1 || status=$?
  else
    VANTIDE_SIGN_PFX=$pfx VANTIDE_SIGN_PASSWORD=$given bash scripts/release.sh "$out" >"$work/refused.log" 2>&1 ||
      status=$?
  fi
  reason=$(grep -m1 '^release: ' "$work/refused.log" || true)
  if [[ $status -eq 0 ]]; then
    fail "$label: release.sh succeeded"
  elif grep -q 'configure and build' "$work/refused.log"; then
    fail "$label: release.sh started building before it refused"
  elif [[ -e "$out/$name.exe" ]]; then
    fail "$label: an .exe was left in $out"
  elif [[ -z "$reason" ]]; then
    fail "$label: exit status $status without a reason"
  else
    pass "$label: exit status $status, $reason"
  fi
done

reference=${1:-}
if [[ -z "$reference" ]]; then
  echo "=== signing: an unsigned release of this tree to compare with"
  reference=$work/unsigned
  if ! bash scripts/release.sh "$reference" >"$work/unsigned.log" 2>&1; then
    tail -n 30 "$work/unsigned.log"
    echo "signing: FAILED, the unsigned release failed"
    exit 1
  fi
fi
[[ "$reference" == /* ]] || reference=$root/$reference
if [[ ! -f "$reference/$name.exe" ]]; then
  echo "signing: FAILED, no $name.exe in $reference"
  exit 1
fi
echo "    unsigned release: $reference"

echo "=== signing: release.sh with the throwaway certificate"
signed=$work/signed
if ! VANTIDE_SIGN_PFX=$work/signer.pfx VANTIDE_SIGN_PASSWORD=$password \
  bash scripts/release.sh "$signed" >"$work/signed.log" 2>&1; then
  tail -n 30 "$work/signed.log"
  echo "signing: FAILED, the signed release failed"
  exit 1
fi
sed -n '/^=== release: sign /p; /^=== release: .*, signed$/,$p' "$work/signed.log" | sed 's/^/    /'
exe=$signed/$name.exe

echo "=== signing: a failure after the build (a time-stamp server that refuses) releases nothing"
# Nothing listens on the discard port of this machine: osslsigncode fails
# while signing, past every check release.sh makes before it builds.
failed_out=$work/unstamped
status=0
VANTIDE_SIGN_PFX=$work/signer.pfx VANTIDE_SIGN_PASSWORD=$password VANTIDE_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ \
  bash scripts/release.sh "$failed_out" >"$work/unstamped.log" 2>&1 || status=$?
grep -E '^release: |Connecting to|timestamping failed' "$work/unstamped.log" | sed 's/^/    /'
left=$(find "$failed_out" -type f -printf '%f ' 2>/dev/null || true)
if [[ $status -eq 0 ]]; then
  fail "release.sh succeeded although signing failed"
elif ! grep -q '^release: signing failed' "$work/unstamped.log"; then
  fail "release.sh failed (exit status $status) without saying that signing failed"
elif [[ -n "$left" ]]; then
  fail "signing failed, yet release.sh left $left"
else
  pass "signing failed: exit status $status, nothing left in the output folder"
fi

echo "=== signing: osslsigncode verify, the throwaway certificate as the trusted root"
status=0
osslsigncode verify -CAfile "$work/signer.pem" -in "$exe" >"$work/verify.log" 2>&1 || status=$?
grep -E 'Message digest algorithm|Subject:|Signing time|Signature verification|Number of verified|Succeeded|Failed' \
  "$work/verify.log" | sed 's/^[[:space:]]*/    /' | sort -u
if [[ $status -eq 0 ]] && grep -q 'Signature verification: ok' "$work/verify.log"; then
  pass "the signed .exe verifies"
else
  fail "the signed .exe does not verify (exit status $status)"
fi
# Verification that nothing could fail would prove nothing.
for attempt in "stranger|$exe|the signed .exe against an unrelated root" \
  "signer|$reference/$name.exe|the unsigned .exe"; do
  IFS='|' read -r root_name file label <<<"$attempt"
  if osslsigncode verify -CAfile "$work/$root_name.pem" -in "$file" >"$work/refuse.log" 2>&1; then
    fail "$label verifies"
  else
    pass "$label does not verify"
  fi
done

echo "=== signing: the signature removed gives back the unsigned release"
osslsigncode remove-signature -in "$exe" -out "$work/stripped.exe" >/dev/null
for file in "$exe" "$work/stripped.exe" "$reference/$name.exe"; do
  printf '    %s %9s  %s\n' "$(sha256sum <"$file" | cut -d' ' -f1)" "$(stat -c %s "$file")" "${file#"$work"/}"
done
if cmp "$work/stripped.exe" "$reference/$name.exe"; then
  pass "signed, then the signature removed: the unsigned .exe byte for byte"
else
  fail "the .exe without its signature differs from the unsigned release"
fi

echo "=== signing: the signed release's checksum, SBOM and zip"
if (cd "$signed" && sha256sum --quiet -c "$name.exe.sha256"); then
  pass "$name.exe.sha256 names the signed .exe"
else
  fail "$name.exe.sha256 does not name the signed .exe"
fi
sbom=$(cd "$signed" && ls "$name"-*.spdx.json)
if summary=$(cmake -DSBOM="$signed/$sbom" -DEXECUTABLE="$exe" -P tests/release/check_sbom.cmake 2>&1); then
  pass "$sbom describes the signed .exe"
else
  fail "$sbom does not describe the signed .exe: $summary"
fi
unsigned_sha256=$(sha256sum <"$reference/$name.exe" | cut -d' ' -f1)
if grep -qF "its SHA-256 is $unsigned_sha256" "$signed/$sbom"; then
  pass "$sbom records the unsigned release's SHA-256"
else
  fail "$sbom does not record the unsigned release's SHA-256 $unsigned_sha256"
fi
archive=$(cd "$signed" && ls "$name"-*.zip)
if unzip -p "$signed/$archive" "$name.exe" | cmp -s - "$exe"; then
  pass "$archive holds the signed .exe"
else
  fail "$archive does not hold the signed .exe"
fi

echo "=== signing: the SBOM check refuses broken documents"
good=$(cd "$reference" && ls "$name"-*.spdx.json)
good=$reference/$good
if cmake -DSBOM="$good" -DEXECUTABLE="$reference/$name.exe" -P tests/release/check_sbom.cmake >/dev/null 2>&1; then
  pass "the unsigned release's SBOM passes"
else
  fail "the unsigned release's SBOM does not pass"
fi
# case | sed program applied to the good SBOM ("" keeps it) | the .exe checked against
broken=(
  "the checksum of another file||$exe"
  "not SPDX 2.3|s/\"SPDX-2.3\"/\"SPDX-2.2\"/|"
  "a component left out|s/\"name\": \"libstdc++\"/\"name\": \"libstdc\"/|"
  "a component without a version|/\"name\": \"nlohmann\\/json\"/{n;s/\"versionInfo\": \"[^\"]*\"/\"versionInfo\": \"NOASSERTION\"/}|"
  "a component tied to nothing|/\"relatedSpdxElement\": \"SPDXRef-Package-libgcc\"/d|"
  "a relationship to an undefined element|s/\"relatedSpdxElement\": \"SPDXRef-Package-libstdcxx\"/\"relatedSpdxElement\": \"SPDXRef-Package-gone\"/|"
  # The closing brace dropped: a document that stops short.
  "cut short|\$d|"
)
for case in "${broken[@]}"; do
  IFS='|' read -r label program against <<<"$case"
  sed "$program" "$good" >"$work/broken.spdx.json"
  if [[ -n "$program" ]] && cmp -s "$good" "$work/broken.spdx.json"; then
    fail "$label: the edit did not change the SBOM (the case is broken)"
    continue
  fi
  if message=$(cmake -DSBOM="$work/broken.spdx.json" -DEXECUTABLE="${against:-$reference/$name.exe}" \
    -P tests/release/check_sbom.cmake 2>&1); then
    fail "$label: the check passed"
  else
    # CMake wraps a message over several lines.
    pass "$label: $(sed -n '/sbom: /,/^$/p' <<<"$message" | tr -s ' \n' ' ' | sed 's/.*\(sbom: \)/\1/; s/ Call Stack.*//; s/ *$//')"
  fi
done

echo "=== signing: the zip of the unsigned release"
archive=$(cd "$reference" && ls "$name"-*.zip)
unzip -p "$reference/$archive" README.txt >"$work/README.txt"
lines=$(wc -l <"$work/README.txt")
crlf=$(grep -c $'\r$' "$work/README.txt" || true)
if [[ $lines -gt 0 && $crlf -eq $lines ]]; then
  pass "README.txt: $lines lines, each ended by CR LF"
else
  fail "README.txt: $crlf of $lines lines ended by CR LF"
fi
# shellcheck disable=SC2016
mapfile -t statuses < <(sed -n '/^## Troubleshooting$/,/^## /s/^| `\([^`]*\)`.*/\1/p' README.md)
missing=()
for code in "${statuses[@]}"; do
  grep -qF "  $code" "$work/README.txt" || missing+=("$code")
done
if [[ ${#statuses[@]} -gt 0 && ${#missing[@]} -eq 0 ]]; then
  pass "README.txt explains all ${#statuses[@]} statuses of README.md's table"
else
  fail "README.txt lacks ${missing[*]:-the table}"
fi
# Extra fields would carry owners and times; every entry's time is the
# release's SOURCE_DATE_EPOCH, which its SBOM records as its time of creation
# (compared to the minute: zip keeps two-second steps).
extra=$(zipinfo -v "$reference/$archive" | grep -c 'length of extra field: *[1-9]' || true)
when=$(tr -d '\r' <"$good" | sed -n 's/^ *"created": "\(....\)-\(..\)-\(..\)T\(..\):\(..\):..Z",*$/\1\2\3.\4\5/p')
times=$(TZ=UTC zipinfo -T "$reference/$archive" | awk '$7 ~ /^[0-9]+\.[0-9]+$/ { print substr($7, 1, 13) }' | sort -u | paste -sd ' ')
if [[ $extra -eq 0 && "$times" == "$when" ]]; then
  pass "$archive: no extra fields, every entry dated $when (UTC)"
else
  fail "$archive: $extra extra fields, entries dated $times (expected $when)"
fi

finish
echo "signing: ok, signed, verified, and stripped back to the unsigned release's bytes ($((SECONDS - started)) s)"
