#!/usr/bin/env bash
# Builds the Windows executable and runs the tool's one job under Wine against
# sample profiles made in a scratch folder: each run shows what the tool found,
# its exit status and its standard-error line. The tool reads the store
# %APPDATA%\Vantide\license-device.dat, unseals it and checks the identity; it
# writes nothing in any of these runs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

bash scripts/setup.sh

echo "=== building the Windows preset"
cmake --preset windows >/dev/null
cmake --build --preset windows --parallel "${VANTIDE_JOBS:-2}" --target vantide-identity vantide_seal_store

build=$root/build/windows
run=("$root/cmake/wine-run.sh" "$build/wine-prefix")
export VANTIDE_WINE_TIMEOUT=120

# Wine maps drive Z: to the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
tool=$(windows_path "$build/src/app/vantide-identity.exe")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
token=van-tide-hud-0123456789abcdef0123456789abcdef

# Wine gives every program it starts its own APPDATA, so the tool is started
# through cmd.exe, which sets APPDATA (or removes it) for the tool alone.
run_tool() {
  local title=$1 appdata_setting=$2
  local status=0
  "${run[@]}" cmd.exe /c "set $appdata_setting&& $tool" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
  echo
  echo "--- $title"
  local value=${appdata_setting#APPDATA=}
  echo "    APPDATA:         ${value:-(unset)}"
  echo "    exit status:     $status"
  if [[ -s "$scratch/stderr" ]]; then
    echo "    standard error:  $(tr -d '\n' <"$scratch/stderr")"
  else
    echo "    standard error:  (nothing)"
  fi
}

check_unchanged() {
  if [[ "$(snapshot "$profile")" == "$before" ]]; then
    echo "    files:           unchanged"
  else
    echo "    files:           CHANGED"
  fi
}

snapshot() { (cd "$1" && find . -printf '%y %p %s\n' | sort && find . -type f -exec sha256sum {} + | sort); }

# 1. A profile whose store holds a sealed identity.
profile=$scratch/with-store/Roaming
mkdir -p "$profile/Vantide"
"${run[@]}" "$build/tests/e2e/vantide_seal_store.exe" "$token" "$(windows_path "$profile/Vantide/license-device.dat")"
before=$(snapshot "$profile")
run_tool "store present: read, unsealed, token checked" "APPDATA=$(windows_path "$profile")"
check_unchanged

# 2. A profile without a store: no identity, nothing is written.
profile=$scratch/no-store/Roaming
mkdir -p "$profile"
before=$(snapshot "$profile")
run_tool "no store: no identity, nothing written" "APPDATA=$(windows_path "$profile")"
check_unchanged

# 3. A damaged store: reported, never replaced.
profile=$scratch/damaged/Roaming
mkdir -p "$profile/Vantide"
printf 'VANTIDE-DPAPI-1\n' >"$profile/Vantide/license-device.dat"
before=$(snapshot "$profile")
run_tool "damaged store (header only): reported, left as it is" "APPDATA=$(windows_path "$profile")"
check_unchanged

# 4. No APPDATA at all.
run_tool "APPDATA unset: the roaming folder is unavailable" "APPDATA="
