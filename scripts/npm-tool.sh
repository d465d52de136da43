#!/usr/bin/env bash
# Installs the Node packages of a check that runs offline (tools/NAME) into
# build/NAME: exactly the versions and checksums that
# tools/NAME/package-lock.json pins, by `npm ci` without install scripts, and
# again only when that lock file changed. Prints the node_modules folder.
#
#   scripts/npm-tool.sh NAME
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

name=${1:?usage: npm-tool.sh NAME}
tool=tools/$name
prefix=build/$name

for command in node npm; do
  if ! command -v "$command" >/dev/null 2>&1; then
    echo "$name: $command is missing; scripts/setup.sh installs it" >&2
    exit 1
  fi
done

if [[ ! -d "$prefix/node_modules" ]] || ! cmp -s "$tool/package-lock.json" "$prefix/package-lock.json"; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  cp "$tool/package.json" "$tool/package-lock.json" "$tool/.npmrc" "$prefix/"
  if ! (cd "$prefix" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    rm -rf "$prefix"
    echo "$name: installing its packages (npm ci) failed" >&2
    exit 1
  fi
fi
echo "$PWD/$prefix/node_modules"
