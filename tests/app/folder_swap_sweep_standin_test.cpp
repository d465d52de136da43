// Another process swapping a folder the run walks for a link to a folder of
// its own, just before any call of the run. The link's folder holds a copy of
// what the real one held, with another identity (the bait) in every legacy
// file and store: whatever is read through the link shows as the bait (or, in
// a second run of the same moment, as a file the other process keeps open),
// whatever is written through it as a change below that folder. Neither may
// ever happen, whichever folder goes and whenever.
#include "app/resolve.h"

#include "app/migration_machine.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "store/device_token.h"
#include "store/protected_identity.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

namespace van_tide {
namespace {

using testing::DiskSnapshot;
using testing::kMachineLocal;
using testing::kMachineRoaming;
using testing::kMachineStore;
using testing::kMachineStoreFolder;
using testing::kTokenA;
using testing::kTokenB;
using testing::LegacyPath;
using testing::LegacyPlace;
using testing::Narrow;

// Valid, and unlike every token the machine's own files hold.
const std::string kBaitToken = "van-tide-hud-ba17ba17ba17ba17ba17ba17ba17ba17";

// The other process's folders. The real folder is moved aside, so the place
// aside is on its volume.
constexpr wchar_t kOutside[] = L"C:\\Outside";
constexpr wchar_t kBait[] = L"C:\\Outside\\bait";
constexpr wchar_t kAside[] = L"C:\\Aside\\real";

constexpr wchar_t kLegacyFileName[] = L"license-device.json";
constexpr wchar_t kStoreFileName[] = L"license-device.dat";  // and the temporary file after it

// A file the scenario plants: the store when its path is the store's, else a
// legacy file.
struct Planted {
  std::wstring path;
  std::string token;
};

struct Scenario {
  const char* name;
  const char* label;  // a column of the table by folder
  std::vector<Planted> files;
  HRESULT status;     // of the undisturbed run
  std::string token;  // of the undisturbed run
};

// In the conflict, a bait read on one side only still meets a conflict: the
// bait shows only where the link covers both files, a held file everywhere.
const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios{
      {"first migration, roaming PluginData",
       "roam/PD",
       {{LegacyPath(kMachineRoaming, L"a", LegacyPlace::kPluginData), kTokenA}},
       kStatusOk,
       kTokenA},
      {"first migration, roaming entry folder",
       "roam/entry",
       {{LegacyPath(kMachineRoaming, L"a", LegacyPlace::kDataFolder), kTokenA}},
       kStatusOk,
       kTokenA},
      {"first migration, local PluginData",
       "local/PD",
       {{LegacyPath(kMachineLocal, L"b", LegacyPlace::kPluginData), kTokenA}},
       kStatusOk,
       kTokenA},
      {"first migration, local entry folder",
       "local/entry",
       {{LegacyPath(kMachineLocal, L"b", LegacyPlace::kDataFolder), kTokenA}},
       kStatusOk,
       kTokenA},
      {"store present", "store", {{kMachineStore, kTokenA}}, kStatusOk, kTokenA},
      {"conflict, roaming against local",
       "conflict",
       {{LegacyPath(kMachineRoaming, L"a", LegacyPlace::kPluginData), kTokenA},
        {LegacyPath(kMachineLocal, L"b", LegacyPlace::kDataFolder), kTokenB}},
       kStatusDuplicateName,
       ""},
  };
  return scenarios;
}

std::string Sealed(const std::string& token) {
  std::string bytes;
  EXPECT_EQ(VantideSealIdentity(token, &bytes), kStatusOk);
  return bytes;
}

std::wstring WithBackslashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::wstring ParentOf(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// Every folder from the top down to each planted file's, to the store's (the
// run looks for it there and makes it there) and to both base folders; the
// drive's root cannot be swapped.
std::vector<std::wstring> FoldersToSwap(const Scenario& scenario) {
  std::vector<std::wstring> deepest{kMachineStoreFolder, kMachineRoaming, kMachineLocal};
  for (const Planted& file : scenario.files) deepest.push_back(ParentOf(WithBackslashes(file.path)));
  std::vector<std::wstring> folders;
  for (const std::wstring& folder : deepest) {
    for (std::size_t cut = folder.find(L'\\'); cut != std::wstring::npos; cut = folder.find(L'\\', cut + 1)) {
      const std::wstring above = folder.substr(0, folder.find(L'\\', cut + 1));
      if (std::find(folders.begin(), folders.end(), above) == folders.end()) folders.push_back(above);
    }
  }
  std::sort(folders.begin(), folders.end());  // each folder right after the one above it
  return folders;
}

// How handles meet a link: as on Windows (an open asking for the item itself
// gets the link), or as under Wine (every open follows it, and a handle's
// name is resolved again from its path when asked).
enum class LinkModel { kWindows, kWine };
LinkModel linkModel = LinkModel::kWindows;

void Arrange(const Scenario& scenario) {
  standin::Reset();
  standin::SetHandlesFollowLinks(linkModel == LinkModel::kWine);
  testing::SetUpProfile();
  for (const Planted& file : scenario.files) {
    standin::AddFile(file.path,
                     file.path == kMachineStore ? Sealed(file.token) : testing::LegacyFile(file.token));
  }
}

// How the other process's folder shows a read. As bait, it holds valid data
// with another identity, which shows once the run uses it. Held, every item of
// it is also held open by the other process, shared for nothing but deletion,
// so that opening one fails with a sharing violation that nothing of the
// machine's own causes, while moving or deleting one still works and shows as
// a write: this shows the reads the run goes on to discard, and those in the
// conflict, where a bait on one side meets a conflict all the same.
enum class Probe { kValidData, kHeldOpen };

// A copy of what `real` holds, the bait in every legacy file and store.
void CopyWithBait(const std::wstring& real, const std::wstring& copy, const std::string& sealedBait,
                  Probe probe) {
  standin::AddDirectory(copy);
  for (const std::wstring& name : standin::ListNames(real)) {
    const std::wstring from = real + L"\\" + name;
    const std::wstring to = copy + L"\\" + name;
    if (standin::IsDirectory(from)) {
      CopyWithBait(from, to, sealedBait, probe);
    } else if (name == kLegacyFileName) {
      standin::AddFile(to, testing::LegacyFile(kBaitToken));
    } else if (name.starts_with(kStoreFileName)) {
      standin::AddFile(to, sealedBait);
    } else {
      standin::AddFile(to, standin::FileContents(from));
    }
    if (probe == Probe::kHeldOpen) standin::HoldOpen(to, GENERIC_READ, FILE_SHARE_DELETE);
  }
  if (probe == Probe::kHeldOpen) standin::HoldOpen(copy, GENERIC_READ, FILE_SHARE_DELETE);
}

// Every file of the disk but those in the other process's folder, not through
// the link (empty when none was made).
void FilesOutsideTheBait(const std::wstring& folder, const std::wstring& link,
                         std::vector<std::wstring>* files) {
  for (const std::wstring& name : standin::ListNames(folder)) {
    const std::wstring path = folder + L"\\" + name;
    if (path == link || path == kOutside) continue;
    if (standin::IsDirectory(path)) {
      FilesOutsideTheBait(path, link, files);
    } else {
      files->push_back(path);
    }
  }
}

DiskSnapshot OutsideTree() {
  DiskSnapshot snapshot;
  testing::SnapshotInto(kOutside, &snapshot);
  return snapshot;
}

// 0 with a token, 1 without, or a failure without.
bool IsDefinedOutcome(const DeviceIdentityResult& outcome) {
  if (outcome.status == kStatusOk) return VantideIsDeviceToken(outcome.token);
  return (outcome.status == kStatusNoIdentity || outcome.status < 0) && outcome.token.empty();
}

std::string Short(const std::wstring& path) {
  const std::wstring prefix = L"C:\\Users\\me\\AppData\\";
  return Narrow(path.starts_with(prefix) ? path.substr(prefix.size()) : path);
}

// A folder as a line of a tree below the drive: its name, indented by depth.
std::string TreeLine(const std::wstring& folder) {
  const auto depth = static_cast<std::size_t>(std::count(folder.begin(), folder.end(), L'\\'));
  return std::string(2 * (depth - 1), ' ') + Narrow(folder.substr(folder.find_last_of(L'\\') + 1));
}

std::string Hex(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(status));
  return text;
}

constexpr HRESULT kSharingViolation = static_cast<HRESULT>(0x80070020U);

// What one run with one swap showed.
struct Observed {
  bool exchanged = false;  // false: the folder could not be moved at that moment
  bool used = false;       // the bait became the run's token or a store's
  bool opened = false;     // the run opened an item of the other process's folder
  bool written = false;    // the other process's folder changed
};

// Arranges the machine, swaps `folder` just before call `k` of the run, runs,
// and looks at the disk as a new process would.
Observed RunSwapped(const Scenario& scenario, const std::wstring& folder, std::size_t k, Probe probe,
                    const std::string& sealedBait) {
  Arrange(scenario);
  standin::ClearCalls();
  Observed observed;
  bool reached = false;
  DiskSnapshot outsideBefore;
  standin::RunBeforeCall(k, [&] {
    reached = true;
    try {
      CopyWithBait(folder, kBait, sealedBait, probe);
      observed.exchanged = standin::ExchangeWithLink(folder, kBait, kAside);
    } catch (const std::exception& error) {
      ADD_FAILURE() << "the swap could not be set up: " << error.what();
    }
    outsideBefore = OutsideTree();
  });
  const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
  EXPECT_TRUE(reached);
  EXPECT_TRUE(IsDefinedOutcome(outcome)) << Hex(outcome.status) << " " << outcome.token;
  EXPECT_EQ(standin::OpenHandleCount(), 0U) << "first: " << Narrow(standin::OpenHandlePaths().front());
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);
  // Nothing of the run's is left to meet, the holds go, and reading the
  // stores below is nobody's call.
  standin::Restart();

  observed.used = outcome.token == kBaitToken;
  std::vector<std::wstring> files;
  FilesOutsideTheBait(L"C:", observed.exchanged ? folder : std::wstring(), &files);
  for (const std::wstring& file : files) {
    const std::wstring name = file.substr(file.find_last_of(L'\\') + 1);
    if (name.starts_with(kStoreFileName) && testing::UnsealedStore(file) == kBaitToken) observed.used = true;
  }
  observed.opened = probe == Probe::kHeldOpen && outcome.status == kSharingViolation;
  observed.written = OutsideTree() != outsideBefore;
  return observed;
}

// Interleavings, each run once per probe.
struct Tally {
  std::size_t tried = 0;
  std::size_t refused = 0;
  std::size_t through = 0;
  std::size_t read = 0;  // opened or used
  std::size_t used = 0;
  std::size_t written = 0;

  void Add(const Tally& other) {
    tried += other.tried;
    refused += other.refused;
    through += other.through;
    read += other.read;
    used += other.used;
    written += other.written;
  }
};

// "3-7, 12" for the calls before which a swap of one folder got through.
std::string Ranges(const std::vector<std::size_t>& calls) {
  std::string text;
  for (std::size_t i = 0; i < calls.size();) {
    std::size_t j = i;
    while (j + 1 < calls.size() && calls[j + 1] == calls[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(calls[i]);
    if (j > i) text += "-" + std::to_string(calls[j]);
    i = j + 1;
  }
  return text;
}

class FolderSwapSweepTest : public testing::StandinTest, public ::testing::WithParamInterface<LinkModel> {
 protected:
  FolderSwapSweepTest() { linkModel = GetParam(); }
  ~FolderSwapSweepTest() override { linkModel = LinkModel::kWindows; }
};

TEST_P(FolderSwapSweepTest, NothingIsReadOrWrittenThroughAFolderSwappedForALink) {
  const std::string sealedBait = Sealed(kBaitToken);
  std::vector<Tally> tallies;
  std::vector<std::size_t> callCounts;
  std::vector<std::wstring> allFolders;
  std::map<std::wstring, std::map<std::size_t, Tally>> byFolder;  // then by scenario

  for (std::size_t s = 0; s < Scenarios().size(); ++s) {
    const Scenario& scenario = Scenarios()[s];
    Arrange(scenario);
    standin::ClearCalls();
    const DeviceIdentityResult undisturbed = VantideResolveDeviceIdentity();
    ASSERT_EQ(undisturbed.status, scenario.status) << scenario.name;
    ASSERT_EQ(undisturbed.token, scenario.token) << scenario.name;
    const std::vector<standin::Call> record = standin::Calls();
    callCounts.push_back(record.size());

    Tally tally;
    std::string leaks;
    for (const std::wstring& folder : FoldersToSwap(scenario)) {
      if (std::find(allFolders.begin(), allFolders.end(), folder) == allFolders.end()) {
        allFolders.push_back(folder);
      }
      std::vector<std::size_t> readBefore;
      std::vector<std::size_t> writtenBefore;
      // The boundary after the last call is past the run's end: no hook reaches it.
      for (std::size_t k = 0; k < record.size(); ++k) {
        SCOPED_TRACE(std::string(scenario.name) + ", " + Short(folder) + " swapped before call " +
                     std::to_string(k) + " " + standin::ApiName(record[k].api) + " " + Short(record[k].path));
        Observed seen;
        for (const Probe probe : {Probe::kValidData, Probe::kHeldOpen}) {
          const Observed one = RunSwapped(scenario, folder, k, probe, sealedBait);
          seen.exchanged = seen.exchanged || one.exchanged;
          seen.used = seen.used || one.used;
          seen.opened = seen.opened || one.opened;
          seen.written = seen.written || one.written;
        }
        Tally one;
        one.tried = 1;
        one.refused = seen.exchanged ? 0 : 1;
        one.read = seen.opened || seen.used ? 1 : 0;
        one.used = seen.used ? 1 : 0;
        one.written = seen.written ? 1 : 0;
        one.through = one.read + one.written > 0 ? 1 : 0;
        tally.Add(one);
        byFolder[folder][s].Add(one);
        if (one.read != 0) readBefore.push_back(k);
        if (one.written != 0) writtenBefore.push_back(k);
      }
      if (!readBefore.empty()) leaks += "\n  " + Short(folder) + ": read before calls " + Ranges(readBefore);
      if (!writtenBefore.empty()) {
        leaks += "\n  " + Short(folder) + ": written before calls " + Ranges(writtenBefore);
      }
    }
    tallies.push_back(tally);
    EXPECT_EQ(tally.through, 0U) << scenario.name << ": swaps that let a link through (call numbers of the "
                                 << "undisturbed run, " << record.size() << " calls):" << leaks;
  }

  std::printf(
      "\nfolder swap sweep, links met as %s: interleavings tried and let through, by scenario (read: a file\n"
      "or folder of the link's opened; used: its identity taken for the run's or a store's)\n",
      GetParam() == LinkModel::kWine ? "under Wine" : "on Windows");
  std::printf("%-40s %6s %8s %6s %8s %8s %6s %6s %6s\n", "scenario", "calls", "folders", "tried", "refused",
              "through", "read", "used", "write");
  Tally total;
  for (std::size_t s = 0; s < tallies.size(); ++s) {
    const Tally& t = tallies[s];
    std::printf("%-40s %6zu %8zu %6zu %8zu %8zu %6zu %6zu %6zu\n", Scenarios()[s].name, callCounts[s],
                FoldersToSwap(Scenarios()[s]).size(), t.tried, t.refused, t.through, t.read, t.used,
                t.written);
    total.Add(t);
  }
  std::printf("%-40s %6s %8s %6zu %8zu %8zu %6zu %6zu %6zu\n", "all", "", "", total.tried, total.refused,
              total.through, total.read, total.used, total.written);

  std::sort(allFolders.begin(), allFolders.end());
  std::printf("\nfolder swap sweep: read/write interleavings let through, by folder swapped\n");
  std::printf("%-50s", "folder");
  for (const Scenario& scenario : Scenarios()) std::printf(" %11s", scenario.label);
  std::printf("\n");
  for (const std::wstring& folder : allFolders) {
    std::printf("%-50s", TreeLine(folder).c_str());
    for (std::size_t s = 0; s < Scenarios().size(); ++s) {
      const auto found = byFolder[folder].find(s);
      const std::string cell = found == byFolder[folder].end() ? "-"
                                                               : std::to_string(found->second.read) + "/" +
                                                                     std::to_string(found->second.written);
      std::printf(" %11s", cell.c_str());
    }
    std::printf("\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Links, FolderSwapSweepTest, ::testing::Values(LinkModel::kWindows, LinkModel::kWine),
                         [](const ::testing::TestParamInfo<LinkModel>& tested) {
                           return tested.param == LinkModel::kWine ? std::string("AsUnderWine")
                                                                   : std::string("AsOnWindows");
                         });

}  // namespace
}  // namespace van_tide
