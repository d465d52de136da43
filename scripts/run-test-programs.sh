#!/usr/bin/env bash
# Runs every GoogleTest program of a test bundle (scripts/windows-test-bundle.sh)
# as a whole, each writing its results as JUnit XML, and fails if any program
# fails, crashes, writes no results or runs no test.
#
#   run-test-programs.sh [--windows] BUNDLE_DIR RESULTS_DIR [LAUNCHER...]
#
# On Windows (Git Bash) the programs start directly and --windows is given:
# there the suite must take Windows' own answers, so a program that notes a
# known Wine deviation fails the run (it would mean it took Windows for Wine).
# Under Wine the launcher runs each program, for example
#   run-test-programs.sh build/windows-bundle build/windows-results \
#     cmake/wine-run.sh build/windows/wine-prefix
# RESULTS_DIR gets NAME.xml and NAME.log (standard output and error: files,
# not pipes, since Wine's programs are read that way) for each program.
set -euo pipefail

windows=0
if [[ ${1:-} == --windows ]]; then
  windows=1
  shift
fi
if [[ $# -lt 2 ]]; then
  echo "usage: $0 [--windows] BUNDLE_DIR RESULTS_DIR [LAUNCHER...]" >&2
  exit 2
fi
bundle=$(cd "$1" && pwd)
mkdir -p "$2"
results=$(cd "$2" && pwd)
shift 2
launcher=("$@")
if [[ ${#launcher[@]} -gt 0 && ${launcher[0]} == */* ]]; then
  launcher[0]=$(cd "$(dirname -- "${launcher[0]}")" && pwd)/$(basename -- "${launcher[0]}")
fi

# Git Bash would rewrite arguments that look like Unix paths.
export MSYS_NO_PATHCONV=1 MSYS2_ARG_CONV_EXCL='*'

mapfile -t programs < <(tr -d '\r' <"$bundle/test-programs.txt" | grep -v '^$' || true)
if [[ ${#programs[@]} -eq 0 ]]; then
  echo "run-test-programs.sh: $bundle/test-programs.txt names no program" >&2
  exit 1
fi

# The value of attribute $2 of the first element named $1 in file $3.
attribute() {
  grep -m 1 -o "<$1 [^>]*" "$3" | grep -o " $2=\"[0-9]*\"" | grep -o '[0-9]\+' || echo 0
}

failed_programs=0
total_passed=0
total_failed=0
total_skipped=0
for program in "${programs[@]}"; do
  name=${program%.exe}
  xml="$results/$name.xml"
  log="$results/$name.log"
  rm -f -- "$xml" "$log"
  echo "=== $program"
  status=0
  # From the results folder, so that the XML's path is a plain relative name
  # on Windows and under Wine alike.
  (cd "$results" && "${launcher[@]}" "$bundle/$program" "--gtest_output=xml:$name.xml" >"$log" 2>&1) ||
    status=$?
  problems=()
  [[ $status -eq 0 ]] || problems+=("exit status $status")
  if [[ -s "$xml" ]]; then
    tests=$(attribute testsuites tests "$xml")
    failures=$(attribute testsuites failures "$xml")
    errors=$(attribute testsuites errors "$xml")
    skipped=$(grep -c 'result="skipped"' "$xml" || true)
    [[ $tests -gt 0 ]] || problems+=("ran no test")
  else
    tests=0 failures=0 errors=0 skipped=0
    problems+=("wrote no results")
  fi
  deviations=$(grep -c '^known Wine deviation: ' "$log" || true)
  if [[ $windows -eq 1 && $deviations -gt 0 ]]; then
    problems+=("noted $deviations Wine deviations on Windows")
  fi
  grep -E '^\[  FAILED  \] [^ ]+\.[^ ]+|^known Wine deviation: ' "$log" | sort -u || true
  # Skipped cases say why; on a machine that should run them all, that is news.
  grep -B 1 -E '^\[  SKIPPED \] [^ ]+\.[^ ]+' "$log" | grep -v '^--$' || true
  passed=$((tests - failures - errors - skipped))
  echo "$program: $passed passed, $((failures + errors)) failed, $skipped skipped, $deviations known Wine deviations noted"
  total_passed=$((total_passed + passed))
  total_skipped=$((total_skipped + skipped))
  if [[ ${#problems[@]} -gt 0 ]]; then
    failed_programs=$((failed_programs + 1))
    # A program that failed without a failed case (a crash, no results) still counts.
    total_failed=$((total_failed + (failures + errors > 0 ? failures + errors : 1)))
    echo "$program FAILED: ${problems[*]}; the last lines of its output:"
    tail -n 30 "$log"
  else
    total_failed=$((total_failed + failures + errors))
  fi
done

echo "=== ${#programs[@]} programs, $failed_programs failed"
echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
[[ $failed_programs -eq 0 ]]
