#!/usr/bin/env bash
# Runs a Windows program under Wine for the cross build's tests.
#
#   wine-run.sh PREFIX_DIR PROGRAM [ARGUMENTS...]
#
# PREFIX_DIR is a Wine prefix private to one build directory. It is created on
# first use; concurrent callers wait for one another on a lock so that only one
# of them initialises it. The program gets a time limit (VANTIDE_WINE_TIMEOUT
# seconds, 300 by default) and its exit status is passed through; a program that
# overruns ends with status 124.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 PREFIX_DIR PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi

# Wine insists on an absolute prefix path.
prefix=$(realpath -m -- "$1")
shift
if [[ "$prefix" == / || "$(basename "$prefix")" == .* ]]; then
  echo "wine-run.sh: refusing the prefix $prefix" >&2
  exit 2
fi

if [[ -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then
  wine=$(command -v wine64)
elif command -v wine >/dev/null 2>&1; then
  wine=$(command -v wine)
else
  echo "wine-run.sh: wine is not installed" >&2
  exit 127
fi

if [[ -x /usr/lib/wine/wineserver64 ]]; then
  server=/usr/lib/wine/wineserver64
else
  server=$(command -v wineserver || true)
fi
if [[ -n "$server" ]]; then
  export WINESERVER=$server
fi

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Wine's loader is found through this when wine64 is started directly.
export WINELOADER=$wine
# No display: keep Wine from trying to open windows or dialogs.
unset DISPLAY WAYLAND_DISPLAY

timeout_seconds=${VANTIDE_WINE_TIMEOUT:-300}

mkdir -p "$(dirname "$prefix")"
if [[ ! -f "$prefix/.vantide-ready" ]]; then
  (
    flock -w 300 9 || { echo "wine-run.sh: timed out waiting for the prefix lock" >&2; exit 1; }
    if [[ ! -f "$prefix/.vantide-ready" ]]; then
      # A half-made prefix from an interrupted run is started afresh, but only
      # what looks like a Wine prefix is ever removed: a wrong first argument
      # must not cost anyone a folder.
      if [[ -e "$prefix" ]]; then
        if [[ -d "$prefix" && ( -z "$(ls -A "$prefix")" || -e "$prefix/system.reg" || -e "$prefix/dosdevices" ) ]]; then
          rm -rf "$prefix"
        else
          echo "wine-run.sh: $prefix exists and is no Wine prefix; refusing to use it" >&2
          exit 2
        fi
      fi
      mkdir -p "$prefix"
      if ! timeout 180 "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-; then
        echo "wine-run.sh: wineboot failed or timed out in $prefix" >&2
        exit 1
      fi
      if [[ -n "$server" ]]; then timeout 60 "$server" -w </dev/null >/dev/null 2>&1 9>&- || true; fi
      touch "$prefix/.vantide-ready"
    fi
  ) 9>"$prefix.lock"
fi

# One server for a whole test run: started afresh for every program, Wine
# spends seconds bringing up its services each time. The server ends by
# itself once no program has used it for VANTIDE_WINESERVER_LINGER seconds.
# Wine's services inherit the standard handles of the program that starts
# them, and a caller such as ctest waits until every holder of its pipe is
# gone; so a new server gets its services from a program whose output goes
# nowhere, before the real program runs. The lock keeps a second caller from
# slipping in first.
if [[ -n "$server" ]]; then
  (
    flock -w 300 9 || exit 0
    # 9>&-: a server or service that kept the lock's descriptor would hold the
    # lock for as long as it lives.
    if timeout 30 "$server" -p"${VANTIDE_WINESERVER_LINGER:-15}" </dev/null >/dev/null 2>&1 9>&-; then
      timeout 120 "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
  ) 9>"$prefix.lock"
fi

# A program Wine cannot find is handed to the desktop shell, which waits for
# a display that never comes; refuse it here instead.
if [[ "$1" == */* && ! -f "$1" ]]; then
  echo "wine-run.sh: no such program: $1" >&2
  exit 127
fi

status=0
timeout --kill-after=10 "$timeout_seconds" "$wine" "$@" || status=$?
exit "$status"
