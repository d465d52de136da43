#!/usr/bin/env bash
# Proves that the release build is reproducible: copies the working tree (the
# files git tracks or would track) to two temporary folders at different
# absolute paths, runs scripts/release.sh in each, from scratch, and compares
# the .exe, its debug file, its .sha256 and the archive byte for byte.
# Prints their SHA-256s; exits non-zero when a build fails or any file differs.
# The second build runs with another umask, time zone and locale, which must
# not matter either.
#
# SOURCE_DATE_EPOCH defaults to the time of the checked-out commit, the same
# for both builds. Builds are kept for inspection when they differ.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

bash scripts/setup.sh
started=$SECONDS

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vantide-reproducible.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# Folders of different depths and lengths: any absolute path left in the
# output shows up as a difference.
trees=("$scratch/a/src" "$scratch/second-build/somewhere/much/deeper/src")

# Files deleted from the working tree but still tracked are left out.
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
  [[ -f "$file" ]] && printf '%s\0' "$file"
  true
done >"$scratch/files"

build_in() {
  local tree=$1 log=$2
  # Called where a failure does not stop the script: each step stops the next.
  mkdir -p "$tree" &&
    tar --null -T "$scratch/files" -cf - | tar -xf - -C "$tree" &&
    bash "$tree/scripts/release.sh" >"$log" 2>&1
}

for index in 0 1; do
  tree=${trees[$index]}
  log=$scratch/build-$index.log
  echo "=== reproducible: build $((index + 1)) of 2 in $tree"
  status=0
  if [[ $index -eq 0 ]]; then
    build_in "$tree" "$log" || status=$?
  else
    (umask 077 && TZ=Pacific/Chatham LC_ALL=C.UTF-8 build_in "$tree" "$log") || status=$?
  fi
  if [[ $status -ne 0 ]]; then
    tail -n 30 "$log"
    echo "reproducible: FAILED, build $((index + 1)) failed (exit status $status)"
    exit 1
  fi
done

dist=("${trees[0]}/build/release/dist" "${trees[1]}/build/release/dist")
different=0
compared=0
for file in "${dist[0]}"/*; do
  name=${file##*/}
  compared=$((compared + 1))
  first=$(sha256sum <"$file" | cut -d' ' -f1)
  if [[ ! -f "${dist[1]}/$name" ]]; then
    printf '%-36s %s  build 2 has none\n' "$name" "$first"
    different=1
    continue
  fi
  second=$(sha256sum <"${dist[1]}/$name" | cut -d' ' -f1)
  if cmp -s "$file" "${dist[1]}/$name"; then
    printf '%-36s %s  both builds\n' "$name" "$first"
  else
    printf '%-36s %s  build 1\n%-36s %s  build 2: %s\n' "$name" "$first" "" "$second" \
      "$(cmp "$file" "${dist[1]}/$name" 2>&1 | sed 's#.*differ: ##')"
    different=1
  fi
done
if [[ $compared -ne 4 || $(find "${dist[1]}" -type f | wc -l) -ne 4 ]]; then
  echo "expected 4 files in each build: $(ls "${dist[0]}" | paste -sd ' ') / $(ls "${dist[1]}" | paste -sd ' ')"
  different=1
fi

seconds=$((SECONDS - started))
if [[ $different -ne 0 ]]; then
  trap - EXIT
  echo "reproducible: FAILED, the two builds differ (kept in $scratch; diffoscope shows where) ($seconds s)"
  exit 1
fi
exe_sum=$(cut -d' ' -f1 "${dist[0]}/vantide-identity.exe.sha256")
echo "reproducible: yes, 4 files identical in 2 builds, vantide-identity.exe sha256 $exe_sum ($seconds s)"
