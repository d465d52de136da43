// The platform calls one run makes, as the stand-in records them, next to
// the fewest the product's rules allow. The fewest is worked out here from
// the machine as planted, by the rules alone, without running product code,
// so the two columns come from independent sources.
#include <array>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/migration_machine.h"
#include "app/resolve.h"
#include "bench.h"
#include "legacy/legacy_test_files.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/protected_identity.h"

namespace van_tide::bench {
namespace {

using standin::Api;
using testing::kMachineLocal;
using testing::kMachineRoaming;
using testing::kMachineStore;
using testing::kMachineStoreFolder;

constexpr std::size_t kApiCount =
    static_cast<std::size_t>(Api::GetFinalPathNameByHandleW) + 1;  // the last Api
using Counts = std::array<std::size_t, kApiCount>;

std::size_t& At(Counts& counts, Api api) { return counts[static_cast<std::size_t>(api)]; }

std::size_t Total(const Counts& counts) {
  std::size_t total = 0;
  for (std::size_t count : counts) total += count;
  return total;
}

// The fewest calls, by the rules, for the machine as it stands. Only the
// stand-in's inspection functions are used: they leave the record alone.
//
// The rules: the walk opens its start (the drive's root) by path and asks its
// identity and name; every member below is opened relative to the folder
// above it, its identity and name asked, and the folder above listed through
// a fresh handle until the member's entry shows (a storage entry is held to
// the storage listing instead), and every handle is closed once the walk is
// done with it. Every folder is walked once, whatever uses it after.
class RulesMinimum {
 public:
  Counts Compute() {
    counts_ = {};
    ++At(counts_, Api::WideDupEnv);  // APPDATA
    // The roaming folder, then the store's folder below it.
    const bool roaming = Walk(L"C:\\", kMachineRoaming);
    const bool storeFolder = roaming && Walk(kMachineRoaming, kMachineStoreFolder);
    if (storeFolder) {
      if (OpenAndRead(kMachineStore)) {
        ++At(counts_, Api::CryptUnprotectData);
        return counts_;
      }
    }

    ++At(counts_, Api::WideDupEnv);  // LOCALAPPDATA
    bool found = false;
    for (const std::wstring& base : {std::wstring(kMachineRoaming), std::wstring(kMachineLocal)}) {
      // The roaming folder is held from the store's walk; the local one is
      // walked now.
      if (base == kMachineLocal && !Walk(L"C:\\", base)) continue;
      if (base == kMachineRoaming && !roaming) continue;
      const std::wstring storage = base + L"\\Adobe\\UXP\\PluginsStorage\\PHSP";
      if (!Walk(base, storage)) continue;
      const std::vector<std::wstring> names = standin::ListNames(storage);
      // The listing in batches of 16 KiB, and the call that reports the end.
      At(counts_, Api::GetFileInformationByHandleEx) += Batches(storage, L"", kScanListingBytes) + 1;
      for (const std::wstring& name : names) {
        const std::wstring entry = storage + L"\\" + name;
        if (!standin::IsDirectory(entry)) continue;  // the listing tells: never opened
        Judged();                                    // held to the storage listing, which is read already
        const std::wstring plugin = entry + L"\\External\\com.greywick.van-tide";
        if (!Walk(entry, plugin)) continue;
        if (Walk(plugin, plugin + L"\\PluginData") &&
            OpenAndRead(plugin + L"\\PluginData\\license-device.json")) {
          found = true;
        }
        if (OpenAndRead(plugin + L"\\license-device.json")) found = true;
      }
    }
    if (!found) return counts_;

    ++At(counts_, Api::CryptProtectData);
    // Each missing folder of the store's chain is created (and judged like
    // any member); the temporary file is created, found in its folder,
    // written, flushed, found again, renamed, flushed again, found under its
    // name and closed.
    ForEachMember(kMachineRoaming, kMachineStoreFolder, [this](const std::wstring& prefix) {
      if (!standin::IsDirectory(prefix)) {
        Member(prefix);
        // The folder made lists first in the folder above: nothing sorts
        // before "Vantide" there that the machine does not hold already.
      }
      return true;
    });
    for (Api api : {Api::NtCreateFile, Api::WriteFile, Api::FlushFileBuffers, Api::NtSetInformationFile,
                    Api::FlushFileBuffers, Api::CloseHandle}) {
      ++At(counts_, api);
    }
    // Each time the file is found: identity, name, and one batch of the
    // fresh listing of a folder that holds it alone.
    for (int check = 0; check < 3; ++check) {
      for (Api api : {Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::NtCreateFile,
                      Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::CloseHandle}) {
        ++At(counts_, api);
      }
    }
    return counts_;
  }

 private:
  // Calls `visit` with every prefix of `path` that names a member below
  // `from`, from the top down, while it returns true.
  template <typename Visit>
  static void ForEachMember(std::wstring_view from, std::wstring_view path, Visit visit) {
    std::size_t position = from.size();
    while (position < path.size()) {
      while (position < path.size() && (path[position] == L'\\' || path[position] == L'/')) ++position;
      while (position < path.size() && path[position] != L'\\' && path[position] != L'/') ++position;
      if (!visit(std::wstring(path.substr(0, position)))) return;
    }
  }

  // The size of the batches the walk reads its parent's listing in.
  static constexpr std::size_t kCheckListingBytes = 4096;
  // The size of the batches the scan reads the storage folder in.
  static constexpr std::size_t kScanListingBytes = 16384;

  // The listing calls that reach the entry `name` of `folder` (all of them,
  // for an empty name) in batches of `bytes`: whole entries, "." and ".."
  // first except at a root.
  static std::size_t Batches(const std::wstring& folder, const std::wstring& name, std::size_t bytes) {
    std::vector<std::wstring> entries;
    if (folder.size() > 2) entries = {L".", L".."};
    for (const std::wstring& entry : standin::ListNames(folder.size() == 2 ? folder + L"\\" : folder)) {
      entries.push_back(entry);
    }
    std::size_t batches = 1;
    std::size_t used = 0;
    for (const std::wstring& entry : entries) {
      const std::size_t size = offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + entry.size() * sizeof(wchar_t);
      const std::size_t at = (used + 7) & ~static_cast<std::size_t>(7);
      if (at + size > bytes) {
        ++batches;
        used = size;
      } else {
        used = at + size;
      }
      if (entry == name) break;
    }
    return batches;
  }

  static std::size_t BatchesTo(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    return Batches(path.substr(0, cut), path.substr(cut + 1), kCheckListingBytes);
  }

  // A member opened and judged by its own handle (identity, name) and in the
  // end closed.
  void Judged() {
    for (Api api : {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
                    Api::CloseHandle}) {
      ++At(counts_, api);
    }
  }

  // The check against the folder above: a fresh handle on it, its identity,
  // the listing up to the entry, the close.
  void Listed(const std::wstring& path) {
    for (Api api : {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::CloseHandle}) ++At(counts_, api);
    At(counts_, Api::GetFileInformationByHandleEx) += BatchesTo(path);
  }

  // A member of a walk.
  void Member(const std::wstring& path) {
    Judged();
    Listed(path);
  }

  // The members of `folder` below `from` (the root opened by path when `from`
  // is one), stopping at the first that is missing. True when all are there.
  bool Walk(std::wstring_view from, std::wstring_view folder) {
    if (from.size() == 3) {  // "C:\"
      for (Api api : {Api::CreateFileW, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
                      Api::CloseHandle}) {
        ++At(counts_, api);
      }
    }
    bool complete = true;
    ForEachMember(from, folder, [this, &complete](const std::wstring& prefix) {
      complete = standin::IsDirectory(prefix);
      if (complete) {
        Member(prefix);
      } else {
        ++At(counts_, Api::NtCreateFile);  // the open that finds it missing
      }
      return complete;
    });
    return complete;
  }

  // The open, and when the file is there the judgement, the size, the read,
  // the judgement again and the close. True when the file is there.
  bool OpenAndRead(const std::wstring& path) {
    ++At(counts_, Api::NtCreateFile);
    if (!standin::Exists(path) || standin::IsDirectory(path)) return false;
    for (int judged = 0; judged < 2; ++judged) {
      for (Api api : {Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx}) ++At(counts_, api);
      Listed(path);
    }
    for (Api api : {Api::GetFileSizeEx, Api::ReadFile, Api::CloseHandle}) ++At(counts_, api);
    return true;
  }

  Counts counts_{};
};

struct Scenario {
  const char* column;
  const char* description;
  std::function<void()> plant;
  HRESULT status;  // what resolution must answer
};

const std::wstring kStorage = L"\\Adobe\\UXP\\PluginsStorage\\PHSP";

std::vector<Scenario> Scenarios() {
  return {
      {"store", "store present: the protected store exists and unseals",
       [] {
         std::string sealed;
         if (VantideSealIdentity(testing::kTokenA, &sealed) == kStatusOk)
           standin::AddFile(kMachineStore, sealed);
       },
       kStatusOk},
      {"empty PHSP",
       "no legacy anywhere, storage folders present: both bases hold Adobe\\UXP\\PluginsStorage\\PHSP, empty",
       [] {
         standin::AddDirectory(std::wstring(kMachineRoaming) + kStorage);
         standin::AddDirectory(std::wstring(kMachineLocal) + kStorage);
       },
       kStatusNoIdentity},
      {"no PHSP", "no legacy anywhere, no storage folders: neither base has an Adobe folder", [] {},
       kStatusNoIdentity},
      {"1 legacy",
       "first migration, one legacy file: Roaming's storage holds one entry with "
       "PluginData\\license-device.json;"
       " Local has no storage folder",
       [] {
         testing::PlantLegacyFile(kMachineRoaming, L"plugin-0001", testing::LegacyPlace::kPluginData,
                                  testing::kTokenA);
       },
       kStatusOk},
      {"100 entries",
       "first migration, 100 entries in Roaming's storage, each with one legacy file (same token), in the two"
       " places in turn; Local has no storage folder",
       [] {
         for (int i = 0; i < 100; ++i) {
           wchar_t name[32];
           std::swprintf(name, std::size(name), L"plugin-%04d", i);
           testing::PlantLegacyFile(
               kMachineRoaming, name,
               i % 2 == 0 ? testing::LegacyPlace::kPluginData : testing::LegacyPlace::kDataFolder,
               testing::kTokenA);
         }
       },
       kStatusOk},
  };
}

struct Outcome {
  Counts run{};
  Counts minimum{};
  bool ok = false;
};

Outcome RunScenario(const Scenario& scenario) {
  Outcome outcome;
  standin::Reset();
  testing::SetUpProfile();
  scenario.plant();
  RulesMinimum rules;
  outcome.minimum = rules.Compute();

  standin::ClearCalls();
  const DeviceIdentityResult result = VantideResolveDeviceIdentity();
  for (const standin::Call& call : standin::Calls()) ++At(outcome.run, call.api);
  outcome.ok = result.status == scenario.status &&
               (scenario.status != kStatusOk || result.token == testing::kTokenA) &&
               standin::OpenHandleCount() == 0 && standin::OutstandingLocalBuffers() == 0;
  if (!outcome.ok) {
    std::printf("  scenario \"%s\" ended with status 0x%08X, not 0x%08X (or leaked a handle or buffer)\n",
                scenario.column, static_cast<unsigned>(result.status),
                static_cast<unsigned>(scenario.status));
  }
  standin::Reset();
  return outcome;
}

// Why the product makes more (or fewer) calls of `api` than the rules need.
std::string Explain(Api api, const Outcome& outcome) {
  const auto index = static_cast<std::size_t>(api);
  return "not explained by the rules: product makes " + std::to_string(outcome.run[index]) + ", rules need " +
         std::to_string(outcome.minimum[index]) + "; read the stand-in's record";
}

}  // namespace

bool PrintCallTable() {
  const std::vector<Scenario> scenarios = Scenarios();
  std::vector<Outcome> outcomes;
  bool allOk = true;
  for (const Scenario& scenario : scenarios) {
    outcomes.push_back(RunScenario(scenario));
    allOk = allOk && outcomes.back().ok;
  }

  std::printf(
      "\n== 2. Platform calls per run of VantideResolveDeviceIdentity (stand-in record, not timed)\n");
  std::printf("APPDATA=%ls, LOCALAPPDATA=%ls, both present.\n", kMachineRoaming, kMachineLocal);
  for (const Scenario& scenario : scenarios)
    std::printf("  %-12s %s\n", scenario.column, scenario.description);
  std::printf(
      "Each cell: calls made / fewest the rules allow (WideDupEnv is the environment lookup;\n"
      "LocalFree is not recorded).\n");
  std::printf("%-27s", "API");
  for (const Scenario& scenario : scenarios) std::printf(" %13s", scenario.column);
  std::printf("\n");

  auto printRow = [&outcomes](const char* name, auto count) {
    std::printf("%-27s", name);
    for (const Outcome& outcome : outcomes) {
      const std::size_t made = count(outcome.run);
      const std::size_t fewest = count(outcome.minimum);
      char cell[32];
      std::snprintf(cell, sizeof cell, "%zu / %zu%s", made, fewest, made == fewest ? " " : "*");
      std::printf(" %13s", cell);
    }
    std::printf("\n");
  };
  for (std::size_t index = 0; index < kApiCount; ++index) {
    bool used = false;
    for (const Outcome& outcome : outcomes)
      used = used || outcome.run[index] != 0 || outcome.minimum[index] != 0;
    if (!used) continue;
    printRow(standin::ApiName(static_cast<Api>(index)),
             [index](const Counts& counts) { return counts[index]; });
  }
  printRow("total", [](const Counts& counts) { return Total(counts); });

  // One line for each API and explanation, naming the scenarios it covers.
  std::printf("Differences (*):\n");
  std::vector<std::pair<std::string, std::string>> differences;  // explanation, scenarios
  for (std::size_t index = 0; index < kApiCount; ++index) {
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
      if (outcomes[s].run[index] == outcomes[s].minimum[index]) continue;
      const std::string why = std::string(standin::ApiName(static_cast<Api>(index))) + ": " +
                              Explain(static_cast<Api>(index), outcomes[s]);
      auto known = differences.begin();
      while (known != differences.end() && known->first != why) ++known;
      if (known == differences.end()) {
        differences.emplace_back(why, scenarios[s].column);
      } else {
        known->second.append(", ").append(scenarios[s].column);
      }
    }
  }
  for (const auto& [why, where] : differences) std::printf("  [%s] %s\n", where.c_str(), why.c_str());
  if (differences.empty()) std::printf("  none: the product makes exactly the calls the rules require\n");
  for (std::size_t s = 0; s < scenarios.size(); ++s) {
    if (Total(outcomes[s].run) == Total(outcomes[s].minimum)) {
      std::printf("  %s: exactly the rules' minimum (%zu calls)\n", scenarios[s].column,
                  Total(outcomes[s].run));
    }
  }
  return allOk;
}

}  // namespace van_tide::bench
