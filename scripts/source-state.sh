#!/usr/bin/env bash
# Prints the commit this tree is checked out at and whether the tree differs
# from it: "<full hash> clean" or "<full hash> modified". Modified means a
# tracked file differs from the commit or is missing, or a file is there that
# git would track but the commit lacks; ignored files (build/) do not count.
# Every tracked file is compared, also one the index marks skip-worktree or
# assume-unchanged, which git status passes over. Exits 1,
# printing nothing, where the tree is not the top of a git checkout with a
# commit: a source archive unpacked inside some other repository takes no
# commit from that repository.
#
#   scripts/source-state.sh [EXCLUDED]
#
# EXCLUDED, a folder inside the tree, is left out of the comparison (the
# release's output folder, which an earlier release filled).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

top=$(git -C "$root" rev-parse --show-toplevel 2>/dev/null) || exit 1
[[ "$(cd "$top" && pwd -P)" == "$root" ]] || exit 1
commit=$(git -C "$root" rev-parse --verify -q 'HEAD^{commit}') || exit 1

pathspec=(.)
if [[ -n "${1:-}" ]]; then
  excluded=$(realpath -m "$1")
  if [[ "$excluded" == "$root"/* ]]; then
    pathspec+=(":(exclude)${excluded#"$root"/}")
  fi
fi
# The files against the commit, through an index of its own read from the
# commit: the real index may carry skip-worktree and assume-unchanged marks,
# or cached file times, behind which a change stays hidden. Settings that
# would let git trust such caches instead of the files are switched off.
index=$(mktemp -d)
trap 'rm -rf "$index"' EXIT
export GIT_INDEX_FILE=$index/index
git -C "$root" read-tree "$commit"
changes=$(git -C "$root" -c core.fsmonitor=false -c core.untrackedCache=false -c core.ignoreStat=false \
  -c core.sparseCheckout=false status --porcelain --untracked-files=normal -- "${pathspec[@]}")
if [[ -z "$changes" ]]; then
  echo "$commit clean"
else
  echo "$commit modified"
fi
