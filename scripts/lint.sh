#!/usr/bin/env bash
# Static analysis of the product code: clang-tidy with the checks in
# .clang-tidy, and cppcheck (the in-memory stand-in is test infrastructure and
# stays out); the house format (.clang-format) of every C++ file in the tree;
# and actionlint on the CI workflows (scripts/check-workflows.sh). Exits
# non-zero on any finding. To format: git ls-files '*.cpp' '*.h' |
# xargs clang-format -i
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=build/lint
mapfile -t sources < <(ls src/app/*.cpp src/fs/*.cpp src/legacy/*.cpp src/store/*.cpp | grep -v '/main\.cpp$')

# A compilation database of the native build (nothing needs to be built).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DVANTIDE_BUILD_TESTS=OFF >/dev/null

status=0
echo "clang-tidy: ${#sources[@]} files"
if ! printf '%s\n' "${sources[@]}" | xargs -P 2 -n 4 clang-tidy --quiet -p "$build" 2>/dev/null; then
  status=1
fi

echo "cppcheck"
if ! cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ --inline-suppr \
    --suppress=missingIncludeSystem --error-exitcode=1 --quiet -I src -I tests src/app src/fs src/legacy src/store; then
  status=1
fi

echo "clang-format"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror --style=file; then
  status=1
fi

echo "workflows"
if ! bash scripts/check-workflows.sh; then
  status=1
fi

if [[ $status -eq 0 ]]; then
  echo "lint: clean"
else
  echo "lint: findings above"
fi
exit "$status"
