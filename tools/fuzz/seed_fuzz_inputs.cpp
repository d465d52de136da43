// Writes the seeds of fuzz_whole_run and fuzz_base_folder into
// <folder>/fuzz_whole_run and <folder>/fuzz_base_folder (normally
// tools/fuzz/corpus). Both targets read their choices with FuzzedDataProvider,
// which takes integers from the end of the input one byte at a time for the
// small ranges used here, so a seed is its list of choices in the order the
// target reads them, reversed, after whatever the target reads from the front.
// Run again whenever either target changes the order or the tables it reads.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Write(const std::filesystem::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Choices in reading order become the tail of the input.
Bytes Tail(std::initializer_list<int> choices) {
  Bytes tail;
  for (const int choice : choices) tail.insert(tail.begin(), static_cast<std::uint8_t>(choice));
  return tail;
}

// ---------------------------------------------------------------------------
// fuzz_whole_run: the order of DecodeMachine, and the indices of its tables.
// ---------------------------------------------------------------------------

// kEnvironment
constexpr int kRoaming = 0, kLocal = 1, kUncRoaming = 8, kDeviceLocal = 9, kDeviceUncLocal = 10,
              kRedirected = 12;
constexpr int kSameAsAppData = 13;
// VantideKind, StoreKind, TemporaryKind
constexpr int kVantideFolder = 0, kVantideAbsent = 1, kVantideLinkOut = 3;
constexpr int kStoreAbsent = 0, kStoreA = 1, kStoreGarbled = 3, kStoreOtherUser = 4;
constexpr int kNoTemporary = 0, kTemporaryJunk = 1;
// LegacyText
constexpr int kNone = 0, kA = 1, kACaseChanged = 2, kB = 3, kBadJson = 4, kVersionTwo = 6, kOversized = 8;
// EntryKind, ItemKind, kParents, kLeaves, kTargets
constexpr int kEntryFolder = 0, kEntryLink = 2;
// kOddBaseFolders (9 of them), kOddEntryNames
constexpr int kOddBaseCount = 9;
constexpr int kRoamingMeBlank = 0, kLocalCon = 3, kRoamingStream = 4;
constexpr int kOddBlank = 0, kOddPeriod = 1, kOddCon = 4;
constexpr int kItemFolderLink = 2;
constexpr int kParentStorage = 5;
constexpr int kLeafB = 6;
constexpr int kTargetOutsideStorage = 5;
// kFaultKinds
constexpr int kDiskFull = 4, kShortByOne = 11, kAccessDenied = 0;

struct Entry {
  bool local;
  int name;
  int pluginData;
  int dataFolder;
};
struct Item {
  bool local;
  int parent;
  int leaf;
  int kind;
  int detail;
};
struct Fault {
  std::uint16_t position;
  int kind;
};

struct OddEntry {
  bool local;
  int name;
  int kind;
  int text;
};

struct WholeRun {
  int roaming = kRoaming;
  int local = kLocal;
  int vantide = kVantideAbsent;
  int store = kStoreAbsent;
  int flipAt = 0;
  int flipMask = 1;
  int temporary = kNoTemporary;
  std::vector<Entry> entries;
  std::vector<Item> items;
  std::vector<Fault> faults;
  // Read after everything else: 0, or 1 + an index of kOddBaseFolders for
  // APPDATA, or 1 + its count + an index for LOCALAPPDATA.
  int oddBase = 0;
  std::vector<OddEntry> oddEntries;
};

Bytes Encode(const WholeRun& run) {
  std::vector<int> choices = {
      run.roaming, run.local,        run.vantide,   run.store,
      run.flipAt,  run.flipMask - 1, run.temporary, static_cast<int>(run.entries.size())};
  for (const Entry& entry : run.entries) {
    choices.insert(choices.end(),
                   {entry.local ? 1 : 0, entry.name, kEntryFolder, entry.pluginData, entry.dataFolder});
  }
  choices.push_back(static_cast<int>(run.items.size()));
  for (const Item& item : run.items) {
    choices.insert(choices.end(), {item.local ? 1 : 0, item.parent, item.leaf, item.kind, item.detail});
  }
  choices.push_back(static_cast<int>(run.faults.size()));
  for (const Fault& fault : run.faults) {
    // A 16-bit integer takes two bytes from the end, the high one first.
    choices.insert(choices.end(), {fault.position >> 8, fault.position & 0xFF, fault.kind});
  }
  if (run.oddBase != 0 || !run.oddEntries.empty()) {
    choices.push_back(run.oddBase);
    choices.push_back(static_cast<int>(run.oddEntries.size()));
    for (const OddEntry& entry : run.oddEntries) {
      choices.insert(choices.end(), {entry.local ? 1 : 0, entry.name, entry.kind, entry.text});
    }
  }
  Bytes bytes;
  for (const int choice : choices) bytes.insert(bytes.begin(), static_cast<std::uint8_t>(choice));
  return bytes;
}

bool WriteWholeRunSeeds(const std::filesystem::path& folder) {
  bool ok = true;
  const auto seed = [&](const char* name, const WholeRun& run) {
    ok = Write(folder / name, Encode(run)) && ok;
  };

  WholeRun migration;
  migration.entries = {{false, 0, kA, kA}, {true, 1, kA, kNone}};
  seed("migration-from-both-folders", migration);

  WholeRun conflict;
  conflict.entries = {{false, 0, kA, kNone}, {true, 1, kNone, kACaseChanged}};
  seed("conflict-by-case", conflict);

  WholeRun store;
  store.vantide = kVantideFolder;
  store.store = kStoreA;
  store.entries = {{false, 0, kB, kNone}};
  seed("store-wins-over-legacy", store);

  WholeRun garbled;
  garbled.vantide = kVantideFolder;
  garbled.store = kStoreGarbled;
  garbled.flipAt = 40;
  garbled.flipMask = 0x10;
  garbled.temporary = kTemporaryJunk;
  garbled.entries = {{false, 0, kA, kNone}};
  seed("garbled-store-and-leftover-temporary", garbled);

  WholeRun devicePaths;
  devicePaths.roaming = kDeviceUncLocal;
  devicePaths.local = kUncRoaming;
  devicePaths.entries = {{true, 2, kNone, kA}, {false, 3, kBadJson, kVersionTwo}};
  seed("device-and-unc-folders", devicePaths);

  WholeRun redirected;
  redirected.roaming = kRedirected;
  redirected.local = kDeviceLocal;
  redirected.vantide = kVantideLinkOut;
  redirected.store = kStoreOtherUser;
  redirected.entries = {{true, 0, kA, kNone}};
  seed("redirected-folders", redirected);

  WholeRun linked;
  linked.local = kSameAsAppData;
  linked.entries = {{false, 0, kA, kOversized}};
  linked.items = {{false, kParentStorage, kLeafB, kItemFolderLink, kTargetOutsideStorage}};
  linked.faults = {{20, kAccessDenied}};
  seed("storage-entry-link-and-fault", linked);

  WholeRun faulted;
  faulted.entries = {{false, 0, kA, kNone}};
  faulted.faults = {{0x30, kShortByOne}, {0x33, kDiskFull}};
  seed("migration-with-write-faults", faulted);

  WholeRun blankMember;
  blankMember.entries = {{true, 0, kA, kNone}};
  blankMember.oddBase = 1 + kRoamingMeBlank;
  seed("roaming-through-a-blank-member", blankMember);

  WholeRun deviceMember;
  deviceMember.entries = {{false, 0, kA, kNone}};
  deviceMember.oddBase = 1 + kOddBaseCount + kLocalCon;
  seed("local-through-a-device-member", deviceMember);

  WholeRun streamMember;
  streamMember.vantide = kVantideFolder;
  streamMember.store = kStoreA;
  streamMember.oddBase = 1 + kRoamingStream;
  seed("roaming-as-a-stream", streamMember);

  WholeRun oddEntries;
  oddEntries.entries = {{true, 0, kA, kNone}};
  oddEntries.oddEntries = {{true, kOddBlank, kEntryLink, kNone},
                           {false, kOddPeriod, kEntryFolder, kA},
                           {true, kOddCon, kEntryFolder, kB}};
  seed("storage-entries-with-odd-names", oddEntries);
  return ok;
}

// ---------------------------------------------------------------------------
// fuzz_base_folder: the value from the front, then the choices.
// ---------------------------------------------------------------------------

// Setting, kNames, PlannedFault
constexpr int kSetValue = 0, kSetEmpty = 1;
constexpr int kAppData = 0, kLocalAppData = 1, kAppDataLower = 2;
constexpr int kNoFault = 0, kOutOfMemory = 1;

Bytes BaseFolderInput(std::u16string_view value, int setting, int setName, int lookupName, int fault) {
  Bytes bytes;
  for (const char16_t unit : value) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  const Bytes tail = Tail({setting, setName, lookupName, fault});
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

bool WriteBaseFolderSeeds(const std::filesystem::path& folder) {
  struct Seed {
    const char* name;
    std::u16string_view value;
    int setting, setName, lookupName, fault;
  };
  const Seed seeds[] = {
      {"drive-folder", u"C:\\Users\\me\\AppData\\Roaming", kSetValue, kAppData, kAppData, kNoFault},
      {"device-share-other-case", u"\\\\?\\UNC\\server\\share\\Roaming", kSetValue, kAppData, kAppDataLower,
       kNoFault},
      {"dot-dot-member", u"C:\\Users\\me\\..\\Roaming", kSetValue, kLocalAppData, kLocalAppData, kNoFault},
      {"device-without-drive", u"\\\\?\\GLOBALROOT\\Device\\x", kSetValue, kAppData, kAppData, kNoFault},
      {"drive-relative", u"C:Users\\me", kSetValue, kAppData, kAppData, kNoFault},
      {"empty-value", u"", kSetEmpty, kAppData, kAppData, kNoFault},
      {"out-of-memory", u"C:\\Users\\me\\AppData\\Local", kSetValue, kLocalAppData, kLocalAppData,
       kOutOfMemory},
      {"server-share-dots-and-colon", u"\\\\server\\share\\a.b\\c:d\\...x", kSetValue, kAppData, kAppData,
       kNoFault},
  };
  bool ok = true;
  for (const Seed& seed : seeds) {
    ok = Write(folder / seed.name,
               BaseFolderInput(seed.value, seed.setting, seed.setName, seed.lookupName, seed.fault)) &&
         ok;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  std::filesystem::create_directories(corpus / "fuzz_whole_run");
  std::filesystem::create_directories(corpus / "fuzz_base_folder");
  const bool ok =
      WriteWholeRunSeeds(corpus / "fuzz_whole_run") && WriteBaseFolderSeeds(corpus / "fuzz_base_folder");
  if (!ok) std::fprintf(stderr, "%s: could not write the seeds\n", argv[0]);
  return ok ? 0 : 1;
}
