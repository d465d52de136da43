#!/usr/bin/env bash
# Proves that the release build is reproducible: copies the working tree (the
# files git tracks or would track) to two temporary folders at different
# absolute paths, runs scripts/release.sh in each, from scratch, and compares
# every file it writes (the .exe, its debug file, its .sha256, the SBOM, the
# zip) byte for byte. Prints their SHA-256s; exits non-zero when a build fails,
# any file differs, or a build's folder holds other files than the ones
# release.sh says it wrote. The second build runs with another umask, time
# zone and locale, which must not matter either.
#
#   scripts/check-reproducible.sh [--keep DIR]
#
# --keep DIR copies the first build's files to DIR when both agree, for tests
# that need an unsigned release of this tree without building one more.
#
# SOURCE_DATE_EPOCH defaults to the time of the checked-out commit, the same
# for both builds, which are given this checkout's commit as their identity.
# Builds are kept for inspection when they differ.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

keep=""
if [[ "${1:-}" == --keep ]]; then
  keep=${2:?check-reproducible: --keep needs a folder}
  [[ "$keep" == /* ]] || keep=$PWD/$keep
fi

bash scripts/setup.sh
started=$SECONDS

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
# The copies are no git checkouts: they are told the commit, and whether this
# tree differs from it. A modified tree is built all the same (its identity
# ends in ".dirty"): what is compared is the two builds.
if ! state=$(bash scripts/source-state.sh); then
  echo "reproducible: not a git checkout with a commit" >&2
  exit 2
fi
read -r VANTIDE_SOURCE_COMMIT tree <<<"$state"
VANTIDE_SOURCE_MODIFIED=0
[[ $tree == modified ]] && VANTIDE_SOURCE_MODIFIED=1
export VANTIDE_SOURCE_COMMIT VANTIDE_SOURCE_MODIFIED VANTIDE_ALLOW_DIRTY=1

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
# What release.sh wrote, as its summary names it.
expected=()
read -r -a expected < <(sed -n 's/^files: *//p' "$scratch/build-0.log" | tail -n 1) || true
different=0
if [[ ${#expected[@]} -eq 0 ]]; then
  echo "build 1 names no files it wrote (no \"files:\" line in its output)"
  different=1
fi
for name in "${expected[@]}"; do
  for index in 0 1; do
    if [[ ! -f "${dist[$index]}/$name" ]]; then
      printf '%-36s build %d has none\n' "$name" $((index + 1))
      different=1
    fi
  done
  [[ -f "${dist[0]}/$name" && -f "${dist[1]}/$name" ]] || continue
  first=$(sha256sum <"${dist[0]}/$name" | cut -d' ' -f1)
  second=$(sha256sum <"${dist[1]}/$name" | cut -d' ' -f1)
  if cmp -s "${dist[0]}/$name" "${dist[1]}/$name"; then
    printf '%-36s %s  both builds\n' "$name" "$first"
  else
    printf '%-36s %s  build 1\n%-36s %s  build 2: %s\n' "$name" "$first" "" "$second" \
      "$(cmp "${dist[0]}/$name" "${dist[1]}/$name" 2>&1 | sed 's#.*differ: ##')"
    different=1
  fi
done
# Nothing else may lie in either folder: a file release.sh writes but does not
# name would go uncompared.
for index in 0 1; do
  while IFS= read -r -d '' file; do
    name=${file##*/}
    if [[ " ${expected[*]} " != *" $name "* ]]; then
      printf '%-36s build %d wrote it, but release.sh does not name it\n' "$name" $((index + 1))
      different=1
    fi
  done < <(find "${dist[$index]}" -mindepth 1 -print0)
done

seconds=$((SECONDS - started))
if [[ $different -ne 0 ]]; then
  trap - EXIT
  echo "reproducible: FAILED, the two builds differ (kept in $scratch; diffoscope shows where) ($seconds s)"
  exit 1
fi
if [[ -n "$keep" ]]; then
  # Only what an earlier run left there is replaced.
  mkdir -p "$keep"
  find "$keep" -maxdepth 1 -type f -name 'vantide-identity*' -delete
  cp -p "${dist[0]}"/* "$keep/"
fi
exe_sum=$(cut -d' ' -f1 "${dist[0]}/vantide-identity.exe.sha256")
echo "reproducible: yes, ${#expected[@]} files identical in 2 builds, vantide-identity.exe sha256 $exe_sum ($seconds s)"
