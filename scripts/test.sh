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
# Exits non-zero if any build or test fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

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
    summary+=("$preset: configure failed")
    failed=1
    continue
  fi
  if ! cmake --build --preset "$preset" --parallel "$jobs"; then
    summary+=("$preset: build failed")
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
  fi
  summary+=("$preset: ${result:-ctest printed no summary} (build $((built - started)) s, tests $((SECONDS - built)) s)")
  if [[ $status -ne 0 ]]; then
    failed=1
  elif [[ $preset == native ]]; then
    # The sweep tests print what each failing call, crash point and failing
    # allocation led to; ctest keeps the output of passing tests to itself.
    echo
    echo "=== sweep tables (native, stand-in)"
    "build/$preset/tests/vantide_standin_tests" --gtest_filter='*SweepTest.*' --gtest_brief=1
    "build/$preset/tests/app/vantide_allocation_tests" --gtest_brief=1
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
