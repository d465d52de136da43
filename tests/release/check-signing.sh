#!/usr/bin/env bash
# Signs a release with throwaway certificates and local time-stamp servers
# and checks what a signed release promises:
#   - settings or a certificate that cannot be used stop scripts/release.sh
#     before it builds, for the reason named, and leave nothing in the output
#     folder, not even the earlier release it held: a wrong password, no
#     PFX, a certificate not for code signing, one whose key usage forbids
#     signatures, an expired one, one not valid yet, one that does not chain
#     to the root named, no root named (the PFX's own is never trusted), no
#     time-stamp server without the explicit waiver; an output folder that
#     holds other files is refused untouched;
#   - time-stamp servers are tried in order, each within the time limit: one
#     that refuses the connection, one that stays silent, one that answers
#     with no token, one that rejects the request and one whose token comes
#     from an authority of another root are all passed over for one that
#     gives a good time stamp, and when none does, nothing is released and
#     the failure names what each did;
#   - a release signed with a certificate issued by a separate root verifies
#     against that root (osslsigncode verify), its time stamp too, and fails
#     against another root; with the waiver, scripts/sign-exe.sh signs
#     without a time stamp, also with a PFX without a password;
#   - a release into a folder holding an earlier release leaves only its own
#     files there;
#   - removing the signature gives back, byte for byte, the .exe of an
#     unsigned release of the same tree: anyone can check a signed download
#     against the source;
#   - the checksum file, the SBOM and the zip carry the signed .exe;
# and, on the unsigned release, that the SBOM check refuses broken documents,
# that the SBOM and the notices name the demangler's own licence, and that
# the zip holds README.txt with Windows line ends, every status of
# README.md's troubleshooting table, no extra fields and fixed times. Before
# all that, scripts/source-state.sh on small git repositories: a change
# hidden by skip-worktree or assume-unchanged still makes a tree modified.
#
#   tests/release/check-signing.sh [UNSIGNED_DIST]
#
# UNSIGNED_DIST is an unsigned release of this tree (scripts/check-reproducible.sh
# --keep leaves one); without it, one is built first. The certificates, their
# keys and the time-stamp servers (tests/release/timestamp_server.py, python3
# and openssl ts) live in a temporary folder and are gone at the end. Two
# releases are built: the signed one, and one whose time stamp fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$PWD
started=$SECONDS
export LC_ALL=C
unset VANTIDE_SIGN_PFX VANTIDE_SIGN_PASSWORD VANTIDE_SIGN_CA VANTIDE_SIGN_TIMESTAMP_URL \
  VANTIDE_SIGN_TIMESTAMP_URLS VANTIDE_SIGN_TSA_CA VANTIDE_SIGN_TIMEOUT VANTIDE_SIGN_NO_TIMESTAMP
# A test of signing, not a release: a modified tree is signed all the same.
export VANTIDE_ALLOW_DIRTY=1

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH

name=vantide-identity
work=$(mktemp -d "${TMPDIR:-/tmp}/vantide-signing.XXXXXX")
servers=()
stop_servers() {
  if [[ ${#servers[@]} -gt 0 ]]; then kill "${servers[@]}" 2>/dev/null || true; fi
}
trap 'stop_servers; rm -rf "$work"' EXIT

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

echo "=== signing: throwaway certificates"
# A password with blanks, quotes and a dollar sign: it must reach osslsigncode
# exactly as given.
# shellcheck disable=SC2016
password='throwaway "pass" $word'
printf '%s' "$password" >"$work/password"
# openssl ca writes any validity period. The signer and the certificates
# refused for what they are or when they are valid are issued by a root of
# their own; the unrelated root and the time-stamp authorities sign
# themselves.
mkdir "$work/issued"
touch "$work/issued/index.txt"
cat >"$work/ca.cnf" <<CONFIG
[ca]
default_ca = throwaway
[throwaway]
database = $work/issued/index.txt
new_certs_dir = $work/issued
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[root]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[code_signing]
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[tls_server]
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[encipher_only]
keyUsage = critical,keyEncipherment
extendedKeyUsage = codeSigning
[time_stamping]
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
CONFIG
at() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
# file | subject | extensions | valid from | valid until | issuer ("" for itself)
certificates=(
  "root|Vantide throwaway root|root|$(at '1 hour ago')|$(at '3 days')|"
  "signer|Vantide throwaway signer|code_signing|$(at '1 hour ago')|$(at '2 days')|root"
  "stranger|Unrelated root|code_signing|$(at '1 hour ago')|$(at '2 days')|"
  "tls-server|A TLS server|tls_server|$(at '1 hour ago')|$(at '2 days')|root"
  "encipher-only|Key encipherment only|encipher_only|$(at '1 hour ago')|$(at '2 days')|root"
  "expired|Expired signer|code_signing|20200101000000Z|20200201000000Z|root"
  "not-yet-valid|Future signer|code_signing|$(at '1 year')|$(at '2 years')|root"
  "tsa|Throwaway time-stamp authority|time_stamping|$(at '1 hour ago')|$(at '2 days')|"
  "rogue-tsa|Rogue time-stamp authority|time_stamping|$(at '1 hour ago')|$(at '2 days')|"
)
for certificate in "${certificates[@]}"; do
  IFS='|' read -r file subject extensions from until issuer <<<"$certificate"
  openssl req -new -newkey rsa:3072 -nodes -subj "/CN=$subject" -keyout "$work/$file.key" -out "$work/$file.csr" \
    2>/dev/null
  if [[ -z "$issuer" ]]; then
    signed_by=(-selfsign -keyfile "$work/$file.key")
  else
    signed_by=(-cert "$work/$issuer.pem" -keyfile "$work/$issuer.key")
  fi
  openssl ca -batch -config "$work/ca.cnf" "${signed_by[@]}" -in "$work/$file.csr" \
    -extensions "$extensions" -startdate "$from" -enddate "$until" -notext -out "$work/$file.pem" 2>/dev/null
  # Each PFX carries its root, as a vendor's file often does: the root a
  # signature must verify against is the one named, never the one carried.
  openssl pkcs12 -export -inkey "$work/$file.key" -in "$work/$file.pem" ${issuer:+-certfile "$work/$issuer.pem"} \
    -out "$work/$file.pfx" -passout "file:$work/password"
done
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer-no-password.pfx" \
  -passout pass:
openssl x509 -in "$work/signer.pem" -noout -subject -issuer -enddate | sed 's/^/    /'

echo "=== signing: local time-stamp servers"
cat >"$work/tsa.cnf" <<CONFIG
[tsa]
default_tsa = throwaway
[throwaway]
serial = $work/tsa.serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.57264.9.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CONFIG
echo 01 >"$work/tsa.serial"
# The same authority answering only SHA-1 requests rejects osslsigncode's;
# the rogue authority answers everything, with a token of its own.
sed "s/^digests = .*/digests = sha1/" "$work/tsa.cnf" >"$work/rejecting.cnf"
sed "s#/tsa\.#/rogue-tsa.#g" "$work/tsa.cnf" >"$work/rogue.cnf"
labels=(answering silent malformed rejecting rogue)
for server in "answering answer $work/tsa.cnf" "silent silent" "malformed malformed" \
  "rejecting answer $work/rejecting.cnf" "rogue answer $work/rogue.cnf"; do
  read -r label mode config <<<"$server"
  python3 tests/release/timestamp_server.py "$mode" "$work/$label.port" ${config:+"$config"} \
    >"$work/$label.server.log" 2>&1 &
  servers+=($!)
done
for label in "${labels[@]}"; do
  for _ in $(seq 300); do
    [[ -s "$work/$label.port" ]] && break
    sleep 0.1
  done
  if [[ ! -s "$work/$label.port" ]]; then
    cat "$work/$label.server.log"
    echo "signing: FAILED, the $label time-stamp server did not start"
    exit 1
  fi
done
declare -A server
for label in "${labels[@]}"; do server[$label]=http://127.0.0.1:$(cat "$work/$label.port")/; done
# Nothing listens on the discard port of this machine.
server[refusing]=http://127.0.0.1:9/
answering=${server[answering]} silent=${server[silent]} refusing=${server[refusing]}
for label in refusing "${labels[@]}"; do echo "    $label ${server[$label]}"; done
# Each server may take this long; a release that hangs on one is stopped at
# the guard, and fails.
limit=5
guard=1800

# The settings of a signing run: the throwaway signer, its password, its root
# and the waiver of the time stamp, changed by NAME=value and removed by
# -NAME.
signing_settings() {
  local setting name
  local -A chosen=([VANTIDE_SIGN_PFX]=$work/signer.pfx [VANTIDE_SIGN_PASSWORD]=$password
    [VANTIDE_SIGN_CA]=$work/root.pem [VANTIDE_SIGN_NO_TIMESTAMP]=1 [VANTIDE_SIGN_TIMEOUT]=$limit)
  for setting in "$@"; do
    if [[ "$setting" == -* ]]; then
      unset "chosen[${setting#-}]"
    else
      chosen[${setting%%=*}]=${setting#*=}
    fi
  done
  settings=()
  for name in "${!chosen[@]}"; do settings+=("$name=${chosen[$name]}"); done
}
# An earlier release, as a folder holds it before the next: the unsigned
# release, and the zip of an older version beside it.
earlier_release() {
  mkdir -p "$1"
  cp -p "$reference"/* "$1/"
  cp -p "$reference/$(cd "$reference" && ls "$name"-*.zip)" "$1/$name-0.9.0+g0123456789ab.zip"
}
# release.sh OUT with those settings, OUT holding an earlier release, its
# output in LOG; its exit status.
release_with() {
  local out=$1 log=$2
  shift 2
  signing_settings "$@"
  rm -rf "$out"
  earlier_release "$out"
  env "${settings[@]}" timeout "$guard" bash scripts/release.sh "$out" >"$log" 2>&1
}

# A refusal: a run that failed (exit STATUS, output in LOG), named EXPECTED
# in a "release: " line, and left nothing at LEFT (a file, or a folder that
# must be gone or empty).
judge_refusal() {
  local label=$1 expected=$2 status=$3 log=$4 left=$5 reason found
  reason=$(grep '^release: ' "$log" | grep -F -m1 -- "$expected" || true)
  found=$(find "$left" -maxdepth 1 ! -type d -printf '%f ' 2>/dev/null || true)
  if [[ $status -eq 0 ]]; then
    fail "$label: it succeeded"
  elif [[ -n "$found" ]]; then
    fail "$label: exit status $status, yet ${left#"$work"/} holds $found"
  elif [[ -z "$reason" ]]; then
    fail "$label: exit status $status, no reason with \"$expected\": $(grep -m1 '^release: ' "$log" || echo none)"
  else
    pass "$label: exit status $status, $reason"
  fi
}

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

echo "=== signing: the tree state a release records, on small git repositories"
# One repository, copied for each case: a tracked file, a file git ignores
# and the script under test, committed.
fixture=$work/tree
git init -q "$fixture"
mkdir "$fixture/scripts" "$fixture/out"
cp scripts/source-state.sh "$fixture/scripts/"
echo 'one' >"$fixture/tracked.txt"
echo 'build/' >"$fixture/.gitignore"
git -C "$fixture" add -A
git -C "$fixture" -c user.name=test -c user.email=test@invalid commit -q -m fixture
# case | what the tree must read as | commands run in the copy
trees=(
  "untouched|clean|true"
  "a tracked file edited|modified|echo two >>tracked.txt"
  "an edit staged|modified|echo two >>tracked.txt && git add tracked.txt"
  "a tracked file deleted|modified|rm tracked.txt"
  "a new file|modified|echo new >new.txt"
  "a new file in an ignored folder|clean|mkdir build && echo new >build/new.txt"
  "a new file in the folder left out|clean|echo new >out/new.txt"
  "an edit hidden by skip-worktree|modified|git update-index --skip-worktree tracked.txt && echo two >>tracked.txt"
  "an edit hidden by assume-unchanged|modified|git update-index --assume-unchanged tracked.txt && echo two >>tracked.txt"
  "a deletion hidden by skip-worktree|modified|git update-index --skip-worktree tracked.txt && rm tracked.txt"
)
for case in "${trees[@]}"; do
  IFS='|' read -r label expected commands <<<"$case"
  rm -rf "$work/tree-case"
  cp -a "$fixture" "$work/tree-case"
  (cd "$work/tree-case" && eval "$commands")
  read -r _ state < <(bash "$work/tree-case/scripts/source-state.sh" "$work/tree-case/out" 2>&1 || true)
  if [[ "$state" == "$expected" ]]; then
    pass "$label: $state"
  else
    fail "$label: reads as \"${state:-nothing}\", expected $expected"
  fi
done

echo "=== signing: settings and certificates release.sh must refuse before it builds"
# case | what the refusal names | settings
refusals=(
  "wrong password|the wrong password|VANTIDE_SIGN_PASSWORD=not the password"
  "no such file|names no file|VANTIDE_SIGN_PFX=$work/missing.pfx"
  "password not set|VANTIDE_SIGN_PASSWORD is not|-VANTIDE_SIGN_PASSWORD"
  "a certificate without its key, not a PFX|not a PFX|VANTIDE_SIGN_PFX=$work/signer.pem"
  "a TLS server's certificate|not for code signing|VANTIDE_SIGN_PFX=$work/tls-server.pfx"
  "a key usage without digital signatures|does not allow digital signatures|VANTIDE_SIGN_PFX=$work/encipher-only.pfx"
  "an expired certificate|expired on|VANTIDE_SIGN_PFX=$work/expired.pfx"
  "a certificate not valid yet|is not valid before|VANTIDE_SIGN_PFX=$work/not-yet-valid.pfx"
  "a root that did not issue the certificate|does not chain to|VANTIDE_SIGN_CA=$work/stranger.pem"
  "a certificate of an unrelated root|does not chain to|VANTIDE_SIGN_PFX=$work/stranger.pfx"
  "no root named, a PFX that carries its own|VANTIDE_SIGN_CA is not set|-VANTIDE_SIGN_CA|VANTIDE_SIGN_PFX=$work/stranger.pfx"
  "a root file without a certificate|holds no PEM certificate|VANTIDE_SIGN_CA=$work/password"
  "no time-stamp server, no waiver|no time-stamp server|-VANTIDE_SIGN_NO_TIMESTAMP"
  "a time-stamp server and the waiver|set one or the other|VANTIDE_SIGN_TIMESTAMP_URLS=$answering"
  "a time limit that is no number|not a number of seconds|VANTIDE_SIGN_TIMEOUT=soon"
)
for refusal in "${refusals[@]}"; do
  IFS='|' read -r -a fields <<<"$refusal"
  label=${fields[0]}
  expected=${fields[1]}
  out=$work/refused
  status=0
  release_with "$out" "$work/refused.log" "${fields[@]:2}" || status=$?
  if grep -q 'configure and build' "$work/refused.log"; then
    fail "$label: release.sh started building before it refused"
  else
    judge_refusal "$label" "$expected" "$status" "$work/refused.log" "$out"
  fi
done
# A folder that holds more than an earlier release is not the release's to
# empty: refused, and left as it was.
out=$work/shared
rm -rf "$out"
earlier_release "$out"
echo 'notes' >"$out/notes.txt"
before=$(cd "$out" && sha256sum ./* | sort)
signing_settings
status=0
env "${settings[@]}" timeout "$guard" bash scripts/release.sh "$out" >"$work/shared.log" 2>&1 || status=$?
if grep -q 'configure and build' "$work/shared.log"; then
  fail "an output folder holding other files: release.sh started building"
elif [[ $status -eq 0 ]] || ! grep -q '^release: .*holds what no release wrote (notes.txt)' "$work/shared.log"; then
  fail "an output folder holding other files: exit status $status, $(grep -m1 '^release: ' "$work/shared.log" || echo 'no reason')"
elif [[ "$(cd "$out" && sha256sum ./* | sort)" != "$before" ]]; then
  fail "an output folder holding other files: refused, but its files were changed"
else
  pass "an output folder holding other files: exit status $status, refused untouched"
fi

echo "=== signing: scripts/sign-exe.sh alone"
# Signed with the waiver of the time stamp (for tests), or with a time stamp
# from the servers named, tried in order: every server that gives no time
# stamp that verifies is passed over.
# case | what a refusal names (empty: signed; "stamped": signed with a time
# stamp from the answering server, named second) | settings
ts="-VANTIDE_SIGN_NO_TIMESTAMP|VANTIDE_SIGN_TSA_CA=$work/tsa.pem|VANTIDE_SIGN_TIMESTAMP_URLS"
alone=(
  "the throwaway signer, the waiver|"
  "a PFX without a password, the waiver||VANTIDE_SIGN_PFX=$work/signer-no-password.pfx|VANTIDE_SIGN_PASSWORD="
  "a token from a rogue authority, then a good one|stamped|$ts=${server[rogue]} $answering"
  "no token, then a good one|stamped|$ts=${server[malformed]} $answering"
  "a rejected request, then a good one|stamped|$ts=${server[rejecting]} $answering"
  "a refused connection, then a good one|stamped|$ts=$refusing $answering"
  "only a rogue authority|${server[rogue]}: gave a time stamp that does not verify against $work/tsa.pem|$ts=${server[rogue]}"
  "refusing, no token, rejecting, rogue: none good|no time-stamp server gave a time stamp that verifies|$ts=$refusing ${server[malformed]} ${server[rejecting]} ${server[rogue]}"
)
for case in "${alone[@]}"; do
  IFS='|' read -r -a fields <<<"$case"
  label=${fields[0]}
  expected=${fields[1]:-}
  signing_settings "${fields[@]:2}"
  rm -f "$work/alone.exe"
  status=0
  env "${settings[@]}" bash scripts/sign-exe.sh "$reference/$name.exe" "$work/alone.exe" >"$work/alone.log" 2>&1 ||
    status=$?
  if [[ -n "$expected" && "$expected" != stamped ]]; then
    judge_refusal "$label" "$expected" "$status" "$work/alone.log" "$work/alone.exe"
    continue
  fi
  verify_alone=(verify -CAfile "$work/root.pem" -in "$work/alone.exe")
  [[ "$expected" != stamped ]] || verify_alone+=(-TSA-CAfile "$work/tsa.pem")
  osslsigncode "${verify_alone[@]}" >"$work/verify-alone.log" 2>&1 || true
  if [[ $status -ne 0 ]]; then
    fail "$label: sign-exe.sh failed (exit status $status): $(grep -m1 '^release: ' "$work/alone.log" || echo no reason)"
  elif ! grep -q '^Signature verification: ok' "$work/verify-alone.log"; then
    fail "$label: the .exe does not verify against the root"
  elif [[ "$expected" != stamped ]]; then
    if grep -q '^Timestamp is not available' "$work/verify-alone.log"; then
      pass "$label: signed and verified, no time stamp"
    else
      fail "$label: the .exe carries a time stamp"
    fi
  elif grep -qxF "    time stamp: $answering" "$work/alone.log" &&
    grep -q '^Timestamp Server Signature verification: ok' "$work/verify-alone.log"; then
    pass "$label: the first passed over ($(grep -m1 '^release: time-stamp server' "$work/alone.log" |
      sed 's/^release: time-stamp server [^ ]* //; s/; passed over$//')), the time stamp from the second verifies"
  else
    fail "$label: no verified time stamp from $answering" \
      "($(grep -m1 '^release: ' "$work/alone.log" || echo 'no release: line'))"
  fi
done

# A release asking for a time stamp, from the throwaway authority.
stamped=(-VANTIDE_SIGN_NO_TIMESTAMP "VANTIDE_SIGN_TSA_CA=$work/tsa.pem")

echo "=== signing: release.sh into a folder holding an earlier release, with a certificate of a separate root," \
  "time-stamp servers refusing, silent, with no token, rejecting, rogue and answering"
signed=$work/signed
order=("$refusing" "$silent" "${server[malformed]}" "${server[rejecting]}" "${server[rogue]}" "$answering")
status=0
release_with "$signed" "$work/signed.log" "${stamped[@]}" "VANTIDE_SIGN_TIMESTAMP_URLS=${order[*]}" || status=$?
if [[ $status -ne 0 ]]; then
  tail -n 30 "$work/signed.log"
  echo "signing: FAILED, the signed release failed (exit status $status)"
  exit 1
fi
{
  grep -E '^(release: |=== release: sign |    (certificate|time stamp|verified): )' "$work/signed.log"
  sed -n '/^=== release: .*, signed$/,$p' "$work/signed.log"
} | sed 's/^/    /'
exe=$signed/$name.exe
passed_over=$(grep '^release: time-stamp server .*; passed over$' "$work/signed.log" | sed 's/^release: time-stamp server //; s/ .*//' |
  paste -sd ' ')
if [[ "$passed_over" == "${order[*]:0:5}" ]] &&
  grep -qF "release: time-stamp server $silent gave no answer within $limit s" "$work/signed.log" &&
  grep -qF "release: time-stamp server ${server[rogue]} gave a time stamp that does not verify" "$work/signed.log" &&
  grep -qxF "    time stamp: $answering" "$work/signed.log"; then
  pass "five servers passed over in order, each for what it did, the time stamp from the sixth"
else
  fail "the time-stamp servers were not tried in order, each given up in turn: passed over ${passed_over:-none}"
fi
listed=$(sed -n 's/^files: *//p' "$work/signed.log" | tail -n 1 | tr ' ' '\n' | sort | paste -sd ' ')
present=$(cd "$signed" && find . -mindepth 1 -printf '%P\n' | sort | paste -sd ' ')
if [[ -n "$listed" && "$present" == "$listed" ]]; then
  pass "the output folder holds this release's files and nothing of the earlier one"
else
  fail "the output folder holds $present; the release wrote $listed"
fi

echo "=== signing: a failure after the build (no time-stamp server gives a time stamp) releases nothing"
failed_out=$work/unstamped
status=0
release_with "$failed_out" "$work/unstamped.log" "${stamped[@]}" \
  "VANTIDE_SIGN_TIMESTAMP_URLS=$refusing $silent ${server[rogue]}" || status=$?
grep '^release: ' "$work/unstamped.log" | sed 's/^/    /'
left=$(find "$failed_out" -mindepth 1 -printf '%f ' 2>/dev/null || true)
partial=$(find "$work" -maxdepth 1 -name '.unstamped.partial.*' -printf '%f ' || true)
if [[ $status -eq 0 ]]; then
  fail "release.sh succeeded although no time-stamp server gave a time stamp"
elif [[ $status -eq 124 ]]; then
  fail "release.sh still waited for the silent server after $guard s"
elif ! grep -q '^release: signing failed' "$work/unstamped.log" ||
  ! grep -qF "$silent: gave no answer within $limit s" "$work/unstamped.log" ||
  ! grep -qF "$refusing: " "$work/unstamped.log" || ! grep -qF "${server[rogue]}: " "$work/unstamped.log"; then
  fail "release.sh failed (exit status $status) without a summary of what each time-stamp server did"
elif [[ -n "$left$partial" ]]; then
  fail "signing failed, yet release.sh left $left$partial"
else
  pass "signing failed: exit status $status, each server accounted for, nothing left in the output folder"
fi

echo "=== signing: osslsigncode verify, the throwaway root and authority as the trusted roots"
status=0
osslsigncode verify -CAfile "$work/root.pem" -TSA-CAfile "$work/tsa.pem" -in "$exe" >"$work/verify.log" 2>&1 ||
  status=$?
grep -E 'Message digest algorithm|Subject:|Issuer:|Signing time|Timestamp time|verification|Number of verified|Succeeded|Failed' \
  "$work/verify.log" | sed 's/^[[:space:]]*/    /' | sort -u
if [[ $status -eq 0 ]] && grep -q '^Signature verification: ok' "$work/verify.log"; then
  pass "the signed .exe verifies against the root that issued its certificate"
else
  fail "the signed .exe does not verify against the root that issued its certificate (exit status $status)"
fi
if grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"; then
  pass "its time stamp verifies"
else
  fail "it carries no time stamp that verifies"
fi
# Verification that nothing could fail would prove nothing.
for attempt in "stranger|$exe|the signed .exe against an unrelated root" \
  "root|$reference/$name.exe|the unsigned .exe"; do
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

echo "=== signing: the licence of the demangler in libstdc++, in the SBOM and the notices"
# libstdc++ takes libiberty's demangler (GPL-2.0-or-later with a linking
# exception) with its verbose terminate handler; the debug file shows whether
# the .exe holds it.
x86_64-w64-mingw32-nm "$reference/$name.exe.debug" >"$work/symbols"
if grep -q ' T __cxa_demangle$' "$work/symbols"; then
  demangler_licence='GPL-2.0-or-later WITH GCC-exception-2.0'
  declared=$(tr -d '\r' <"$good" | grep -A12 '"name": "libstdc++"' | sed -n 's/^ *"licenseDeclared": "\(.*\)",$/\1/p')
  notices_text=$(tr -d '\r' <"$reference/THIRD-PARTY-NOTICES.txt")
  notices_entry=$(sed -n '/^  libstdc++$/,/^$/p' <<<"$notices_text")
  if [[ "$declared" != *"$demangler_licence"* ]]; then
    fail "the SBOM declares libstdc++ as \"$declared\", without the demangler's $demangler_licence"
  elif [[ "$notices_entry" != *"cp-demangle.o"*"$demangler_licence"* ]] ||
    ! grep -qE '^\[[0-9]+\] /usr/share/common-licenses/GPL-2$' <<<"$notices_text"; then
    fail "THIRD-PARTY-NOTICES.txt does not name cp-demangle.o with $demangler_licence and the GPL-2 text"
  else
    pass "the .exe holds the demangler: the SBOM declares \"$declared\", the notices name cp-demangle.o and carry the GPL-2"
  fi
else
  pass "the .exe holds no demangler"
fi

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
