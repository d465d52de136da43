#!/usr/bin/env bash
# Gathers the cross-built Windows test programs and what they need at run time
# into one flat folder, to be run on a Windows machine by
# scripts/run-test-programs.sh:
#
#   windows-test-bundle.sh BUILD_DIR OUT_DIR
#
# BUILD_DIR is a built `windows` preset (build/windows); the build writes the
# list of files (test-bundle.txt). OUT_DIR gets those files and
# test-programs.txt, the test programs' names one a line. Everything the
# programs need is in the .exe files themselves (statically linked, test data
# built in), so nothing else is copied.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build=$1
out=$2
list="$build/test-bundle.txt"
if [[ ! -f "$list" ]]; then
  echo "windows-test-bundle.sh: no $list (configure and build the windows preset first)" >&2
  exit 1
fi

mkdir -p "$out"
: >"$out/test-programs.txt"
programs=0
declare -A taken=()
while read -r kind path; do
  [[ -z "$kind" ]] && continue
  if [[ ! -f "$build/$path" ]]; then
    echo "windows-test-bundle.sh: $build/$path is listed but not built" >&2
    exit 1
  fi
  name=$(basename -- "$path")
  if [[ -n "${taken[$name]:-}" ]]; then
    echo "windows-test-bundle.sh: two files named $name" >&2
    exit 1
  fi
  taken[$name]=1
  cp -- "$build/$path" "$out/$name"
  case "$kind" in
    program)
      echo "$name" >>"$out/test-programs.txt"
      programs=$((programs + 1))
      ;;
    needs) ;;
    *)
      echo "windows-test-bundle.sh: unknown entry '$kind' in $list" >&2
      exit 1
      ;;
  esac
done <"$list"

if [[ $programs -eq 0 ]]; then
  echo "windows-test-bundle.sh: $list names no test program" >&2
  exit 1
fi
echo "windows-test-bundle.sh: $programs test programs in $out:"
ls -l "$out"
