#!/usr/bin/env bash
# Builds the native Release benchmark program and prints every table:
#   1. the strict JSON decoder against the parse with a trivial callback and
#      the plain parse, and the growth of the callback parse on an array of
#      empty objects;
#   2. the platform calls per run, against the fewest the rules allow;
#   3. the scan's time per storage entry at 10 to 10,000 entries;
#   4. reading the store, and the path rules.
# Then, when scripts/bench-process.sh is there, the whole Windows process
# under Wine (skip it with --no-process).
#
#   scripts/bench.sh [--no-process] [Google Benchmark flags...]
#
# Any other argument goes to the benchmark program, for example
# --benchmark_repetitions=15 or --benchmark_min_time=0.5. Not a test: ctest
# never runs it. VANTIDE_BENCH_NATIVE_DIR names another build folder than
# build/bench.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

process=1
bench_args=()
for argument in "$@"; do
  case $argument in
    --no-process) process=0 ;;
    *) bench_args+=("$argument") ;;
  esac
done

build=${VANTIDE_BENCH_NATIVE_DIR:-$root/build/bench}
echo "=== building the native Release benchmarks in ${build#"$root"/}"
# Tests are not built here: nothing of this folder is for ctest.
cmake --no-warn-unused-cli -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVANTIDE_BUILD_TESTS=OFF -DVANTIDE_SANITIZE=OFF -DVANTIDE_FUZZ=OFF >/dev/null
cmake --build "$build" --parallel "${VANTIDE_JOBS:-2}" --target vantide_bench

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
echo
echo "=== machine"
echo "cores (nproc): $(nproc)"
echo "cpu: $(grep -m 1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: *//')"
echo "compiler: $("${compiler:-c++}" --version | head -n 1)"
echo "load average: $(cut -d ' ' -f 1-3 /proc/loadavg) (other work on the machine widens the spread)"
echo

started=$SECONDS
"$build/tools/bench/vantide_bench" "${bench_args[@]}"
echo
echo "(native benchmarks took $((SECONDS - started)) s)"

if [[ $process -eq 1 && -f scripts/bench-process.sh ]]; then
  echo
  echo "=== whole process under Wine (scripts/bench-process.sh; skip with --no-process)"
  bash scripts/bench-process.sh
fi
