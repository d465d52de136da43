#!/usr/bin/env bash
# Builds the Windows executable and runs the tool's one job under Wine against
# sample profiles made in a scratch folder: each run shows what the tool found,
# its exit status, its standard-error line and what it changed in the profile.
# The tool reads the store %APPDATA%\Vantide\license-device.dat, unseals it and
# checks the identity; when the store is missing, it takes the identity over
# from the plug-in's legacy license-device.json files (under both APPDATA and
# LOCALAPPDATA) and creates the store, once.
#
# VANTIDE_SAMPLE_BUILD_DIR names another build folder than build/windows (it is
# configured with the same tool chain).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

bash scripts/setup.sh

build=${VANTIDE_SAMPLE_BUILD_DIR:-$root/build/windows}
echo "=== building the Windows executable in ${build#"$root"/}"
if [[ -z "${VANTIDE_SAMPLE_BUILD_DIR:-}" ]]; then
  cmake --preset windows >/dev/null
else
  cmake --no-warn-unused-cli -S . -B "$build" -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --parallel "${VANTIDE_JOBS:-2}" --target vantide-identity vantide_seal_store

run=("$root/cmake/wine-run.sh" "$build/wine-prefix")
export VANTIDE_WINE_TIMEOUT=120

# Wine maps drive Z: to the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
tool=$(windows_path "$build/src/app/vantide-identity.exe")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
token=van-tide-hud-0123456789abcdef0123456789abcdef
# The same token with its last hex digit in upper case: another identity, since
# tokens are compared byte for byte.
other_token=van-tide-hud-0123456789abcdef0123456789abcdeF

# A sample profile: Roaming (APPDATA) and Local (LOCALAPPDATA) under $profile.
new_profile() {
  profile=$scratch/$1
  mkdir -p "$profile/Roaming" "$profile/Local"
}

# Writes a legacy identity file naming TOKEN into the plug-in storage of the
# base folder BASE (Roaming or Local), in the host's storage entry ENTRY, at
# PLACE: "PluginData" or "entry" (the plug-in's folder itself).
plant_legacy() {
  local base=$1 entry=$2 place=$3 token=$4
  local folder="$profile/$base/Adobe/UXP/PluginsStorage/PHSP/$entry/External/com.greywick.van-tide"
  [[ "$place" == PluginData ]] && folder+=/PluginData
  mkdir -p "$folder"
  printf '{"version": 1, "public_key": "%s"}' "$token" >"$folder/license-device.json"
}

# One line per item below the profile: its path, then "folder", "link" or the
# file's size and the start of its SHA-256.
snapshot() {
  local item
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r item; do
    if [[ -L "$item" ]]; then
      printf '%s\tlink\n' "${item#./}"
    elif [[ -d "$item" ]]; then
      printf '%s\tfolder\n' "${item#./}"
    else
      printf '%s\tfile, %s bytes, sha256 %s\n' "${item#./}" "$(stat -c %s "$item")" \
        "$(sha256sum <"$item" | cut -c1-12)"
    fi
  done)
}

# Starts the tool once through cmd.exe: Wine gives every program it starts its
# own APPDATA and LOCALAPPDATA, so cmd.exe sets (or, with an empty value,
# removes) them for the tool alone.
#   run_tool TITLE NAME=VALUE...
run_tool() {
  local title=$1
  shift
  local settings="" setting status=0
  for setting in "$@"; do settings+="set $setting&& "; done
  before=$(snapshot "$profile")
  "${run[@]}" cmd.exe /c "$settings$tool" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
  echo
  echo "--- $title"
  for setting in "$@"; do
    local value=${setting#*=}
    printf '    %-17s%s\n' "${setting%%=*}:" "${value:-(unset)}"
  done
  echo "    exit status:     $status"
  if [[ -s "$scratch/stderr" ]]; then
    echo "    standard error:  $(tr -d '\n' <"$scratch/stderr")"
  else
    echo "    standard error:  (nothing)"
  fi
  if [[ -s "$scratch/stdout" ]]; then
    echo "    standard output: UNEXPECTED: $(tr -d '\n' <"$scratch/stdout")"
  fi
  report_changes
}

# What the run changed in the profile, item by item.
report_changes() {
  local after
  after=$(snapshot "$profile")
  if [[ "$after" == "$before" ]]; then
    echo "    files:           unchanged"
    return
  fi
  echo "    files:           changed"
  local -A was now
  local path what
  while IFS=$'\t' read -r path what; do [[ -n "$path" ]] && was[$path]=$what; done <<<"$before"
  while IFS=$'\t' read -r path what; do [[ -n "$path" ]] && now[$path]=$what; done <<<"$after"
  while IFS=$'\t' read -r path what; do
    [[ -z "$path" ]] && continue
    if [[ -z "${was[$path]+set}" ]]; then
      echo "      created:       $path ($what)"
    elif [[ "${was[$path]}" != "$what" ]]; then
      echo "      changed:       $path ($what)"
    fi
  done <<<"$after"
  while IFS=$'\t' read -r path what; do
    [[ -n "$path" && -z "${now[$path]+set}" ]] && echo "      removed:       $path"
  done <<<"$before"
  return 0
}

# The application-data settings of the current sample profile.
profile_settings() {
  echo "APPDATA=$(windows_path "$profile/Roaming")"
  echo "LOCALAPPDATA=$(windows_path "$profile/Local")"
}
run_in_profile() {
  local title=$1
  local -a settings
  mapfile -t settings < <(profile_settings)
  run_tool "$title" "${settings[@]}"
}

# 1. A profile whose store holds a sealed identity.
new_profile with-store
mkdir -p "$profile/Roaming/Vantide"
"${run[@]}" "$build/tests/e2e/vantide_seal_store.exe" "$token" \
  "$(windows_path "$profile/Roaming/Vantide/license-device.dat")"
run_in_profile "store present: read, unsealed, token checked"

# 2. A profile without a store and without legacy files: no identity.
new_profile no-store
run_in_profile "no store, no legacy file: no identity, nothing written"

# 3. A damaged store: reported, never replaced.
new_profile damaged
mkdir -p "$profile/Roaming/Vantide"
printf 'VANTIDE-DPAPI-1\n' >"$profile/Roaming/Vantide/license-device.dat"
run_in_profile "damaged store (header only): reported, left as it is"

# 4. No APPDATA at all, even with a legacy identity under LOCALAPPDATA.
new_profile no-appdata
plant_legacy Local 7f3e2a1c PluginData "$token"
run_tool "APPDATA unset: the roaming folder is unavailable" "APPDATA=" \
  "LOCALAPPDATA=$(windows_path "$profile/Local")"

# 5 and 6. A profile with the plug-in's legacy identity and no store: the first
# run takes it over into a new store, the second reads that store.
new_profile migrate
plant_legacy Local 7f3e2a1c PluginData "$token"
run_in_profile "no store, one legacy file: the first run creates the store"
store=$profile/Roaming/Vantide/license-device.dat
if [[ -f "$store" ]]; then
  printf '    store holds:     "%s\\n", then a %d-byte data-protection blob\n' "$(head -c 15 "$store")" \
    "$(($(stat -c %s "$store") - 16))"
fi
plant_legacy Local 7f3e2a1c PluginData "$other_token"
run_in_profile "second run, the legacy file now names another token: the store is read, nothing written"

# 7. Legacy files that disagree: nothing is taken over.
new_profile conflict
plant_legacy Roaming 7f3e2a1c entry "$token"
plant_legacy Local 9b04d5e6 PluginData "$other_token"
run_in_profile "two legacy files, tokens differ in the case of one digit: conflict, nothing written"

# 8 and 9. A temporary file left by an interrupted run blocks the creation of
# the store until it is removed.
new_profile leftover
plant_legacy Roaming 7f3e2a1c PluginData "$token"
mkdir -p "$profile/Roaming/Vantide"
leftover=$profile/Roaming/Vantide/license-device.dat.tmp
printf 'VANTIDE-DPAPI-1\n\001\000' >"$leftover"
run_in_profile "leftover license-device.dat.tmp: reported, left as it is, no store"
if [[ -f "$leftover" ]]; then
  echo "    leftover:        still there ($(stat -c %s "$leftover") bytes)"
fi
rm -- "$leftover"
run_in_profile "leftover removed: the next run creates the store"
