// The scan of the plug-in storage folder as it grows, and the measurements
// kept from the first benchmark program: reading and unsealing the store, and
// the path rules. All against the stand-in, whose record of every call is
// part of what is timed (it is emptied between iterations, outside the
// timing, so that it does not grow without bound).
#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/migration_machine.h"
#include "bench.h"
#include "fs/path.h"
#include "legacy/legacy_scan.h"
#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/protected_identity.h"
#include "support/open_folder.h"

namespace van_tide::bench {
namespace {

constexpr int kScanSizes[] = {10, 100, 1000, 10000};

std::string ScanName(int entries) { return std::string(kScanPrefix) + std::to_string(entries); }

// Platform calls one scan makes, by number of entries (filled in as the scans run).
std::map<int, std::size_t>& CallsPerScan() {
  static std::map<int, std::size_t> calls;
  return calls;
}

// A profile whose Roaming storage folder holds `entries` plug-in folders, each
// with one legacy file naming the same token, in the two places in turn.
void PlantStorage(int entries) {
  standin::Reset();
  testing::SetUpProfile();
  for (int i = 0; i < entries; ++i) {
    wchar_t name[32];
    std::swprintf(name, std::size(name), L"plugin-%05d", i);
    testing::PlantLegacyFile(
        testing::kMachineRoaming, name,
        i % 2 == 0 ? testing::LegacyPlace::kPluginData : testing::LegacyPlace::kDataFolder, testing::kTokenA);
  }
}

// The roaming folder is opened once, outside the timing, and held as
// resolution holds it when it scans: what is timed is the scan below it.
void Scan(benchmark::State& state, int entries) {
  PlantStorage(entries);
  {
    const VantideFolder roaming = testing::OpenFolder(testing::kMachineRoaming);
    if (!roaming.IsOpen()) {
      state.SkipWithError("the roaming folder does not open");
      return;
    }
    standin::ClearCalls();
    std::string token;
    if (VantideScanLegacyIdentities(&roaming, &token) != kStatusOk || token != testing::kTokenA) {
      state.SkipWithError("the scan does not find the token");
      return;
    }
    CallsPerScan()[entries] = standin::Calls().size();
    standin::ClearCalls();
    for (auto _ : state) {
      std::string found;
      HRESULT status = VantideScanLegacyIdentities(&roaming, &found);
      benchmark::DoNotOptimize(status);
      benchmark::DoNotOptimize(found);
      state.PauseTiming();
      standin::ClearCalls();
      state.ResumeTiming();
    }
  }
  standin::Reset();
}

constexpr char kStoreRead[] = "store_read";
constexpr char kJoin[] = "join";
constexpr char kParent[] = "parent";

std::string KeptName(const char* key) { return std::string(kKeptPrefix) + key; }

// The record gets a few calls per read; emptying it every so often keeps it
// small at a cost spread thinly over the reads.
constexpr benchmark::IterationCount kClearEvery = 4096;

// The store's folder is opened once, outside the timing, as resolution holds
// it when it reads the store.
void StoreRead(benchmark::State& state) {
  standin::Reset();
  std::string sealed;
  if (VantideSealIdentity(testing::kTokenA, &sealed) != kStatusOk) {
    state.SkipWithError("sealing failed");
    return;
  }
  standin::AddFile(testing::kMachineStore, sealed);
  {
    const testing::FileInFolder store = testing::OpenFolderOf(testing::kMachineStore);
    std::string check;
    bool missing = false;
    if (VantideReadProtectedIdentity(store.folder, store.name, &check, &missing) != kStatusOk ||
        check != testing::kTokenA) {
      state.SkipWithError("the store does not read back");
      return;
    }
    standin::ClearCalls();
    benchmark::IterationCount done = 0;
    for (auto _ : state) {
      std::string token;
      bool absent = false;
      HRESULT status = VantideReadProtectedIdentity(store.folder, store.name, &token, &absent);
      benchmark::DoNotOptimize(status);
      benchmark::DoNotOptimize(token);
      if (++done % kClearEvery == 0) {
        state.PauseTiming();
        standin::ClearCalls();
        state.ResumeTiming();
      }
    }
  }
  standin::Reset();
}

const Path kBase = L"C:\\Users\\me\\AppData\\Roaming";
const std::vector<Path> kNames = {L"Vantide", L"license-device.dat", L"Adobe/UXP/PluginsStorage/PHSP",
                                  L"External/com.greywick.van-tide", L"PluginData/license-device.json"};

void Join(benchmark::State& state) {
  std::size_t next = 0;
  for (auto _ : state) {
    Path joined = VantideJoinPath(kBase, kNames[next]);
    benchmark::DoNotOptimize(joined);
    next = next + 1 == kNames.size() ? 0 : next + 1;
  }
}

void Parent(benchmark::State& state) {
  std::vector<Path> paths;
  for (const Path& name : kNames) paths.push_back(VantideJoinPath(kBase, name));
  std::size_t next = 0;
  for (auto _ : state) {
    Path parent = VantideParentPath(paths[next]);
    benchmark::DoNotOptimize(parent);
    next = next + 1 == paths.size() ? 0 : next + 1;
  }
}

bool Report(const CollectingReporter& results, const std::string& name, Figure* figure) {
  if (results.Find(name, figure)) return true;
  const std::string error = results.ErrorOf(name);
  std::printf("  %s did not run%s%s\n", name.c_str(), error.empty() ? "" : ": ", error.c_str());
  return false;
}

}  // namespace

bool RegisterScanBenchmarks() {
  for (int entries : kScanSizes) {
    benchmark::RegisterBenchmark(ScanName(entries).c_str(), Scan, entries)->Unit(benchmark::kMicrosecond);
  }
  return true;
}

void PrintScanTable(const CollectingReporter& results) {
  std::printf(
      "\n== 3. Scan scaling: VantideScanLegacyIdentities, one legacy file per storage entry, all agreeing\n");
  std::printf(
      "(the roaming folder is held open, as resolution holds it; the scan opens everything below it)\n");
  std::printf(
      "(the stand-in's record of every call is part of the time; it is emptied between iterations)\n");
  std::printf("%8s %11s %11s %13s %12s %10s\n", "entries", "per scan", "per entry", "vs 10 entries",
              "calls/entry", "spread");
  double first = -1;
  for (int entries : kScanSizes) {
    Figure figure;
    if (!Report(results, ScanName(entries), &figure)) continue;
    const double perEntry = figure.nanoseconds / entries;
    if (first < 0) first = perEntry;
    char relative[16];
    std::snprintf(relative, sizeof relative, "%.2fx", perEntry / first);
    char spread[16];
    std::snprintf(spread, sizeof spread, figure.spread < 0 ? "-" : "%.1f%%", figure.spread * 100);
    const auto calls = CallsPerScan().find(entries);
    char perEntryCalls[16];
    std::snprintf(perEntryCalls, sizeof perEntryCalls, "%.1f",
                  calls == CallsPerScan().end() ? 0.0 : static_cast<double>(calls->second) / entries);
    std::printf("%8d %11s %11s %13s %12s %10s\n", entries, FormatDuration(figure.nanoseconds).c_str(),
                FormatDuration(perEntry).c_str(), relative, perEntryCalls, spread);
  }
}

bool RegisterKeptBenchmarks() {
  benchmark::RegisterBenchmark(KeptName(kStoreRead).c_str(), StoreRead);
  benchmark::RegisterBenchmark(KeptName(kJoin).c_str(), Join);
  benchmark::RegisterBenchmark(KeptName(kParent).c_str(), Parent);
  return true;
}

void PrintKeptTable(const CollectingReporter& results) {
  std::printf("\n== 4. Store and path rules (time per call)\n");
  const struct {
    const char* key;
    const char* label;
  } rows[] = {
      {kStoreRead, "read and unseal the store, its folder held (VantideReadProtectedIdentity)"},
      {kJoin, "VantideJoinPath(Roaming folder, one of 5 relative names)"},
      {kParent, "VantideParentPath(one of those 5 joined paths)"},
  };
  for (const auto& row : rows) {
    Figure figure;
    if (!Report(results, KeptName(row.key), &figure)) continue;
    std::printf("  %-60s %11s\n", row.label, FormatDuration(figure.nanoseconds).c_str());
  }
}

}  // namespace van_tide::bench
