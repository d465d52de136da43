#!/usr/bin/env bash
# Checks how cmake/wine-run.sh makes its Wine prefix, against a stand-in Wine
# (tests/cmake/wine-standin.sh) whose boots fail, hang or succeed as planned:
# a boot that fails or hangs is retried in a new prefix after the old one's
# server is stopped and the prefix removed, and the program then runs; a boot
# that fails every time ends the run with what the boots printed; a folder that
# is no Wine prefix is never removed. Needs no Wine; ctest runs it in the
# native build.
#
#   tests/cmake/check-wine-run.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$PWD
export LC_ALL=C
unset VANTIDE_WINE VANTIDE_WINESERVER VANTIDE_WINEBOOT_TRIES VANTIDE_WINEBOOT_PAUSE \
  VANTIDE_WINEBOOT_TIMEOUT VANTIDE_WINE_TIMEOUT STANDIN_BOOT_FAILURES STANDIN_BOOT_HANGS \
  STANDIN_BOOT_NO_REGISTRY

work=$(mktemp -d "${TMPDIR:-/tmp}/vantide-wine-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The stand-in plays the server when its first argument is "server".
printf '#!/bin/sh\nexec "%s" server "$@"\n' "$root/tests/cmake/wine-standin.sh" >"$work/wineserver"
chmod +x "$work/wineserver"
# The "Windows program": prints its arguments.
printf 'echo "program ran: $*"\n' >"$work/program.exe"

failures=0
checks=0
pass() { checks=$((checks + 1)); }
fail() {
  checks=$((checks + 1))
  echo "  FAIL  $case: $*"
  failures=$((failures + 1))
}
expect() { # expect DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

# One case: NAME STATUS BOOTS then settings (NAME=VALUE) for wine-run.sh and the
# stand-in. Runs wine-run.sh PREFIX program.exe hello in a folder of its own and
# leaves its output in $dir/out and $dir/err, the stand-in's calls in $dir/calls.
run_case() {
  case=$1
  local want_status=$2 want_boots=$3 status=0 boots
  shift 3
  dir=$work/$case
  prefix=$dir/build/wine-prefix
  mkdir -p "$dir/build"
  if [[ $case == not-a-prefix ]]; then
    mkdir -p "$prefix"
    echo keep >"$prefix/notes.txt"
  fi
  env STANDIN_STATE="$dir" VANTIDE_WINE="$root/tests/cmake/wine-standin.sh" \
    VANTIDE_WINESERVER="$work/wineserver" VANTIDE_WINEBOOT_PAUSE=0 "$@" \
    timeout 120 bash cmake/wine-run.sh "$prefix" "$work/program.exe" hello \
    >"$dir/out" 2>"$dir/err" || status=$?
  touch "$dir/calls"
  boots=$(cat "$dir/boots" 2>/dev/null || echo 0)
  expect "exit status $status, expected $want_status" test "$status" -eq "$want_status"
  expect "$boots boot(s), expected $want_boots" test "$boots" -eq "$want_boots"
  if [[ $want_status -eq 0 ]]; then
    expect "the program ran" contains "$dir/out" "program ran: hello"
    expect "the prefix is ready" test -f "$prefix/.vantide-ready"
  else
    expect "the program did not run" lacks "$dir/out" "program ran"
  fi
}

# Every failed boot was followed by "wineserver -k" for that prefix, while the
# prefix was still there to find the server by, before the next boot.
servers_stopped() {
  awk -v prefix="$prefix" '
    /^wine wineboot/ { if (pending) bad = 1; pending = 1; next }
    /^server -k / { if (index($0, "WINEPREFIX=" prefix ", present")) pending = 0 }
    END { exit bad }' "$dir/calls"
}

echo "=== wine-run.sh: making the Wine prefix, against a stand-in Wine"

run_case fails-once 0 2 STANDIN_BOOT_FAILURES=1
expect "the retry was announced" contains "$dir/err" \
  "wine-run.sh: wineboot failed with status 3 in $prefix (try 1 of 3); stopping its server, removing it and trying again in 0 s"
expect "success after a retry was reported" contains "$dir/err" "made on try 2 of 3"
expect "the failed boot's server was stopped before the retry" servers_stopped
expect "the boot log kept the failed try" contains "$prefix.wineboot.log" "could not start the prefix's services (boot 1)"
expect "the retry started in an empty prefix" lacks "$dir/calls" "the prefix was not empty"

run_case fails-always 1 3 STANDIN_BOOT_FAILURES=all
for boot in 1 2 3; do
  expect "what boot $boot printed is shown" contains "$dir/err" \
    "wine-run.sh: | stand-in wineboot: could not start the prefix's services (boot $boot)"
done
expect "the failure names itself" contains "$dir/err" \
  "wine-run.sh: wineboot failed or timed out in $prefix: wineboot failed with status 3, on all 3 tries"
expect "every failed boot's server was stopped" servers_stopped
expect "no half-made prefix is left" test ! -e "$prefix"

run_case fails-always-one-try 1 1 STANDIN_BOOT_FAILURES=all VANTIDE_WINEBOOT_TRIES=1
expect "no retry with one try" lacks "$dir/err" "trying again"
expect "what the boot printed is shown" contains "$dir/err" "wine-run.sh: | stand-in wineboot: could not start"

run_case hangs-once 0 2 STANDIN_BOOT_HANGS=1 VANTIDE_WINEBOOT_TIMEOUT=1
expect "the hang was named" contains "$dir/err" "wineboot timed out after 1 s in $prefix (try 1 of 3)"

run_case no-registry 1 2 STANDIN_BOOT_NO_REGISTRY=1 VANTIDE_WINEBOOT_TRIES=2
expect "a prefix without registry is refused" contains "$dir/err" \
  "wineboot ended, but the prefix has no system.reg, on all 2 tries"

run_case not-a-prefix 2 0
expect "the refusal is named" contains "$dir/err" "exists and is no Wine prefix; refusing to use it"
expect "the folder is kept" contains "$prefix/notes.txt" keep

run_case tries-zero 2 0 VANTIDE_WINEBOOT_TRIES=0
expect "the setting is refused" contains "$dir/err" "VANTIDE_WINEBOOT_TRIES must be a whole number of at least 1"

if [[ $failures -ne 0 ]]; then
  echo "wine-run.sh: FAILED, $failures of $checks checks"
  exit 1
fi
echo "wine-run.sh: all $checks checks passed"
