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
#
# A prefix whose `wineboot --init` fails or times out is not used: its server is
# stopped, the half-made prefix removed, and wineboot tried again, up to
# VANTIDE_WINEBOOT_TRIES times in all (3 by default), VANTIDE_WINEBOOT_PAUSE
# seconds apart (5 by default), each within VANTIDE_WINEBOOT_TIMEOUT seconds
# (180 by default). What every try printed is kept in PREFIX_DIR.wineboot.log,
# and when the last try fails it is printed on standard error.
#
# VANTIDE_WINE and VANTIDE_WINESERVER name the Wine loader and server to use
# instead of the system's (tests point them at a stand-in); with VANTIDE_WINE
# alone, the server beside it is used, if there is one.
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

# A whole number of at least `least` from the environment, or the default.
setting() {
  local name=$1 default=$2 least=$3 value
  value=${!name:-$default}
  if [[ ! $value =~ ^[0-9]+$ ]] || ((10#$value < least)); then
    echo "wine-run.sh: $name must be a whole number of at least $least, not \"$value\"" >&2
    exit 2
  fi
  echo $((10#$value))
}
timeout_seconds=${VANTIDE_WINE_TIMEOUT:-300}
boot_tries=$(setting VANTIDE_WINEBOOT_TRIES 3 1)
boot_pause=$(setting VANTIDE_WINEBOOT_PAUSE 5 0)
boot_timeout=$(setting VANTIDE_WINEBOOT_TIMEOUT 180 1)
# Long enough for every try of the caller that makes the prefix.
lock_wait=$((boot_tries * (boot_timeout + 110) + (boot_tries - 1) * boot_pause))
if [[ $lock_wait -lt 300 ]]; then lock_wait=300; fi

if [[ -n "${VANTIDE_WINE:-}" ]]; then
  if [[ ! -x "$VANTIDE_WINE" ]]; then
    echo "wine-run.sh: VANTIDE_WINE is $VANTIDE_WINE, which is no program" >&2
    exit 127
  fi
  wine=$(realpath -- "$VANTIDE_WINE")
elif [[ -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then
  wine=$(command -v wine64)
elif command -v wine >/dev/null 2>&1; then
  wine=$(command -v wine)
else
  echo "wine-run.sh: wine is not installed" >&2
  exit 127
fi

server=
if [[ -n "${VANTIDE_WINESERVER:-}" ]]; then
  if [[ ! -x "$VANTIDE_WINESERVER" ]]; then
    echo "wine-run.sh: VANTIDE_WINESERVER is $VANTIDE_WINESERVER, which is no program" >&2
    exit 127
  fi
  server=$(realpath -- "$VANTIDE_WINESERVER")
elif [[ -n "${VANTIDE_WINE:-}" ]]; then
  # Never another Wine's server: the two must be of one version.
  for candidate in "$(dirname "$wine")"/wineserver64 "$(dirname "$wine")"/wineserver; do
    if [[ -x "$candidate" ]]; then
      server=$candidate
      break
    fi
  done
elif [[ -x /usr/lib/wine/wineserver64 ]]; then
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

# Stops the prefix's server and every Wine process of the prefix, then removes
# the prefix. Only what looks like a Wine prefix is ever removed: a wrong first
# argument must not cost anyone a folder.
remove_prefix() {
  if [[ ! -e "$prefix" ]]; then return 0; fi
  if [[ -d "$prefix" && ( -z "$(ls -A "$prefix")" || -e "$prefix/system.reg" || -e "$prefix/dosdevices" ) ]]; then
    # Before the removal: Wine finds the server through the prefix.
    if [[ -n "$server" ]]; then timeout 30 "$server" -k </dev/null >/dev/null 2>&1 9>&- || true; fi
    rm -rf "$prefix"
  else
    echo "wine-run.sh: $prefix exists and is no Wine prefix; refusing to use it" >&2
    return 2
  fi
}

# Makes the prefix, trying up to boot_tries times; what each try printed goes
# to boot_log. Runs under the prefix lock (descriptor 9).
make_prefix() {
  local try status reason
  : >"$boot_log"
  for ((try = 1; try <= boot_tries; try++)); do
    # A half-made prefix, from an interrupted run or the try before, is
    # started afresh.
    remove_prefix || return 2
    mkdir -p "$prefix"
    echo "--- wineboot --init, try $try of $boot_tries, $(date -u +%Y-%m-%dT%H:%M:%SZ)" >>"$boot_log"
    status=0
    timeout --kill-after=10 "$boot_timeout" "$wine" wineboot --init </dev/null >>"$boot_log" 2>&1 9>&- || status=$?
    if [[ $status -eq 0 && -n "$server" ]]; then
      # The registry reaches the prefix when the server ends.
      timeout 60 "$server" -w </dev/null >>"$boot_log" 2>&1 9>&- || true
      if [[ ! -e "$prefix/system.reg" ]]; then status=-1; fi
    fi
    case $status in
      0)
        touch "$prefix/.vantide-ready"
        if [[ $try -gt 1 ]]; then
          echo "wine-run.sh: the prefix $prefix was made on try $try of $boot_tries (what the failed tries printed: $boot_log)" >&2
        fi
        return 0
        ;;
      -1) reason="wineboot ended, but the prefix has no system.reg" ;;
      124 | 137) reason="wineboot timed out after $boot_timeout s" ;;
      *) reason="wineboot failed with status $status" ;;
    esac
    echo "--- $reason" >>"$boot_log"
    if [[ $try -lt $boot_tries ]]; then
      echo "wine-run.sh: $reason in $prefix (try $try of $boot_tries); stopping its server, removing it and trying again in $boot_pause s" >&2
      sleep "$boot_pause"
    fi
  done
  # Nothing half-made is left for the next caller to trip over.
  remove_prefix || true
  echo "wine-run.sh: wineboot failed or timed out in $prefix: $reason, on all $boot_tries tries; what it printed (also in $boot_log):" >&2
  sed 's/^/wine-run.sh: | /' "$boot_log" >&2
  return 1
}

mkdir -p "$(dirname "$prefix")"
boot_log=$prefix.wineboot.log
if [[ ! -f "$prefix/.vantide-ready" ]]; then
  (
    flock -w "$lock_wait" 9 || { echo "wine-run.sh: timed out after $lock_wait s waiting for the prefix lock" >&2; exit 1; }
    if [[ ! -f "$prefix/.vantide-ready" ]]; then
      make_prefix
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
