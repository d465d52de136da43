#!/usr/bin/env bash
# Builds the release executable from scratch (preset "release": cross-built,
# -Os, static, reproducible) and packages it in OUT (build/release/dist unless
# given):
#   vantide-identity.exe                    stripped; a GNU debug link names
#   vantide-identity.exe.debug              its debug information
#   vantide-identity.exe.sha256             sha256sum format
#   vantide-identity-<version>.spdx.json    what is linked into the .exe (SPDX 2.3)
#   vantide-identity-<version>.zip          the .exe, its .sha256, the SBOM and
#                                           README.txt for users
# Then it checks the stripped .exe: no time in its PE header, its manifest and
# version resources, only system DLLs imported, the debug link; and the SBOM.
#
#   scripts/release.sh [--smoke] [OUT]
#
# --smoke also runs the stripped .exe under Wine with APPDATA unset and expects
# its one failure line and exit status 3.
#
# Authenticode: given VANTIDE_SIGN_PFX (a PKCS#12 file with the certificate and
# its private key) and VANTIDE_SIGN_PASSWORD (its password, empty for none),
# the .exe is signed with osslsigncode before it is checksummed and packaged;
# VANTIDE_SIGN_TIMESTAMP_URL optionally names an RFC 3161 time-stamp server.
# The certificate is tried before the build, and any failure to sign stops the
# release: it never ships unsigned when it was asked to sign. Without
# VANTIDE_SIGN_PFX the release is unsigned.
#
# SOURCE_DATE_EPOCH (the time written into the archive and the SBOM) defaults
# to the time of the checked-out commit. Building the same commit again, in
# any folder, gives the same bytes: scripts/check-reproducible.sh proves it.
# A signed .exe is those bytes plus the signature: `osslsigncode
# remove-signature` gives the unsigned .exe back exactly.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

bash scripts/setup.sh

smoke=0
if [[ "${1:-}" == --smoke ]]; then
  smoke=1
  shift
fi
out=${1:-build/release/dist}
[[ "$out" == /* ]] || out=$root/$out

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

build=$root/build/release
tools=x86_64-w64-mingw32
name=vantide-identity

echo "=== release: configure and build from scratch (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
rm -rf "$build"
cmake --preset release >/dev/null
cmake --build --preset release --parallel "${VANTIDE_JOBS:-2}"

version=$(sed -n 's/^#define VANTIDE_VERSION_TEXT "\(.*\)"$/\1/p' "$build/src/app/vantide_version.h")
if [[ -z "$version" ]]; then
  echo "release: no version in $build/src/app/vantide_version.h" >&2
  exit 1
fi

echo "=== release: package $name $version in ${out#"$root"/}"
# OUT may be any folder: only what an earlier run put there is removed.
mkdir -p "$out"
rm -f "$out/$name.exe" "$out/$name.exe.debug" "$out/$name.exe.sha256" "$out/$name"-*.tar.gz
(
  cd "$out"
  built=$build/src/app/$name.exe
  # objcopy writes a new PE header, stamped with SOURCE_DATE_EPOCH or else the
  # current time; 0 keeps the linker's "no time".
  SOURCE_DATE_EPOCH=0 "$tools-objcopy" --only-keep-debug "$built" "$name.exe.debug"
  # The link holds the debug file's name and CRC, so the debug file comes first.
  SOURCE_DATE_EPOCH=0 "$tools-objcopy" --strip-all --add-gnu-debuglink="$name.exe.debug" "$built" "$name.exe"
  chmod 0755 "$name.exe"
  chmod 0644 "$name.exe.debug"
  sha256sum "$name.exe" >"$name.exe.sha256"

  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  folder=$name-$version
  mkdir "$stage/$folder"
  cp "$name.exe" "$name.exe.sha256" "$root/README.md" "$stage/$folder/"
  chmod 0644 "$stage/$folder/README.md" "$stage/$folder/$name.exe.sha256"
  chmod 0755 "$stage/$folder"
  tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --format=gnu \
    -C "$stage" -cf - "$folder" | gzip -9n >"$folder.tar.gz"
)

# --- checks of the stripped executable ---------------------------------------
exe=$out/$name.exe
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
# The version strings are UTF-16 in the resource.
"$tools-strings" -a -el "$exe" | grep -A1 -x ProductVersion | grep -qx "$version" ||
  fail "the version resource does not hold the product version $version"
imports=$(sed -n 's/^\tDLL Name: //p' <<<"$dump" | sort -f | paste -sd ' ')
cmake -DOBJDUMP="$(command -v "$tools-objdump")" -DEXECUTABLE="$exe" \
  -P tests/e2e/check_imports.cmake >/dev/null || fail "imports DLLs that Windows does not ship: $imports"
# The debug link: the debug file's name, ended by a zero byte, then its CRC.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
link=""
if "$tools-objcopy" --dump-section .gnu_debuglink="$scratch/link" "$exe" "$scratch/copy.exe" 2>/dev/null; then
  link=$(tr '\0' '\n' <"$scratch/link" | head -n 1)
fi
[[ "$link" == "$name.exe.debug" ]] || fail "no GNU debug link to $name.exe.debug"
# No absolute path of this machine may be left in what is shipped.
for file in "$exe" "$exe.debug"; do
  if grep -Faq "$root" "$file"; then fail "${file##*/} holds the path $root"; fi
done

if [[ $smoke -eq 1 ]]; then
  # Wine gives every program it starts its own APPDATA; cmd.exe removes it for
  # the tool alone.
  echo "=== release: run the stripped .exe under Wine with APPDATA unset"
  windows_exe="Z:${exe//\//\\}"
  status=0
  VANTIDE_WINE_TIMEOUT=120 cmake/wine-run.sh "$root/build/release-wine/prefix" \
    cmd.exe /c "set APPDATA=&& $windows_exe" >"$out/.smoke-out" 2>"$out/.smoke-err" || status=$?
  stderr=$(cat "$out/.smoke-err")
  stdout=$(cat "$out/.smoke-out")
  rm -f "$out/.smoke-out" "$out/.smoke-err"
  echo "    exit status $status, standard error: $stderr"
  expected="device identity owner rejected migration (HRESULT=0x800700cb)"
  [[ $status -eq 3 && "$stderr" == "$expected" && -z "$stdout" ]] ||
    fail "under Wine with APPDATA unset: expected exit status 3 and \"$expected\""
fi

echo
echo "=== release: $name $version"
echo "imports:  $imports"
echo "size:     $(stat -c %s "$exe") bytes (${name}.exe, stripped), debug file $(stat -c %s "$exe.debug") bytes"
echo "sha256:   $(cut -d' ' -f1 "$exe.sha256")  $name.exe"
for file in "$exe" "$exe.debug" "$exe.sha256" "$out/$name-$version.tar.gz"; do
  printf '          %s  %s\n' "$(sha256sum <"$file" | cut -d' ' -f1)" "${file##*/}"
done
if [[ $problems -ne 0 ]]; then
  echo "release: $problems check(s) failed" >&2
  exit 1
fi
