#!/usr/bin/env bash
# Builds the release executable from scratch (preset "release": cross-built,
# -Os, static, reproducible) and packages it in OUT (build/release/dist unless
# given):
#   vantide-identity.exe                    stripped; a GNU debug link names
#   vantide-identity.exe.debug              its debug information
#   vantide-identity.exe.sha256             sha256sum format
#   vantide-identity-<version>.spdx.json    what is linked into the .exe, and
#                                           what built it (SPDX 2.3)
#   vantide-identity-<version>.buildinfo    the source, settings and every
#                                           Debian package the bytes depend on
#   THIRD-PARTY-NOTICES.txt                 the components and their licences
#   vantide-identity-<version>.zip          all of these but the debug file,
#                                           and README.txt for administrators
# Every text file in the zip has Windows line ends. Then it checks the
# stripped .exe: no time in its PE header, its manifest and version resources,
# only system DLLs imported, the debug link; the SBOM, also against the SPDX
# 2.3 JSON schema (scripts/check-sbom-schema.sh); and the zip.
#
# OUT holds all of one release or nothing: its files are made in a fresh
# folder beside it and renamed onto it once every check has passed. OUT must
# be new, empty, or hold only an earlier release (these files, of any
# version), which is removed before anything else is tried; anything else in
# it is refused. A run that fails leaves OUT empty.
#
# <version> is the project's version and the commit built, such as
# 1.0.0+g0123456789ab: two commits never give one identity. A tree that
# differs from its commit (changed or new files that git does not ignore) is
# refused, unless VANTIDE_ALLOW_DIRTY=1 allows it; its version then ends in
# ".dirty". Outside a git checkout (an unpacked source archive) the commit
# must be given as VANTIDE_SOURCE_COMMIT (the full hash), and
# VANTIDE_SOURCE_MODIFIED=1 says that the files differ from it.
#
#   scripts/release.sh [--smoke] [OUT]
#
# --smoke also runs the stripped .exe under Wine with APPDATA unset and expects
# its one failure line and exit status 3.
#
# Authenticode: given VANTIDE_SIGN_PFX (a PKCS#12 file with the certificate and
# its private key) and VANTIDE_SIGN_PASSWORD (its password, empty for none),
# the .exe is signed before it is checksummed and packaged, by
# scripts/sign-exe.sh (osslsigncode), whose header describes the other
# settings: VANTIDE_SIGN_CA (required: the root the signature must verify
# against), VANTIDE_SIGN_TIMESTAMP_URLS (required unless
# VANTIDE_SIGN_NO_TIMESTAMP=1, for tests), VANTIDE_SIGN_TSA_CA and
# VANTIDE_SIGN_TIMEOUT. The certificate and the
# settings are tried before the build, and any failure to sign or to verify
# the signature stops the release: it never ships unsigned when it was asked
# to sign. Without VANTIDE_SIGN_PFX the release is unsigned.
#
# SOURCE_DATE_EPOCH (the time written into the archive and the SBOM) defaults
# to the time of the checked-out commit. Building the same commit again, in
# any folder, gives the same bytes: scripts/check-reproducible.sh proves it.
# A signed .exe is those bytes plus the signature: `osslsigncode
# remove-signature` gives the unsigned .exe back exactly.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

smoke=0
if [[ "${1:-}" == --smoke ]]; then
  smoke=1
  shift
fi
out=${1:-build/release/dist}
[[ "$out" == /* ]] || out=$root/$out
# The folder itself, not a link to it: the release is renamed onto it.
out=$(realpath -m "$out")

build=$root/build/release
tools=x86_64-w64-mingw32
name=vantide-identity
notices=THIRD-PARTY-NOTICES.txt

die() {
  echo "release: $*" >&2
  exit 1
}

# What OUT holds is all of one release or nothing. It may hold an earlier
# release and nothing else; that is removed now, before any check can refuse
# this run, so that no older release is left to be taken for this one's. This
# run's files are made in a fresh folder beside OUT and renamed onto it only
# once every check has passed.
earlier_release() {
  case $1 in
    "$name.exe" | "$name.exe.debug" | "$name.exe.sha256" | "$name"-*.spdx.json | "$name"-*.buildinfo | \
      "$notices" | "$name"-*.zip | "$name"-*.tar.gz) return 0 ;;
  esac
  return 1
}
if [[ -e "$out" ]]; then
  if [[ ! -d "$out" ]]; then
    echo "release: $out is not a folder" >&2
    exit 2
  fi
  foreign=()
  while IFS= read -r -d '' entry; do
    if [[ ! -f "$entry" || -L "$entry" ]] || ! earlier_release "${entry##*/}"; then
      foreign+=("${entry##*/}")
    fi
  done < <(find "$out" -mindepth 1 -maxdepth 1 -print0 | sort -z)
  if [[ ${#foreign[@]} -gt 0 ]]; then
    echo "release: $out holds what no release wrote (${foreign[*]}); name a new or empty folder, or one that holds only an earlier release" >&2
    exit 2
  fi
  find "$out" -mindepth 1 -maxdepth 1 -delete
fi

bash scripts/setup.sh

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) || [[ -z "$SOURCE_DATE_EPOCH" ]]; then
    echo "release: not a git checkout; set SOURCE_DATE_EPOCH (seconds since 1970)" >&2
    exit 2
  fi
fi
export SOURCE_DATE_EPOCH
# Nothing of the build may depend on the builder's locale, time zone or umask.
export LC_ALL=C TZ=UTC
umask 022

# Which source this is, before anything is built or written.
if state=$(bash "$root/scripts/source-state.sh" "$out"); then
  read -r commit tree <<<"$state"
  if [[ -n "${VANTIDE_SOURCE_COMMIT:-}" && "$VANTIDE_SOURCE_COMMIT" != "$commit" ]]; then
    echo "release: VANTIDE_SOURCE_COMMIT is $VANTIDE_SOURCE_COMMIT, but this checkout is at $commit" >&2
    exit 2
  fi
else
  commit=${VANTIDE_SOURCE_COMMIT:-}
  tree=clean
  [[ "${VANTIDE_SOURCE_MODIFIED:-0}" == 1 ]] && tree=modified
  if [[ ! "$commit" =~ ^([0-9a-f]{40}|[0-9a-f]{64})$ ]]; then
    echo "release: not a git checkout; set VANTIDE_SOURCE_COMMIT to the full hash of the commit these files are from" >&2
    exit 2
  fi
fi
if [[ $tree == modified && "${VANTIDE_ALLOW_DIRTY:-0}" != 1 ]]; then
  echo "release: the tree differs from commit $commit; commit or remove the changes (git status)," \
    "or set VANTIDE_ALLOW_DIRTY=1 for a release marked .dirty" >&2
  exit 2
fi
modified=OFF
[[ $tree == modified ]] && modified=ON

scratch=$(mktemp -d)
fresh=""
trap 'rm -rf "$scratch" ${fresh:+"$fresh"}' EXIT

# The certificate is tried before a build of some minutes, so that a wrong
# path or password fails at once.
sign=0
if [[ -n "${VANTIDE_SIGN_PFX:-}" ]]; then
  bash scripts/sign-exe.sh --check
  sign=1
fi

echo "=== release: configure and build from scratch (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
rm -rf "$build"
cmake --preset release -DVANTIDE_SOURCE_COMMIT="$commit" -DVANTIDE_SOURCE_MODIFIED="$modified" >/dev/null
cmake --build --preset release --parallel "${VANTIDE_JOBS:-2}"

version=$(sed -n 's/^#define VANTIDE_VERSION_TEXT "\(.*\)"$/\1/p' "$build/src/app/vantide_version.h")
if [[ -z "$version" ]]; then
  die "no version in $build/src/app/vantide_version.h"
fi
sbom=$name-$version.spdx.json
buildinfo=$name-$version.buildinfo
archive=$name-$version.zip
shipped=("$name.exe" "$name.exe.debug" "$name.exe.sha256" "$sbom" "$buildinfo" "$notices" "$archive")
# What is in the .exe and what built it: the SBOM, the notices and the
# build information are all written from this one record.
bash "$root/scripts/build-record.sh" "$build" release >"$scratch/record"

echo "=== release: package $name $version in ${out#"$root"/}"
# Beside OUT, so that the rename at the end does not cross file systems.
mkdir -p "$(dirname "$out")"
fresh=$(mktemp -d "$(dirname "$out")/.${out##*/}.partial.XXXXXX")
dist=$fresh
cd "$dist"
built=$build/src/app/$name.exe
# objcopy writes a new PE header, stamped with SOURCE_DATE_EPOCH or else the
# current time; 0 keeps the linker's "no time".
SOURCE_DATE_EPOCH=0 "$tools-objcopy" --only-keep-debug "$built" "$name.exe.debug"
# The link holds the debug file's name and CRC, so the debug file comes first.
SOURCE_DATE_EPOCH=0 "$tools-objcopy" --strip-all --add-gnu-debuglink="$name.exe.debug" "$built" "$name.exe"

# Signing appends the signature at the next 8-byte boundary and sets the PE
# checksum; removing the signature keeps that padding and sets the checksum
# of what is left. The unsigned .exe gets both here, zero bytes up to the
# boundary and its own checksum (the sum of its 16-bit words with the field
# taken as zero, carries folded, plus its length), so that signed and
# unsigned again it is the same bytes. The field lies 88 bytes into the PE
# header, whose offset is at 0x3c.
perl -e '
  my $path = shift;
  open(my $in, "<:raw", $path) or die "$path: $!\n";
  my $image = do { local $/; <$in> };
  close($in);
  $image .= "\0" x ((8 - length($image) % 8) % 8);
  my $field = unpack("V", substr($image, 0x3c, 4)) + 88;
  substr($image, $field, 4) = pack("V", 0);
  my $sum = 0;
  for my $word (unpack("v*", $image)) { $sum += $word; $sum = ($sum & 0xffff) + ($sum >> 16); }
  substr($image, $field, 4) = pack("V", $sum + length($image));
  open(my $out, ">:raw", $path) or die "$path: $!\n";
  print {$out} $image or die "$path: $!\n";
  close($out) or die "$path: $!\n";
' "$name.exe"
chmod 0755 "$name.exe"
chmod 0644 "$name.exe.debug"

unsigned_sha256=""
if [[ $sign -eq 1 ]]; then
  echo "=== release: sign $name.exe"
  mv "$name.exe" "$scratch/unsigned.exe"
  unsigned_sha256=$(sha256sum <"$scratch/unsigned.exe" | cut -d' ' -f1)
  bash "$root/scripts/sign-exe.sh" "$scratch/unsigned.exe" "$scratch/signed.exe" || exit 1
  cp "$scratch/signed.exe" "$name.exe"
  chmod 0755 "$name.exe"
fi
sha256sum "$name.exe" >"$name.exe.sha256"
# Windows line ends for every text file that goes into the zip (sha256sum -c
# reads them as well).
sed -i 's/$/\r/' "$name.exe.sha256"
bash "$root/scripts/sbom.sh" "$scratch/record" "$name.exe" "$unsigned_sha256" | sed 's/$/\r/' >"$sbom"
bash "$root/scripts/buildinfo.sh" "$scratch/record" >"$buildinfo"
bash "$root/scripts/notices.sh" "$scratch/record" >"$notices"
chmod 0644 "$name.exe.sha256" "$sbom" "$buildinfo" "$notices"

# The zip: files in a fixed order, every time SOURCE_DATE_EPOCH (zip keeps
# local time, and TZ is UTC here), fixed permissions, and no extra fields
# (-X), which would carry owners and further times.
stage=$scratch/zip
mkdir "$stage"
zipped=(README.txt "$notices" "$name.exe" "$name.exe.sha256" "$sbom" "$buildinfo")
cp "${zipped[@]:1}" "$stage/"
bash "$root/scripts/user-readme.sh" "$version" >"$stage/README.txt"
chmod 0644 "$stage"/*
chmod 0755 "$stage/$name.exe"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
(cd "$stage" && zip -X -D -9 -q "$dist/$archive" "${zipped[@]}")
chmod 0644 "$archive"
cd "$root"

# --- checks of the stripped executable ---------------------------------------
exe=$dist/$name.exe
problems=0
fail() {
  echo "release: FAILED: $*" >&2
  problems=$((problems + 1))
}

# The PE header's TimeDateStamp: 4 bytes, 8 bytes into the header, whose offset
# is at 0x3c.
read_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
for file in "$exe" "$exe.debug"; do
  header=$(read_u32 "$file" 60)
  stamp=$(read_u32 "$file" $((header + 8)))
  [[ "$stamp" == 0 ]] || fail "the PE header of ${file##*/} holds the time stamp $stamp"
done

dump=$("$tools-objdump" -p "$exe")
# Resource types of the first level: 0x10 the version information, 0x18 the
# manifest.
grep -Eq '^[0-9a-f]{3}   Entry: ID: 0x000010,' <<<"$dump" || fail "no version resource"
grep -Eq '^[0-9a-f]{3}   Entry: ID: 0x000018,' <<<"$dump" || fail "no manifest resource"
grep -aq 'requestedExecutionLevel level="asInvoker"' "$exe" || fail "the manifest text is missing"
# The identity names the commit built. The version strings are UTF-16 in the
# resource.
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\+g${commit:0:12}(\.dirty)?$ ]] ||
  fail "the version $version does not name the commit $commit"
strings=$("$tools-strings" -a -el "$exe")
version_value() { grep -A1 -x "$1" <<<"$strings" | sed -n 2p; }
[[ "$(version_value ProductVersion)" == "$version" ]] ||
  fail "the version resource does not hold the product version $version"
for field in CompanyName:VANTIDE_COMPANY LegalCopyright:VANTIDE_COPYRIGHT; do
  expected=$(sed -n "s/^#define ${field#*:} \"\(.*\)\"$/\1/p" "$build/src/app/vantide_version.h")
  [[ -n "$expected" && "$(version_value "${field%%:*}")" == "$expected" ]] ||
    fail "the version resource's ${field%%:*} is not \"$expected\""
done
imports=$(sed -n 's/^\tDLL Name: //p' <<<"$dump" | sort -f | paste -sd ' ')
cmake -DOBJDUMP="$(command -v "$tools-objdump")" -DEXECUTABLE="$exe" \
  -P tests/e2e/check_imports.cmake >/dev/null || fail "imports DLLs that Windows does not ship: $imports"
# The debug link: the debug file's name, ended by a zero byte, then its CRC.
link=""
if "$tools-objcopy" --dump-section .gnu_debuglink="$scratch/link" "$exe" "$scratch/copy.exe" 2>/dev/null; then
  link=$(tr '\0' '\n' <"$scratch/link" | head -n 1)
fi
[[ "$link" == "$name.exe.debug" ]] || fail "no GNU debug link to $name.exe.debug"
# No absolute path of this machine may be left in what is shipped.
for file in "$exe" "$exe.debug"; do
  if grep -Faq "$root" "$file"; then fail "${file##*/} holds the path $root"; fi
done
# The bill of materials describes the .exe as shipped.
sbom_summary=$(cmake -DSBOM="$dist/$sbom" -DEXECUTABLE="$exe" -P tests/release/check_sbom.cmake 2>&1) ||
  fail "$sbom does not describe $name.exe: $sbom_summary"
# And it keeps to the SPDX 2.3 JSON schema, which that check does not read.
schema_summary=$(bash scripts/check-sbom-schema.sh "$dist/$sbom" 2>&1) ||
  fail "$sbom does not keep to the SPDX 2.3 JSON schema:"$'\n'"$schema_summary"
# The zip holds the same files as OUT, and nothing else.
listed=$(unzip -Z1 "$dist/$archive" | paste -sd ' ')
[[ "$listed" == "${zipped[*]}" ]] || fail "$archive holds $listed"
for file in "${zipped[@]:1}"; do
  unzip -p "$dist/$archive" "$file" | cmp -s - "$dist/$file" || fail "$file in $archive differs from $file"
done
# Its text files: every line ended by CR LF; ASCII, or UTF-8 with its
# byte-order mark.
for file in "${zipped[@]}"; do
  [[ $file != "$name.exe" ]] || continue
  unzip -p "$dist/$archive" "$file" >"$scratch/text"
  lines=$(wc -l <"$scratch/text")
  crlf=$(grep -c $'\r$' "$scratch/text" || true)
  [[ $lines -gt 0 && $crlf -eq $lines && -z "$(tail -c1 "$scratch/text" | tr -d '\n')" ]] ||
    fail "$file in $archive: $crlf of $lines lines end in CR LF"
  if [[ "$(head -c3 "$scratch/text" | od -An -tx1 | tr -d ' ')" == efbbbf ]]; then
    iconv -f UTF-8 -t UTF-8 "$scratch/text" >/dev/null 2>&1 || fail "$file in $archive: not UTF-8"
  elif grep -q -P '[^\x00-\x7f]' "$scratch/text"; then
    fail "$file in $archive: beyond ASCII without a byte-order mark"
  fi
done
# The notices name every component the SBOM lists, and no other.
sbom_components=$(tr -d '\r' <"$dist/$sbom" | awk -v described="SPDXRef-Package-$name" '
  /"SPDXID": "SPDXRef-Package-/ { component = index($0, "\"" described "\"") == 0; next }
  component && /"name": / { sub(/.*"name": "/, ""); sub(/",$/, ""); print; component = 0 }' | sort | paste -sd ,)
notices_components=$(tr -d '\r' <"$dist/$notices" | awk '/^      Debian package / { print last } { sub(/^ */, ""); last = $0 }' |
  sort | paste -sd ,)
[[ -n "$sbom_components" && "$sbom_components" == "$notices_components" ]] ||
  fail "the SBOM lists the components $sbom_components, $notices the components $notices_components"

if [[ $smoke -eq 1 ]]; then
  # Wine gives every program it starts its own APPDATA; cmd.exe removes it for
  # the tool alone.
  echo "=== release: run the stripped .exe under Wine with APPDATA unset"
  windows_exe="Z:${exe//\//\\}"
  status=0
  VANTIDE_WINE_TIMEOUT=120 cmake/wine-run.sh "$root/build/release-wine/prefix" \
    cmd.exe /c "set APPDATA=&& $windows_exe" >"$scratch/smoke-out" 2>"$scratch/smoke-err" || status=$?
  stderr=$(cat "$scratch/smoke-err")
  stdout=$(cat "$scratch/smoke-out")
  echo "    exit status $status, standard error: $stderr"
  expected="device identity owner rejected migration (HRESULT=0x800700cb)"
  [[ $status -eq 3 && "$stderr" == "$expected" && -z "$stdout" ]] ||
    fail "under Wine with APPDATA unset: expected exit status 3 and \"$expected\""
fi

echo
if [[ $sign -eq 1 ]]; then
  echo "=== release: $name $version, signed"
else
  echo "=== release: $name $version, unsigned"
fi
echo "identity: $version (commit $commit, $tree tree)"
echo "imports:  $imports"
echo "size:     $(stat -c %s "$exe") bytes (${name}.exe, stripped), debug file $(stat -c %s "$exe.debug") bytes"
echo "sha256:   $(cut -d' ' -f1 "$exe.sha256")  $name.exe"
if [[ $sign -eq 1 ]]; then
  echo "unsigned: $unsigned_sha256  $name.exe without its signature (osslsigncode remove-signature)"
fi
echo "${sbom_summary:-sbom: not checked}"
# Its last line: the findings are above, with the failure.
echo "${schema_summary##*$'\n'}"
# scripts/check-reproducible.sh expects exactly the files this line names.
echo "files:    ${shipped[*]}"
for file in "${shipped[@]}"; do
  printf '          %s %9s  %s\n' "$(sha256sum <"$dist/$file" | cut -d' ' -f1)" "$(stat -c %s "$dist/$file")" "$file"
done
if [[ $problems -ne 0 ]]; then
  echo "release: $problems check(s) failed; nothing is released in $out" >&2
  exit 1
fi
chmod 0755 "$dist"
# Onto the folder emptied at the start, or made here: one rename, so that OUT
# never holds part of a release. A rename does not replace a folder that is
# not empty.
mv -T "$dist" "$out" 2>"$scratch/move.log" ||
  die "$out was filled while this release ran, or cannot be replaced: $(cat "$scratch/move.log"); nothing is released"
fresh=""
