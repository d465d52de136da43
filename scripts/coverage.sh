#!/usr/bin/env bash
# Line and branch coverage of the product code (src/) by the native tests:
# builds the coverage preset from scratch (g++ --coverage, Debug), runs every
# native test through ctest and reports with gcovr. The Win32 stand-in
# (tests/standin/) is test infrastructure and stays out of the figures;
# Windows-only sources are not built natively and are listed apart.
#
# Branch coverage is given three ways: plain; without the exception edges the
# compiler adds to every call that may throw (--exclude-throw-branches); and
# without branches on lines that hold no code of their own, such as a closing
# brace (--exclude-unreachable-branches). Then a table per file, every product
# line never reached and every product line with a branch never taken.
#
# Exits non-zero if the build or a test fails (the report is printed anyway).
# Writes build/coverage/coverage-*.json for other tools.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=${VANTIDE_JOBS:-2}
build=build/coverage
started=$SECONDS

echo "=== coverage: configure, build, test (from scratch)"
rm -rf "$build"
cmake --preset coverage >/dev/null
cmake --build --preset coverage --parallel "$jobs"
built=$SECONDS
test_status=0
ctest --preset coverage --no-tests=error --parallel "$jobs" --progress ||
  test_status=$?
tested=$SECONDS

gcovr_args=(--root . --filter 'src/' -j "$jobs" "$build")
gcovr "${gcovr_args[@]}" --json "$build/coverage-plain.json" \
  --json-summary "$build/coverage-plain-summary.json"
gcovr "${gcovr_args[@]}" --exclude-throw-branches --json "$build/coverage-nothrow.json" \
  --json-summary "$build/coverage-nothrow-summary.json"
gcovr "${gcovr_args[@]}" --exclude-unreachable-branches \
  --json-summary "$build/coverage-unreachable-summary.json"
gcovr "${gcovr_args[@]}" --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary "$build/coverage-both-summary.json"

python3 - "$build" <<'EOF'
import json
import pathlib
import sys

build = pathlib.Path(sys.argv[1])


def load(name):
    return json.loads((build / name).read_text())


plain = load("coverage-plain-summary.json")
variants = {
    "plain": plain,
    "no throw": load("coverage-nothrow-summary.json"),
    "no unreachable": load("coverage-unreachable-summary.json"),
}
both = load("coverage-both-summary.json")


def figure(covered, total):
    percent = 100.0 * covered / total if total else 100.0
    return f"{percent:5.1f}% {covered:>4}/{total:<4}"


print()
print("=== coverage of src/")
print(f"lines                                  {figure(plain['line_covered'], plain['line_total'])}")
for name, summary in variants.items():
    print(f"branches, {name:<28} {figure(summary['branch_covered'], summary['branch_total'])}")
print(f"branches, no throw and no unreachable  {figure(both['branch_covered'], both['branch_total'])}")

print()
header = f"{'file':<38} {'lines':>15}   " + "   ".join(f"{'branches ' + n:>15}" for n in variants)
print(header)
print("-" * len(header))
per_variant = {name: {f["filename"]: f for f in s["files"]} for name, s in variants.items()}
for entry in plain["files"]:
    name = entry["filename"]
    cells = [figure(entry["line_covered"], entry["line_total"])]
    for variant in variants:
        f = per_variant[variant][name]
        cells.append(figure(f["branch_covered"], f["branch_total"]) if f["branch_total"] else f"{'-':>15}")
    print(f"{name:<38} " + "   ".join(cells))

# Sources that only the Windows build compiles have no counters here.
reported = {f["filename"] for f in plain["files"]}
built_natively = {str(p) for p in pathlib.Path("src").rglob("*.cpp")}
for path in sorted(built_natively - reported):
    print(f"{path:<38} not built natively (Windows only)")


def source_lines(name, cache={}):
    if name not in cache:
        cache[name] = pathlib.Path(name).read_text().splitlines()
    return cache[name]


def coded_lines(report):
    for f in report["files"]:
        for line in f["lines"]:
            if not line.get("gcovr/noncode"):
                yield f["file"], line


detail = load("coverage-plain.json")
print()
print("=== product lines never reached")
missed = [(name, line) for name, line in coded_lines(detail) if line["count"] == 0]
for name, line in missed:
    number = line["line_number"]
    print(f"{name}:{number}: {source_lines(name)[number - 1].strip()}")
if not missed:
    print("none")

print()
print("=== product lines with a branch never taken (throw: only exception edges of the line are missed)")
nothrow_missed = {
    (name, line["line_number"])
    for name, line in coded_lines(load("coverage-nothrow.json"))
    if any(b["count"] == 0 for b in line["branches"])
}
for name, line in coded_lines(detail):
    branches = line["branches"]
    untaken = sum(1 for b in branches if b["count"] == 0)
    if untaken == 0:
        continue
    number = line["line_number"]
    kind = "      " if (name, number) in nothrow_missed else "throw "
    print(f"{name}:{number}: {untaken}/{len(branches)} {kind}| {source_lines(name)[number - 1].strip()}")
EOF

echo
echo "coverage: build $((built - started)) s, tests $((tested - built)) s, report $((SECONDS - tested)) s"
if [[ $test_status -ne 0 ]]; then
  echo "coverage: some tests FAILED (ctest exit $test_status); the figures above are incomplete" >&2
fi
exit "$test_status"
