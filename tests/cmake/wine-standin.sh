#!/usr/bin/env bash
# A stand-in for Wine's loader and server, for tests of cmake/wine-run.sh
# (check-wine-run.sh points VANTIDE_WINE and VANTIDE_WINESERVER at it). Called
# as wine-standin.sh server ARGUMENTS it plays the server, otherwise the loader:
#
#   wineboot --init   makes a prefix (dosdevices, system.reg), or fails
#   cmd.exe ...       does nothing
#   PROGRAM ARGS...   runs PROGRAM, a shell script, with bash
#
# Every call is appended to $STANDIN_STATE/calls, and a boot in a prefix that
# is not empty is noted there. The environment plans the boots: the first
# STANDIN_BOOT_FAILURES of them (a number, or "all") print "stand-in wineboot:
# could not start the prefix's services (boot N)" and fail with status 3,
# leaving only what a failed boot once left in CI (dosdevices,
# .update-timestamp); the first STANDIN_BOOT_HANGS of them hang instead;
# STANDIN_BOOT_NO_REGISTRY=1 makes boots that end well but write no registry.
set -euo pipefail
state=${STANDIN_STATE:?}

if [[ ${1:-} == server ]]; then
  shift
  present=absent
  if [[ -d ${WINEPREFIX:-/nonexistent} ]]; then present=present; fi
  echo "server $* (WINEPREFIX=${WINEPREFIX:-unset}, $present)" >>"$state/calls"
  exit 0
fi

echo "wine $* (WINEPREFIX=${WINEPREFIX:-unset})" >>"$state/calls"
case ${1:-} in
  wineboot)
    boots=$(($(cat "$state/boots" 2>/dev/null || echo 0) + 1))
    echo "$boots" >"$state/boots"
    if [[ -n $(ls -A "$WINEPREFIX") ]]; then echo "boot $boots: the prefix was not empty" >>"$state/calls"; fi
    mkdir -p "$WINEPREFIX/dosdevices"
    date +%s >"$WINEPREFIX/.update-timestamp"
    echo "stand-in wineboot: starting boot $boots"
    failures=${STANDIN_BOOT_FAILURES:-0}
    if [[ $failures == all ]] || ((boots <= failures)); then
      echo "stand-in wineboot: could not start the prefix's services (boot $boots)" >&2
      exit 3
    fi
    if ((boots <= ${STANDIN_BOOT_HANGS:-0})); then
      exec sleep 600
    fi
    if [[ ${STANDIN_BOOT_NO_REGISTRY:-0} != 1 ]]; then
      echo "WINE REGISTRY Version 2" >"$WINEPREFIX/system.reg"
    fi
    ;;
  cmd.exe) ;;
  *) exec bash "$@" ;;
esac
