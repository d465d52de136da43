#!/usr/bin/env bash
# Builds everything from scratch and runs every test:
#   native    the logic against the in-memory Win32 stand-in (Linux)
#   sanitize  the same with AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz      the libFuzzer targets (clang), a bounded number of runs each
#   windows   the Windows executable and tests, cross-built, run under Wine
#   lint      clang-tidy and cppcheck on the product code, the format of the tree
#             (scripts/lint.sh)
#   release   the release build, twice from scratch, must come out byte for byte
#             the same (scripts/check-reproducible.sh)
#   signing   a release signed with a throwaway certificate verifies, and without
#             its signature is the unsigned release byte for byte; the SBOM
#             check and the zip (tests/release/check-signing.sh)
# Exits non-zero if any build or test fails. The summary at the end names every
# stage's result in one line, also of a stage that ended without ctest's own
# summary (then with the reason found in its log), and counts such a stage as
# one failed test.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

# Why ctest printed no summary, in one line, from its log, its exit status and
# the stage's build folder: test discovery that failed and why (a Wine prefix
# that could not be made, another complaint of cmake/wine-run.sh, a program
# that failed or timed out), another CMake error, or what ctest said last.
no_summary_reason() {
  local log=$1 status=$2 build=$3 discovery="" cause="" line program result boot_log
  if grep -qE '^ *(Error running test executable|Specified test executable does not exist)' "$log"; then
    program=$(grep -m1 -E "^ *Path: '" "$log" | sed -E "s/^ *Path: '(.*)'\$/\1/; s/.*[ ;]//; s|.*/||" || true)
    result=$(grep -m1 -E '^ *Result: ' "$log" | sed -E 's/^ *Result: //' || true)
    if [[ $result =~ ^[0-9]+$ ]]; then result="with status $result"; elif [[ -n $result ]]; then result="($result)"; fi
    discovery="test discovery of ${program:-a test program} failed${result:+ $result}"
  fi
  line=$(grep -m1 -E '^wine-run\.sh: wineboot failed or timed out in ' "$log" || true)
  if [[ -n $line ]]; then
    # wine-run.sh: wineboot failed or timed out in PREFIX: REASON; what it printed (also in LOG):
    cause=$(sed -E 's/^wine-run\.sh: wineboot failed or timed out in (.*): (.*); what it printed \(also in (.*)\):$/the Wine prefix could not be made: \2 (what wineboot printed: \3)/' <<<"$line")
  else
    # Any other complaint of wine-run.sh, but not a retry that may have worked.
    cause=$(grep -E '^wine-run\.sh: ' "$log" | grep -vE '^wine-run\.sh: \| |trying again|was made on try' | head -n 1 || true)
  fi
  if [[ -n $discovery && -z $cause ]]; then
    # Listing stopped while wine-run.sh was still making its prefix.
    for boot_log in "$build"/*.wineboot.log; do
      if [[ -f $boot_log && ! -f ${boot_log%.wineboot.log}/.vantide-ready ]]; then
        cause="the Wine prefix was not made (what wineboot printed: $boot_log)"
        break
      fi
    done
  fi
  cause=${cause//"$root/"/}
  if [[ -n $discovery && -n $cause ]]; then
    echo "$discovery: $cause"
  elif [[ -n $discovery || -n $cause ]]; then
    echo "$discovery$cause"
  elif line=$(grep -m1 -A1 -E '^CMake Error' "$log" | tail -n 1 | sed -E 's/^ +//') && [[ -n $line ]]; then
    echo "CMake error: $line"
  elif line=$(grep -vE '^\s*$' "$log" | tail -n 1) && [[ -n $line ]]; then
    echo "ctest ended with status $status; its last line: $line"
  else
    echo "ctest ended with status $status and printed nothing"
  fi
}

bash scripts/setup.sh

# Runs a sweep test program for its tables; a failure is named in the summary.
sweep() {
  local status=0
  "$@" --gtest_brief=1 || status=$?
  if [[ $status -ne 0 ]]; then
    summary+=("native: the sweep tables of ${1##*/} failed with status $status")
    failed=1
  fi
}

jobs=${VANTIDE_JOBS:-2}
presets=(native sanitize fuzz windows)
summary=()
failed=0
total_run=0
total_failed=0
total_skipped=0

for preset in "${presets[@]}"; do
  echo
  echo "=== $preset: configure, build, test (from scratch)"
  rm -rf "build/$preset"
  log="build/$preset-ctest.log"
  started=$SECONDS
  if ! cmake --preset "$preset"; then
    summary+=("$preset: configure failed ($((SECONDS - started)) s)")
    total_run=$((total_run + 1))
    total_failed=$((total_failed + 1))
    failed=1
    continue
  fi
  if ! cmake --build --preset "$preset" --parallel "$jobs"; then
    summary+=("$preset: build failed ($((SECONDS - started)) s)")
    total_run=$((total_run + 1))
    total_failed=$((total_failed + 1))
    failed=1
    continue
  fi
  built=$SECONDS
  status=0
  ctest --preset "$preset" --no-tests=error 2>&1 | tee "$log" || status=$?
  result=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1 || true)
  if [[ $result =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    total_failed=$((total_failed + BASH_REMATCH[1]))
    total_run=$((total_run + BASH_REMATCH[2]))
    total_skipped=$((total_skipped + $(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*Skipped +[0-9.]+ sec' "$log" || true)))
  else
    # No tests found, or no summary at all: the stage failed as a whole.
    total_run=$((total_run + 1))
    total_failed=$((total_failed + 1))
    if [[ $status -eq 0 ]]; then status=1; fi
    if [[ -z $result ]]; then
      result="no ctest summary: $(no_summary_reason "$log" "$status" "build/$preset")"
    fi
  fi
  summary+=("$preset: $result (build $((built - started)) s, tests $((SECONDS - built)) s)")
  if [[ $status -ne 0 ]]; then
    failed=1
  elif [[ $preset == native ]]; then
    # The sweep tests print what each failing call, crash point and failing
    # allocation led to; ctest keeps the output of passing tests to itself.
    echo
    echo "=== sweep tables (native, stand-in)"
    sweep "build/$preset/tests/vantide_standin_tests" --gtest_filter='*SweepTest.*'
    sweep "build/$preset/tests/app/vantide_allocation_tests"
  fi
done

echo
echo "=== lint: clang-tidy and cppcheck on the product code, the format of the tree"
total_run=$((total_run + 1))
if bash scripts/lint.sh; then
  summary+=("lint: clean")
else
  summary+=("lint: FINDINGS")
  total_failed=$((total_failed + 1))
  failed=1
fi

echo
echo "=== release: two clean builds, compared byte for byte"
total_run=$((total_run + 1))
log=build/release-check.log
# The first build is kept as the unsigned release the signing test compares with.
reference=build/release-reference
rm -rf "$reference"
if bash scripts/check-reproducible.sh --keep "$reference" 2>&1 | tee "$log"; then
  summary+=("release: $(tail -n 1 "$log")")
else
  summary+=("release: $(grep -E '^reproducible: ' "$log" | tail -n 1 || echo 'reproducible: FAILED')")
  total_failed=$((total_failed + 1))
  failed=1
fi

echo
echo "=== signing: a throwaway certificate, verified, and the signature removed again"
total_run=$((total_run + 1))
log=build/release-signing.log
signing=(bash tests/release/check-signing.sh)
# Without the kept release the test builds its own unsigned one.
if [[ -f "$reference/vantide-identity.exe" ]]; then
  signing+=("$reference")
fi
if "${signing[@]}" 2>&1 | tee "$log"; then
  summary+=("$(tail -n 1 "$log")")
else
  summary+=("$(grep -E '^signing: ' "$log" | tail -n 1 || echo 'signing: FAILED')")
  total_failed=$((total_failed + 1))
  failed=1
fi

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "total: $((total_run - total_failed - total_skipped)) passed, $total_failed failed, $total_skipped skipped"
exit "$failed"
