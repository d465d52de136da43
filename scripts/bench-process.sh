#!/usr/bin/env bash
# Times the whole Windows process of vantide-identity.exe under Wine against
# floor programs that do the least each run needs with the real API
# (tools/bench/floors.cmake):
#   store present:    the tool against floor_read_store.exe (read the store,
#                     unseal it), in the same profile;
#   first migration:  the tool against floor_migrate.exe (read one legacy file,
#                     seal its token, write the store), the store and its
#                     folder removed before every run of either;
#   and an empty program, for what starting any process under Wine costs.
# Prints, per command, the median and mean ± σ of the wall-clock time over
# every run, the mean CPU time and the peak memory of a few runs, and per
# scenario the ratio tool/floor of the medians (with a bootstrap 95% interval).
#
# Builds a Release tool and the floors in build/bench-process-win (or
# VANTIDE_BENCH_BUILD_DIR), with a Wine prefix of its own. Needs hyperfine,
# GNU time and python3.
#
#   VANTIDE_BENCH_ROUNDS   rounds of hyperfine per scenario (20)
#   VANTIDE_BENCH_RUNS     runs of each command per round (5)
#   VANTIDE_BENCH_WARMUP   warm-up runs of each command per round (2)
#   VANTIDE_BENCH_RSS_RUNS runs under /usr/bin/time -v per command (5)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

rounds=${VANTIDE_BENCH_ROUNDS:-20}
runs=${VANTIDE_BENCH_RUNS:-5}
warmup=${VANTIDE_BENCH_WARMUP:-2}
rss_runs=${VANTIDE_BENCH_RSS_RUNS:-5}
build=${VANTIDE_BENCH_BUILD_DIR:-$root/build/bench-process-win}

for program in hyperfine /usr/bin/time python3; do
  command -v "$program" >/dev/null || { echo "bench-process: $program is missing (scripts/setup.sh)" >&2; exit 1; }
done

echo "=== building the Release tool and the floors in ${build#"$root"/}"
cmake --no-warn-unused-cli -S . -B "$build" -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DVANTIDE_BUILD_TESTS=OFF >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! cmake --build "$build" --parallel "${VANTIDE_JOBS:-2}" \
  --target vantide-identity vantide_floor_read_store vantide_floor_migrate vantide_floor_empty >"$scratch/build" 2>&1; then
  cat "$scratch/build" >&2
  exit 1
fi

# Wine maps drive Z: to the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
tool=$(windows_path "$build/src/app/vantide-identity.exe")
floor_read_store=$(windows_path "$build/tools/bench/floor_read_store.exe")
floor_migrate=$(windows_path "$build/tools/bench/floor_migrate.exe")
floor_empty=$(windows_path "$build/tools/bench/floor_empty.exe")

# wine-run.sh makes the prefix once and starts a server that stays for ten
# minutes after its last client, with Wine's services already up: every timed
# run below then costs one process, not a server start.
prefix=$build/wine-prefix
echo "=== booting the Wine prefix ${prefix#"$root"/}"
VANTIDE_WINE_TIMEOUT=120 VANTIDE_WINESERVER_LINGER=600 "$root/cmake/wine-run.sh" "$prefix" cmd.exe /c exit

# The same settings wine-run.sh uses, for starting programs directly: the
# script's per-run overhead (bash, a lock, a server check) would be timed too.
if [[ -x /usr/lib/wine/wine64 ]]; then wine=/usr/lib/wine/wine64; else wine=$(command -v wine64 || command -v wine); fi
if [[ -x /usr/lib/wine/wineserver64 ]]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=$(command -v wineserver); fi
export WINESERVER
WINEPREFIX=$(realpath -m -- "$prefix")
export WINEPREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 WINELOADER=$wine
unset DISPLAY WAYLAND_DISPLAY

volatile='HKCU\Volatile Environment'
# Wine gives every program started from Linux the APPDATA and LOCALAPPDATA of
# this key. Starting the programs through cmd.exe with other values (as
# scripts/run-sample.sh does) would add cmd.exe's start and a second process
# to every run, hundreds of milliseconds that vary more than a whole run of the
# tool, and would hide the program's memory from GNU time (Wine detaches the
# processes it creates). So the key points at the scenario's profile instead;
# its first values come back at the end.
registry_value() {
  timeout 60 "$wine" reg query "$volatile" /v "$1" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_SZ *//p"
}
set_registry_value() {
  timeout 60 "$wine" reg add "$volatile" /v "$1" /d "$2" /f </dev/null >/dev/null
}
first_appdata=$(registry_value APPDATA)
first_localappdata=$(registry_value LOCALAPPDATA)
finish() {
  if [[ -n "$first_appdata" ]]; then set_registry_value APPDATA "$first_appdata" || true; fi
  if [[ -n "$first_localappdata" ]]; then set_registry_value LOCALAPPDATA "$first_localappdata" || true; fi
  # The server of this prefix alone; it would linger for ten minutes.
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap finish EXIT

use_profile() {
  set_registry_value APPDATA "$(windows_path "$1/Roaming")"
  set_registry_value LOCALAPPDATA "$(windows_path "$1/Local")"
}

token=van-tide-hud-0123456789abcdef0123456789abcdef
# A legacy identity file as the plug-in writes it, under LOCALAPPDATA.
plant_legacy() {
  local folder="$1/Local/Adobe/UXP/PluginsStorage/PHSP/7f3e2a1c/External/com.greywick.van-tide/PluginData"
  mkdir -p "$folder" "$1/Roaming"
  printf '{"version": 1, "public_key": "%s"}' "$token" >"$folder/license-device.json"
  legacy_file=$folder/license-device.json
}

# Runs a program once and insists on exit status 0.
run_once() {
  local status=0
  timeout 60 "$wine" "$@" </dev/null >/dev/null 2>"$scratch/stderr" || status=$?
  if [[ $status -ne 0 ]]; then
    echo "bench-process: $* ended with status $status: $(cat "$scratch/stderr")" >&2
    exit 1
  fi
}

results=$scratch/results
mkdir -p "$results"

# One round of hyperfine for one scenario, the commands' order reversed every
# other round; every round writes its own JSON file, and all of them are summed
# up at the end. The script alternates rounds of the two scenarios, so that
# every command sees the same drift of a shared machine.
#   measure_round SCENARIO ROUND PREPARE_COMMAND NAME=COMMAND...
measure_round() {
  local scenario=$1 round=$2 prepare=$3
  shift 3
  local -a entries=("$@") arguments=()
  local index
  if ((round % 2 == 0)); then
    entries=()
    for ((index = $#; index >= 1; index--)); do entries+=("${!index}"); done
  fi
  [[ -n "$prepare" ]] && arguments+=(--prepare "$prepare")
  for index in "${entries[@]}"; do arguments+=(--command-name "${index%%=*}" "${index#*=}"); done
  # -N: no shell between hyperfine and Wine. hyperfine stops at the first
  # non-zero exit status; its warnings about outliers are expected here.
  if ! timeout 300 hyperfine -N --style none --warmup "$warmup" --runs "$runs"     --export-json "$results/$scenario-$round.json" "${arguments[@]}" >/dev/null 2>"$scratch/hyperfine"; then
    echo
    cat "$scratch/hyperfine" >&2
    exit 1
  fi
}

# Peak memory (GNU time's maximum resident set size, in KiB) of a few runs.
#   peak_memory SCENARIO NAME PREPARE_DIRECTORY_OR_EMPTY PROGRAM...
peak_memory() {
  local scenario=$1 name=$2 remove=$3
  shift 3
  local run
  for ((run = 1; run <= rss_runs; run++)); do
    [[ -n "$remove" ]] && rm -rf "$remove"
    timeout 60 /usr/bin/time -v "$wine" "$@" </dev/null 2>&1 >/dev/null |
      sed -n 's/^.*Maximum resident set size (kbytes): *//p' >>"$results/rss-$scenario-$name"
  done
}

quote() { printf "'%s'" "$1"; }

echo "=== machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Store present: the profile gets its store from the tool itself (a first
# migration), so the store is exactly what the tool writes.
store_profile=$scratch/store
plant_legacy "$store_profile"
use_profile "$store_profile"
run_once "$tool"
[[ -f "$store_profile/Roaming/Vantide/license-device.dat" ]] || { echo "bench-process: no store made" >&2; exit 1; }
run_once "$tool"
run_once "$floor_read_store"
run_once "$floor_empty"
peak_memory store vantide-identity "" "$tool"
peak_memory store floor_read_store "" "$floor_read_store"
peak_memory store "empty program" "" "$floor_empty"

# First migration: one legacy file, no store. The floor's store must satisfy
# the tool, or the floor would be doing less than the tool's work.
migrate_profile=$scratch/migrate
plant_legacy "$migrate_profile"
use_profile "$migrate_profile"
vantide_folder=$migrate_profile/Roaming/Vantide
legacy=$(windows_path "$legacy_file")
rm -rf "$vantide_folder"
run_once "$floor_migrate" "$legacy"
run_once "$tool"
rm -rf "$vantide_folder"
run_once "$tool"
[[ -f "$vantide_folder/license-device.dat" ]] || { echo "bench-process: no store made" >&2; exit 1; }
peak_memory migrate vantide-identity "$vantide_folder" "$tool"
peak_memory migrate floor_migrate "$vantide_folder" "$floor_migrate" "$legacy"

echo "=== $rounds rounds, each of both scenarios in turn: $runs runs (+$warmup warm-up) of every command"
echo "    store present: vantide-identity, floor_read_store, empty program (same profile)"
echo "    first migration: vantide-identity, floor_migrate (store and its folder removed before every run)"
printf '    round'
for ((round = 1; round <= rounds; round++)); do
  printf ' %d' "$round"
  use_profile "$store_profile"
  measure_round store "$round" "" \
    "vantide-identity=$wine $(quote "$tool")" \
    "floor_read_store=$wine $(quote "$floor_read_store")" \
    "empty program=$wine $(quote "$floor_empty")"
  use_profile "$migrate_profile"
  measure_round migrate "$round" "rm -rf $(quote "$vantide_folder")" \
    "vantide-identity=$wine $(quote "$tool")" \
    "floor_migrate=$wine $(quote "$floor_migrate") $(quote "$legacy")"
done
echo
echo "=== load average afterwards $(cut -d' ' -f1-3 /proc/loadavg)"

echo
python3 - "$results" <<'EOF'
import glob, json, os, random, statistics, sys

results = sys.argv[1]
random.seed(1)

def collect(scenario):
    # Wall-clock times of every run; hyperfine gives CPU time as a mean per
    # round, and every round has the same number of runs.
    times, cpu = {}, {}
    for path in sorted(glob.glob(os.path.join(results, scenario + "-*.json"))):
        for result in json.load(open(path))["results"]:
            assert all(code == 0 for code in result["exit_codes"]), result["command"]
            times.setdefault(result["command"], []).extend(t * 1000 for t in result["times"])
            cpu.setdefault(result["command"], []).append((result["user"] + result["system"]) * 1000)
    return times, {name: statistics.mean(values) for name, values in cpu.items()}

def rss(scenario, name):
    with open(os.path.join(results, f"rss-{scenario}-{name}")) as source:
        values = [int(line) for line in source if line.strip()]
    return f"{statistics.median(values) / 1024:.1f} MiB"

def ratio_interval(a, b, draws=2000):
    # Bootstrap of the ratio of medians: both samples resampled independently.
    ratios = sorted(statistics.median(random.choices(a, k=len(a))) /
                    statistics.median(random.choices(b, k=len(b))) for _ in range(draws))
    return ratios[int(0.025 * draws)], ratios[int(0.975 * draws)]

def report(title, scenario, tool, floor, reference=None):
    data, cpu = collect(scenario)
    print(f"{title}")
    print(f"  {'command':<18}{'runs':>5}{'median':>10}{'mean ± σ':>19}{'min … max':>19}{'CPU':>10}{'peak RSS':>11}")
    for name, values in data.items():
        print(f"  {name:<18}{len(values):>5}{statistics.median(values):>7.1f} ms"
              f"{statistics.mean(values):>9.1f} ± {statistics.stdev(values):>4.1f} ms"
              f"{min(values):>8.1f} … {max(values):>5.1f} ms{cpu[name]:>7.1f} ms{rss(scenario, name):>11}")
    medians = {name: statistics.median(values) for name, values in data.items()}
    low, high = ratio_interval(data[tool], data[floor])
    print(f"  {tool} / {floor}: {medians[tool] / medians[floor]:.3f}× the median "
          f"(95% interval {low:.3f}–{high:.3f}), {medians[tool] - medians[floor]:+.1f} ms; "
          f"CPU {cpu[tool] / cpu[floor]:.3f}×, {cpu[tool] - cpu[floor]:+.1f} ms; goal ≤ 1.1×")
    if reference:
        for name in (tool, floor):
            print(f"  {name} / {reference}: {medians[name] / medians[reference]:.3f}× the median, "
                  f"{medians[name] - medians[reference]:+.1f} ms; CPU {cpu[name] / cpu[reference]:.3f}×")
    print()

report("store present (profile with the store)", "store", "vantide-identity", "floor_read_store", "empty program")
report("first migration (one legacy file, store removed before every run)", "migrate",
       "vantide-identity", "floor_migrate")
print("Times are wall-clock, per Windows process started from Linux with Wine's server already running.")
print("CPU: user + system time of that process (hyperfine's mean), without the server's share. Peak RSS:")
print("GNU time's maximum resident set size of that process (median of a few runs), Wine's loader and DLLs")
print("included.")
EOF
