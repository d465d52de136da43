#!/usr/bin/env bash
# Builds everything from scratch and runs every test:
#   native    the logic against the in-memory Win32 stand-in (Linux)
#   sanitize  the same with AddressSanitizer and UndefinedBehaviorSanitizer
#   windows   the Windows executable and tests, cross-built, run under Wine
# Exits non-zero if any build or test fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

jobs=${VANTIDE_JOBS:-2}
presets=(native sanitize windows)
summary=()
failed=0

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
  summary+=("$preset: ${result:-ctest printed no summary} (build $((built - started)) s, tests $((SECONDS - built)) s)")
  if [[ $status -ne 0 ]]; then
    failed=1
  fi
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
