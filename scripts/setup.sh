#!/usr/bin/env bash
# Installs what building and testing need on Debian 12: the native tool chain,
# clang with libFuzzer's run-time, the mingw-w64 cross compiler in both thread
# models (posix for the tests, win32 for the release), Wine, CMake,
# Ninja, nlohmann/json, GoogleTest; zip, unzip, osslsigncode and openssl for
# the release package and its Authenticode signature; Google Benchmark,
# hyperfine and GNU time for the measurements; gcovr, clang-tidy, cppcheck and
# clang-format for coverage and static checks; Node.js and npm for the
# workflow check and the SBOM's schema check. Safe to run again: when everything is present it changes
# nothing.
set -euo pipefail

packages=(
  g++ cmake ninja-build
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32
  zip unzip osslsigncode openssl
  wine wine64
  nlohmann-json3-dev googletest libgtest-dev
  libbenchmark-dev hyperfine time
  gcovr clang-tidy cppcheck clang-format
)
# Node.js and npm run the workflow check (scripts/check-workflows.sh) and the
# release's SBOM schema check (scripts/check-sbom-schema.sh). Where
# they are already there, from Debian or elsewhere, those serve.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all packages present (${packages[*]})"
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "setup: need root (or sudo) to install: ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
echo "setup: done"
