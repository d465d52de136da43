// The whole run on a whole machine decoded from the input: both
// application-data variables, a store (or none) and the folder it lives in,
// plug-in storage entries with legacy files, a tree of folders, files and
// links (some of them dangling or cyclic) under both base folders, and up to
// two planned faults. Every input is run once without faults, which also
// counts its calls, and once more with the faults placed among those calls.
// After each run the laws that hold for every machine are checked against a
// snapshot of the whole disk taken before and after.
//
// Input layout: every choice is one FuzzedDataProvider integer, read in the
// order of DecodeMachine; seed_fuzz_inputs.cpp writes the seeds in that order.
#include "app/report.h"
#include "app/resolve.h"
#include "fuzz_check.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/device_token.h"
#include "store/protected_identity.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace standin = van_tide::standin;
using van_tide::Path;

constexpr HRESULT kConflict = static_cast<HRESULT>(0x80070034U);
constexpr HRESULT kEnvironmentNotFound = static_cast<HRESULT>(0x800700CBU);
constexpr char kConflictLine[] = "conflicting legacy device identities";
constexpr char kFailureLine[] = "device identity owner rejected migration";

const std::string kTokenA = "van-tide-hud-0123456789abcdef0123456789ABCDEF";
const std::string kTokenACaseChanged = "van-tide-hud-0123456789abcdef0123456789aBCDEF";
const std::string kTokenB = "van-tide-hud-ffffffffffffffffFFFFFFFFFFFFFFFF";
constexpr wchar_t kOtherUser[] = L"S-1-5-21-2002";

// ---------------------------------------------------------------------------
// The pieces a machine is made of
// ---------------------------------------------------------------------------

// One value for APPDATA or LOCALAPPDATA. `folder` is where the value leads as
// the file system resolves it: things are planted there, and the snapshot
// names it so. Values that lead nowhere plant under `fallback`.
struct EnvironmentChoice {
  const wchar_t* value;  // null: unset
  const wchar_t* folder;
};

constexpr wchar_t kRoaming[] = L"C:\\Users\\me\\AppData\\Roaming";
constexpr wchar_t kLocal[] = L"C:\\Users\\me\\AppData\\Local";

constexpr EnvironmentChoice kEnvironment[] = {
    {kRoaming, kRoaming},
    {kLocal, kLocal},
    {L"C:\\Users\\me\\AppData\\Roaming\\", kRoaming},
    {L"C:/Users/me/AppData/Local", kLocal},
    {L"C:\\Profiles\\Other", L"C:\\Profiles\\Other"},
    {L"Users\\me\\AppData\\Roaming", kRoaming},  // relative
    {L"", nullptr},
    {nullptr, nullptr},
    {L"\\\\server\\share\\Roaming", L"\\\\server\\share\\Roaming"},
    {L"\\\\?\\C:\\Users\\me\\AppData\\Local", kLocal},
    {L"\\\\?\\UNC\\server\\share\\Local", L"\\\\server\\share\\Local"},
    {L"C:\\Users\\me\\AppData\\Temp\\..\\Roaming", kRoaming},
    // C:\Redirected is a link to C:\Users\me\AppData: the folder is real, the
    // way to it is not.
    {L"C:\\Redirected\\Roaming", L"C:\\Redirected\\Roaming"},
};
constexpr int kEnvironmentCount = static_cast<int>(std::size(kEnvironment));

// Values with a member Windows reads other than as written. Each goes with a
// link at the written or the read name (made when the value is chosen), so a
// run that asked about one name and opened through the other would meet it.
struct OddBaseFolder {
  EnvironmentChoice choice;
  const wchar_t* link;  // a folder link made with this literal path, or null
  const wchar_t* target;
};
constexpr OddBaseFolder kOddBaseFolders[] = {
    {{L"C:\\Users\\me \\AppData\\Roaming", kRoaming}, L"\\\\?\\C:\\Users\\me ", L"C:\\Outside"},
    {{L"C:\\Users\\me \\AppData\\Local", kLocal}, L"\\\\?\\C:\\Users\\me ", L"C:\\Users\\me"},
    {{L"C:\\Users\\me.\\AppData\\Roaming", kRoaming}, L"\\\\?\\C:\\Users\\me.", L"C:\\Outside"},
    {{L"C:\\Users\\CON\\AppData\\Local", kLocal}, L"\\\\?\\C:\\Users\\CON", L"C:\\Users\\me"},
    {{L"C:\\Users\\me\\AppData\\Roaming::$INDEX_ALLOCATION", kRoaming}, nullptr, nullptr},
    {{L"C:\\Users\\me\\AppData\\Local. ", kLocal}, nullptr, nullptr},
    {{L"C:\\Users\\me\\AppData\\nul.txt\\Roaming", kRoaming},
     L"\\\\?\\C:\\Users\\me\\AppData\\nul.txt",
     L"C:\\Users\\me\\AppData"},
    {{L"\\\\?\\C:\\Users\\me \\AppData\\Local", kLocal}, L"\\\\?\\C:\\Users\\me ", L"C:\\Users\\me"},
    {{L"\\\\server\\share\\Roaming:s", L"\\\\server\\share\\Roaming"}, nullptr, nullptr},
};
constexpr int kOddBaseFolderCount = static_cast<int>(std::size(kOddBaseFolders));

// Storage entry names Windows reads other than as written.
constexpr const wchar_t* kOddEntryNames[] = {L"a ",  L"a.",      L"a. .",  L"b..",
                                             L"CON", L"nul.txt", L"Com1 ", L"aux"};

// Legacy file texts; 0 is "no file" where a legacy file may be absent and a
// plain text where a file must have contents.
enum LegacyText : int {
  kNoText,
  kValidA,
  kValidACaseChanged,
  kValidB,
  kBadJson,
  kRepeatedMember,
  kVersionTwo,
  kTrailingNewline,
  kOversized,
  kEmptyFile,
  kLegacyTextCount
};

std::string LegacyFile(const std::string& token) {
  return "{\"version\":1,\"public_key\":\"" + token + "\"}";
}

const std::vector<std::string>& LegacyTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all(kLegacyTextCount);
    all[kNoText] = "not an identity";
    all[kValidA] = LegacyFile(kTokenA);
    all[kValidACaseChanged] = LegacyFile(kTokenACaseChanged);
    all[kValidB] = LegacyFile(kTokenB);
    all[kBadJson] = "{\"version\":1,\"public_key\":\"" + kTokenA + "\"";
    all[kRepeatedMember] = "{\"version\":1,\"public_key\":\"" + kTokenA + "\",\"version\":1}";
    all[kVersionTwo] = "{\"version\":2,\"public_key\":\"" + kTokenA + "\"}";
    all[kTrailingNewline] = LegacyFile(kTokenA + "\\n");
    // Well-formed, naming token A, one byte over the limit.
    all[kOversized] = LegacyFile(kTokenA);
    all[kOversized].resize(65537, ' ');
    all[kEmptyFile] = "";
    return all;
  }();
  return texts;
}

// The token a legacy file text names, for the texts that are valid.
std::string TokenOfLegacyText(const std::string& bytes) {
  const std::vector<std::string>& texts = LegacyTexts();
  if (bytes == texts[kValidA]) return kTokenA;
  if (bytes == texts[kValidACaseChanged]) return kTokenACaseChanged;
  if (bytes == texts[kValidB]) return kTokenB;
  return {};
}

// Store files, sealed once: the stand-in's blobs depend only on the user and
// the token.
struct SealedStores {
  std::string tokenA;
  std::string tokenB;
  std::string otherUser;
};

const SealedStores& Sealed() {
  static const SealedStores stores = [] {
    SealedStores made;
    standin::Reset();
    bool ok = van_tide::VantideSealIdentity(kTokenA, &made.tokenA) == 0;
    ok = van_tide::VantideSealIdentity(kTokenB, &made.tokenB) == 0 && ok;
    standin::SetCurrentUser(kOtherUser);
    ok = van_tide::VantideSealIdentity(kTokenA, &made.otherUser) == 0 && ok;
    standin::Reset();
    VANTIDE_FUZZ_CHECK(ok);
    return made;
  }();
  return stores;
}

enum VantideKind : int {
  kVantideFolder,
  kVantideAbsent,
  kVantideFile,
  kVantideLinkOut,
  kVantideDangling,
  kVantideFileLink,
  kVantideKindCount
};
enum StoreKind : int {
  kStoreAbsent,
  kStoreA,
  kStoreB,
  kStoreGarbled,
  kStoreOtherUser,
  kStoreEmpty,
  kStoreHeaderOnly,
  kStoreKindCount
};
enum TemporaryKind : int {
  kNoTemporary,
  kTemporaryJunk,
  kTemporaryStore,
  kTemporaryEmpty,
  kTemporaryKindCount
};
enum EntryKind : int { kEntryFolder, kEntryFile, kEntryLink, kEntryKindCount };
enum ItemKind : int { kItemFolder, kItemFile, kItemFolderLink, kItemFileLink, kItemKindCount };

constexpr const wchar_t* kEntryNames[] = {L"a", L"b", L"c", L"d"};
constexpr wchar_t kStorage[] = L"Adobe/UXP/PluginsStorage/PHSP";
constexpr wchar_t kPluginFolder[] = L"External/com.greywick.van-tide";

// Tree items go below one of these folders of a base folder ("" is the base
// itself) under one of these names.
constexpr const wchar_t* kParents[] = {
    L"",
    L"Vantide",
    L"Adobe",
    L"Adobe\\UXP",
    L"Adobe\\UXP\\PluginsStorage",
    L"Adobe/UXP/PluginsStorage/PHSP",
    L"Adobe/UXP/PluginsStorage/PHSP\\a",
    L"Adobe/UXP/PluginsStorage/PHSP\\a\\External",
    L"Adobe/UXP/PluginsStorage/PHSP\\a\\External/com.greywick.van-tide",
    L"Adobe/UXP/PluginsStorage/PHSP\\a\\External/com.greywick.van-tide\\PluginData",
};
constexpr const wchar_t* kLeaves[] = {
    L"Vantide",
    L"Adobe",
    L"UXP",
    L"PluginsStorage",
    L"PHSP",
    L"a",
    L"b",
    L"External",
    L"com.greywick.van-tide",
    L"PluginData",
    L"license-device.json",
    L"license-device.dat",
    L"license-device.dat.tmp",
    L"other",
};

// Where links lead. "<base>" and "<other>" stand for the item's base folder
// and the other one; the rest is outside both.
constexpr const wchar_t* kTargets[] = {
    L"<other>",
    L"<base>\\Adobe/UXP/PluginsStorage/PHSP",
    L"<base>\\Adobe",
    L"<base>",
    L"<base>\\Vantide\\license-device.dat",
    L"C:\\Outside\\PHSP",
    L"C:\\Outside\\Vantide",
    L"C:\\Outside\\Vantide\\license-device.dat",
    L"C:\\Outside\\PHSP\\x\\External\\com.greywick.van-tide\\license-device.json",
    L"C:\\Outside\\Gone",
    L"C:\\Missing\\Gone",
    L"\\\\server\\share\\Gone",
};

constexpr wchar_t kOutsideStore[] = L"C:\\Outside\\Vantide\\license-device.dat";
constexpr wchar_t kOutsideLegacy[] =
    L"C:\\Outside\\PHSP\\x\\External\\com.greywick.van-tide\\license-device.json";

// Planned faults: an error, or a short transfer (which fails afterwards when
// it has an error of its own).
struct FaultKind {
  DWORD error;
  DWORD shortBy;
  bool failAfterTransfer;
};
constexpr FaultKind kFaultKinds[] = {
    {ERROR_ACCESS_DENIED, 0, false},
    {ERROR_SHARING_VIOLATION, 0, false},
    {ERROR_FILE_NOT_FOUND, 0, false},
    {ERROR_PATH_NOT_FOUND, 0, false},
    {ERROR_DISK_FULL, 0, false},
    {ERROR_INVALID_DATA, 0, false},
    {ERROR_NOT_ENOUGH_MEMORY, 0, false},
    {12, 0, false},  // ENOMEM, for the environment lookup
    {ERROR_ALREADY_EXISTS, 0, false},
    {NTE_BAD_KEY_STATE, 0, false},
    {0, 0, false},
    {0, 1, false},
    {0, 0xFFFFFFFFU, false},
    {ERROR_DISK_FULL, 1, true},
};

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

struct LegacyEntry {
  bool local;
  int name;
  int kind;
  int pluginData;  // LegacyText, kNoText for none
  int dataFolder;
};

struct TreeItem {
  bool local;
  int parent;
  int leaf;
  int kind;
  int detail;  // the target of a link, the text of a file
};

struct PlannedFault {
  std::uint16_t position;
  int kind;
};

struct OddEntry {
  bool local;
  int name;
  int kind;  // EntryKind
  int text;  // LegacyText of the file in its plug-in data folder
};

struct Machine {
  int roaming = 0;
  int local = 0;
  // 0: none; 1 to kOddBaseFolderCount: APPDATA takes that value; above:
  // LOCALAPPDATA takes one.
  int oddBase = 0;
  std::vector<OddEntry> oddEntries;
  int vantide = 0;
  int store = 0;
  std::uint8_t flipAt = 0;
  std::uint8_t flipMask = 1;
  int temporary = 0;
  std::vector<LegacyEntry> entries;
  std::vector<TreeItem> items;
  std::vector<PlannedFault> faults;
};

int Pick(FuzzedDataProvider& input, int count) { return input.ConsumeIntegralInRange<int>(0, count - 1); }

Machine DecodeMachine(FuzzedDataProvider& input) {
  Machine machine;
  machine.roaming = Pick(input, kEnvironmentCount);
  // One more than the table: the same value as APPDATA.
  machine.local = Pick(input, kEnvironmentCount + 1);
  if (machine.local == kEnvironmentCount) machine.local = machine.roaming;
  machine.vantide = Pick(input, kVantideKindCount);
  machine.store = Pick(input, kStoreKindCount);
  machine.flipAt = input.ConsumeIntegral<std::uint8_t>();
  machine.flipMask = input.ConsumeIntegralInRange<std::uint8_t>(1, 255);
  machine.temporary = Pick(input, kTemporaryKindCount);

  const int entries = input.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < entries; ++i) {
    LegacyEntry entry{};
    entry.local = input.ConsumeBool();
    entry.name = Pick(input, static_cast<int>(std::size(kEntryNames)));
    entry.kind = Pick(input, kEntryKindCount);
    entry.pluginData = Pick(input, kLegacyTextCount);
    entry.dataFolder = Pick(input, kLegacyTextCount);
    machine.entries.push_back(entry);
  }
  const int items = input.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < items; ++i) {
    TreeItem item{};
    item.local = input.ConsumeBool();
    item.parent = Pick(input, static_cast<int>(std::size(kParents)));
    item.leaf = Pick(input, static_cast<int>(std::size(kLeaves)));
    item.kind = Pick(input, kItemKindCount);
    item.detail = Pick(input, static_cast<int>(std::size(kTargets)));
    machine.items.push_back(item);
  }
  const int faults = input.ConsumeIntegralInRange<int>(0, 2);
  for (int i = 0; i < faults; ++i) {
    PlannedFault fault{};
    fault.position = input.ConsumeIntegral<std::uint16_t>();
    fault.kind = Pick(input, static_cast<int>(std::size(kFaultKinds)));
    machine.faults.push_back(fault);
  }
  // Read last, so that an input that ends before them (every earlier seed)
  // decodes to the machine it always did.
  machine.oddBase = Pick(input, 1 + 2 * kOddBaseFolderCount);
  const int oddEntries = input.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < oddEntries; ++i) {
    OddEntry entry{};
    entry.local = input.ConsumeBool();
    entry.name = Pick(input, static_cast<int>(std::size(kOddEntryNames)));
    entry.kind = Pick(input, kEntryKindCount);
    entry.text = Pick(input, kLegacyTextCount);
    machine.oddEntries.push_back(entry);
  }
  return machine;
}

const OddBaseFolder* OddBaseOf(const Machine& machine, bool local) {
  if (machine.oddBase == 0) return nullptr;
  const int index = machine.oddBase - 1;
  const bool oddIsLocal = index >= kOddBaseFolderCount;
  if (oddIsLocal != local) return nullptr;
  return &kOddBaseFolders[index % kOddBaseFolderCount];
}

// What APPDATA (or LOCALAPPDATA) holds, and where it leads.
const EnvironmentChoice& ChoiceOf(const Machine& machine, bool local) {
  if (const OddBaseFolder* odd = OddBaseOf(machine, local)) return odd->choice;
  return kEnvironment[local ? machine.local : machine.roaming];
}

// ---------------------------------------------------------------------------
// Planting
// ---------------------------------------------------------------------------

// The folder things are planted in for one of the two variables.
std::wstring PlantFolder(const Machine& machine, bool local) {
  const EnvironmentChoice& choice = ChoiceOf(machine, local);
  if (choice.folder != nullptr) return choice.folder;
  return local ? kLocal : kRoaming;
}

std::wstring Under(const std::wstring& folder, std::wstring_view rest) {
  if (rest.empty()) return folder;
  return folder + L"\\" + std::wstring(rest);
}

// The same place as a literal path, which Windows hands to the file system as
// written ("\\server\\share" as "\\?\\UNC\\server\\share"); `path` has
// backslashes only.
std::wstring Literal(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\")) return path;
  if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

std::wstring Replace(std::wstring_view pattern, std::wstring_view marker, const std::wstring& with) {
  std::wstring text(pattern);
  if (const std::size_t at = text.find(marker); at != std::wstring::npos)
    text.replace(at, marker.size(), with);
  return text;
}

// A random tree meets paths the stand-in cannot place (a file where a folder
// is needed, a link above that leads nowhere): such an item is left out.
template <typename Plant>
void Try(Plant plant) {
  try {
    plant();
  } catch (const std::invalid_argument&) {
  }
}

std::string StoreBytes(const Machine& machine) {
  const SealedStores& sealed = Sealed();
  switch (machine.store) {
    case kStoreA:
      return sealed.tokenA;
    case kStoreB:
      return sealed.tokenB;
    case kStoreGarbled: {
      std::string bytes = sealed.tokenA;
      bytes[machine.flipAt % bytes.size()] =
          static_cast<char>(bytes[machine.flipAt % bytes.size()] ^ machine.flipMask);
      return bytes;
    }
    case kStoreOtherUser:
      return sealed.otherUser;
    case kStoreEmpty:
      return "";
    case kStoreHeaderOnly:
      return std::string(van_tide::kVantideStoreMagic);
    default:
      return "";
  }
}

void PlantLegacy(const std::wstring& file, int text) {
  if (text == kNoText) return;
  Try([&] { standin::AddFile(file, LegacyTexts()[static_cast<std::size_t>(text)]); });
}

// A storage entry that is a file, or a folder link leading outside; false for
// a folder entry, whose contents the caller plants.
bool PlantFileOrLinkEntry(const std::wstring& entry, int kind) {
  switch (kind) {
    case kEntryFile:
      Try([&] { standin::AddFile(entry, LegacyTexts()[kValidA]); });
      return true;
    case kEntryLink:
      Try([&] { standin::AddDirectoryLink(entry, L"C:\\Outside\\PHSP\\x"); });
      return true;
    default:
      return false;
  }
}

void PlantMachine(const Machine& machine) {
  standin::Reset();
  // Outside both base folders: a store folder with a valid store and a
  // storage folder with an identity of its own, for links to lead to.
  standin::AddFile(kOutsideStore, Sealed().tokenB);
  standin::AddFile(kOutsideLegacy, LegacyTexts()[kValidB]);
  standin::AddDirectoryLink(L"C:\\Redirected", L"C:\\Users\\me\\AppData");

  for (const bool local : {false, true}) {
    const EnvironmentChoice& choice = ChoiceOf(machine, local);
    const wchar_t* name = local ? L"LOCALAPPDATA" : L"APPDATA";
    const OddBaseFolder* odd = OddBaseOf(machine, local);
    if (odd != nullptr && odd->link != nullptr) {
      Try([&] {
        standin::AddDirectory(odd->target);
        standin::AddDirectoryLink(odd->link, odd->target);
      });
    }
    if (choice.value != nullptr) standin::SetEnvironmentVariable(name, choice.value);
    Try([&] { standin::AddDirectory(PlantFolder(machine, local)); });
  }

  const std::wstring roaming = PlantFolder(machine, false);
  const std::wstring vantide = Under(roaming, L"Vantide");
  const std::wstring store = Under(vantide, L"license-device.dat");
  switch (machine.vantide) {
    case kVantideFolder:
      Try([&] { standin::AddDirectory(vantide); });
      break;
    case kVantideFile:
      Try([&] { standin::AddFile(vantide, "not a folder"); });
      break;
    case kVantideLinkOut:
      Try([&] { standin::AddDirectoryLink(vantide, L"C:\\Outside\\Vantide"); });
      break;
    case kVantideDangling:
      Try([&] { standin::AddDirectoryLink(vantide, L"C:\\Outside\\Gone"); });
      break;
    case kVantideFileLink:
      Try([&] { standin::AddFileLink(vantide, kOutsideStore); });
      break;
    default:
      break;
  }
  if (machine.store != kStoreAbsent) Try([&] { standin::AddFile(store, StoreBytes(machine)); });
  switch (machine.temporary) {
    case kTemporaryJunk:
      Try([&] { standin::AddFile(store + L".tmp", "half"); });
      break;
    case kTemporaryStore:
      Try([&] { standin::AddFile(store + L".tmp", Sealed().tokenA); });
      break;
    case kTemporaryEmpty:
      Try([&] { standin::AddFile(store + L".tmp", ""); });
      break;
    default:
      break;
  }

  for (const LegacyEntry& entry : machine.entries) {
    const std::wstring folder =
        Under(Under(PlantFolder(machine, entry.local), kStorage), kEntryNames[entry.name]);
    if (PlantFileOrLinkEntry(folder, entry.kind)) continue;
    const std::wstring plugin = Under(folder, kPluginFolder);
    PlantLegacy(Under(plugin, L"PluginData/license-device.json"), entry.pluginData);
    PlantLegacy(Under(plugin, L"license-device.json"), entry.dataFolder);
  }

  // Odd names can only be made with literal paths, where only a backslash
  // separates.
  for (const OddEntry& entry : machine.oddEntries) {
    const std::wstring folder = Literal(PlantFolder(machine, entry.local) +
                                        L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\" + kOddEntryNames[entry.name]);
    if (PlantFileOrLinkEntry(folder, entry.kind)) continue;
    PlantLegacy(folder + L"\\External\\com.greywick.van-tide\\PluginData\\license-device.json", entry.text);
    Try([&] { standin::AddDirectory(folder); });
  }

  for (const TreeItem& item : machine.items) {
    const std::wstring base = PlantFolder(machine, item.local);
    const std::wstring path = Under(Under(base, kParents[item.parent]), kLeaves[item.leaf]);
    const std::wstring target = Replace(Replace(kTargets[item.detail], L"<base>", base), L"<other>",
                                        PlantFolder(machine, !item.local));
    switch (item.kind) {
      case kItemFolder:
        Try([&] { standin::AddDirectory(path); });
        break;
      case kItemFile:
        Try([&] {
          standin::AddFile(path, LegacyTexts()[static_cast<std::size_t>(item.detail % kLegacyTextCount)]);
        });
        break;
      case kItemFolderLink:
        Try([&] { standin::AddDirectoryLink(path, target); });
        break;
      case kItemFileLink:
        Try([&] { standin::AddFileLink(path, target); });
        break;
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// The disk, whole
// ---------------------------------------------------------------------------

enum class Kind : char { kFolder = 'd', kFile = 'f', kFolderLink = 'l', kFileLink = 'k', kUnknown = '?' };

struct Item {
  Kind kind;
  std::string bytes;
  bool operator==(const Item&) const = default;
};

// Keyed by the upper-cased path: the stand-in compares names without regard
// to ASCII case, and so does every lookup below.
using Snapshot = std::map<std::wstring, Item>;

std::wstring Upper(std::wstring_view text) {
  std::wstring upper(text);
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return upper;
}

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The link tree has cycles, and ListNames follows a link it is given, so
// links are recorded as links and never entered; the attribute query tells
// them (its calls go to a record nobody reads). The depth cap is a second
// guard that a correct walk never meets.
constexpr int kMaxSnapshotDepth = 40;

void SnapshotInto(const std::wstring& folder, int depth, Snapshot* snapshot) {
  if (depth > kMaxSnapshotDepth) return;
  for (const std::wstring& name : standin::ListNames(Literal(folder))) {
    const std::wstring path = folder + L"\\" + name;
    // Asked literally, so that a name Windows would rewrite ("a ", "CON") is
    // seen as what it is.
    const std::wstring literal = Literal(path);
    const DWORD attributes = GetFileAttributesW(literal.c_str());
    Item item{Kind::kUnknown, {}};
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      item.kind = Kind::kUnknown;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      item.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolderLink : Kind::kFileLink;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      item.kind = Kind::kFolder;
    } else {
      item.kind = Kind::kFile;
      item.bytes = standin::FileContents(literal);
    }
    (*snapshot)[Upper(path)] = item;
    if (item.kind == Kind::kFolder) SnapshotInto(path, depth + 1, snapshot);
  }
}

Snapshot SnapshotDisk() {
  Snapshot snapshot;
  for (const wchar_t* root : {L"C:", L"\\\\server\\share"}) SnapshotInto(root, 0, &snapshot);
  return snapshot;
}

// Valid tokens of the legacy files that lie, without a link on the way, under
// the two folders the variables lead to: everything a scan could ever find.
std::set<std::string> LegacyTokensUnderBases(const Snapshot& snapshot, const Machine& machine) {
  std::set<std::string> tokens;
  for (const bool local : {false, true}) {
    const EnvironmentChoice& choice = ChoiceOf(machine, local);
    if (choice.folder == nullptr) continue;
    const std::wstring prefix = Upper(choice.folder) + L"\\";
    for (auto it = snapshot.lower_bound(prefix); it != snapshot.end() && it->first.starts_with(prefix);
         ++it) {
      if (it->second.kind != Kind::kFile) continue;
      if (const std::string token = TokenOfLegacyText(it->second.bytes); !token.empty()) tokens.insert(token);
    }
  }
  return tokens;
}

// ---------------------------------------------------------------------------
// One run and its laws
// ---------------------------------------------------------------------------

std::string ExpectedReportLine(HRESULT status) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(static_cast<std::uint32_t>(status)));
  return std::string(status == kConflict ? kConflictLine : kFailureLine) + " (HRESULT=0x" + digits + ")\n";
}

// The store path spelled from APPDATA as it stands; empty when APPDATA gives
// no folder to put one in.
Path StorePath(const Machine& machine) {
  const wchar_t* value = ChoiceOf(machine, false).value;
  if (value == nullptr || *value == L'\0') return {};
  Path path = value;
  if (path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
  return path + L"Vantide\\license-device.dat";
}

// Where the store lies on the disk when no link is on its way, as the
// snapshot names it.
std::wstring StoreKey(const Machine& machine) {
  const wchar_t* folder = ChoiceOf(machine, false).folder;
  return folder == nullptr ? std::wstring() : Upper(folder) + L"\\VANTIDE\\LICENSE-DEVICE.DAT";
}

struct StoreState {
  bool exists = false;
  std::string bytes;
  HRESULT readStatus = 0;
  std::string token;
};

StoreState ReadStore(const Path& storePath) {
  StoreState state;
  if (storePath.empty() || !standin::Exists(storePath)) return state;
  state.exists = true;
  state.bytes = standin::FileContents(storePath);
  bool missing = false;
  van_tide::VantideFolder folder;
  const std::size_t cut = storePath.find_last_of(L"\\/");
  state.readStatus = van_tide::VantideOpenFolderPath(storePath.substr(0, cut), &folder, &missing);
  if (state.readStatus >= 0) {
    state.readStatus =
        van_tide::VantideReadProtectedIdentity(folder, storePath.substr(cut + 1), &state.token, &missing);
  }
  return state;
}

// Runs the machine with the given faults placed by position; answers the
// number of calls the run made.
std::size_t RunAndCheck(const Machine& machine,
                        const std::vector<std::pair<std::size_t, FaultKind>>& faults) {
  PlantMachine(machine);
  const Snapshot before = SnapshotDisk();
  const Path storePath = StorePath(machine);
  const StoreState storeBefore = ReadStore(storePath);
  const std::set<std::string> legacyTokens = LegacyTokensUnderBases(before, machine);

  // A fresh process: no record, nothing held, the last error 0.
  standin::Restart();
  for (const auto& [position, kind] : faults) {
    standin::InjectFaultAtCall(position, standin::Fault{.error = kind.error,
                                                        .shortBy = kind.shortBy,
                                                        .failAfterTransfer = kind.failAfterTransfer});
  }
  const van_tide::DeviceIdentityResult result = van_tide::VantideResolveDeviceIdentity();
  const HRESULT status = result.status;

  VANTIDE_FUZZ_CHECK_STATUS(standin::OpenHandleCount() == 0, status);
  VANTIDE_FUZZ_CHECK_STATUS(standin::OutstandingLocalBuffers() == 0, status);
  VANTIDE_FUZZ_CHECK_STATUS(standin::OutstandingEnvCopies() == 0, status);
  VANTIDE_FUZZ_CHECK_STATUS(standin::InvalidHandleCloses() == 0, status);

  const std::vector<standin::Call>& calls = standin::Calls();
  const std::size_t callCount = calls.size();
  bool anyFaultFired = false;
  bool deleteFaulted = false;
  for (const auto& [position, kind] : faults) {
    if (position >= callCount) continue;
    anyFaultFired = true;
    // The temporary file goes by its handle: only a failed removal leaves it.
    if (calls[position].api == standin::Api::NtSetInformationFile &&
        calls[position].args.at(0) == FileDispositionInformation) {
      deleteFaulted = true;
    }
  }

  // The status and the line that reports it.
  VANTIDE_FUZZ_CHECK_STATUS(status == 0 || status == 1 || status < 0, status);
  if (status < 0) {
    const std::string line = van_tide::VantideReportLine(status);
    VANTIDE_FUZZ_CHECK_STATUS(line == ExpectedReportLine(status), status);
    VANTIDE_FUZZ_CHECK_STATUS(std::string_view(line).starts_with(kConflictLine) == (status == kConflict),
                              status);
  }
  if (status != 0) VANTIDE_FUZZ_CHECK_STATUS(result.token.empty(), status);
  // A base folder with a member Windows reads other than as written is never
  // used through a link, whatever stands at either name: refused as a value,
  // or (where every reader takes the name alike) refused where the walk
  // meets the link.
  if (OddBaseOf(machine, false) != nullptr && !anyFaultFired) {
    VANTIDE_FUZZ_CHECK_STATUS(status == kEnvironmentNotFound || status == van_tide::kStatusCantAccessFile,
                              status);
  }
  if (OddBaseOf(machine, true) != nullptr && status == 0) {
    VANTIDE_FUZZ_CHECK_STATUS(storeBefore.exists, status);
  }
  // A migration that succeeded without faults scanned both storage folders
  // whole, so it met every folder or link listed there: a folder with an odd
  // name is scanned like any other, as written, but a link is refused. (A
  // fault may make a folder above them read as missing.)
  if (status == 0 && !storeBefore.exists && !anyFaultFired) {
    for (const OddEntry& entry : machine.oddEntries) {
      const auto found =
          before.find(Upper(PlantFolder(machine, entry.local) + L"\\ADOBE\\UXP\\PLUGINSSTORAGE\\PHSP\\" +
                            kOddEntryNames[entry.name]));
      if (found == before.end()) continue;
      VANTIDE_FUZZ_CHECK_STATUS(found->second.kind != Kind::kFolderLink, status);
    }
  }
  // A conflict needs two different identities where a scan can see them.
  if (status == kConflict) VANTIDE_FUZZ_CHECK_STATUS(legacyTokens.size() >= 2, status);

  standin::Restart();
  const Snapshot after = SnapshotDisk();
  const StoreState storeAfter = ReadStore(storePath);

  // Nothing that was there before changes or goes: no store, no legacy file,
  // no folder, no link.
  for (const auto& [path, item] : before) {
    const auto found = after.find(path);
    VANTIDE_FUZZ_CHECK_STATUS(found != after.end(), status);
    VANTIDE_FUZZ_CHECK_STATUS(found->second == item, status);
  }
  if (storeBefore.exists) {
    VANTIDE_FUZZ_CHECK_STATUS(storeAfter.exists, status);
    VANTIDE_FUZZ_CHECK_STATUS(storeAfter.bytes == storeBefore.bytes, status);
  }

  // What is new: folders, the store and, only where a fault stopped its
  // removal, a temporary file.
  std::vector<std::wstring> newFiles;
  for (const auto& [path, item] : after) {
    if (before.count(path) != 0) continue;
    VANTIDE_FUZZ_CHECK_STATUS(item.kind == Kind::kFolder || item.kind == Kind::kFile, status);
    if (item.kind == Kind::kFile) newFiles.push_back(path);
    if (EndsWith(path, L".TMP")) VANTIDE_FUZZ_CHECK_STATUS(deleteFaulted && status < 0, status);
    // Without faults the only folders made are those on the way to the store.
    if (item.kind == Kind::kFolder && !anyFaultFired) {
      const std::wstring storeKey = StoreKey(machine);
      VANTIDE_FUZZ_CHECK_STATUS(storeKey.starts_with(path + L"\\"), status);
    }
  }

  if (status == 1) VANTIDE_FUZZ_CHECK_STATUS(after == before, status);
  if (status < 0) {
    // Failure writes no store.
    if (!storeBefore.exists) VANTIDE_FUZZ_CHECK_STATUS(!storeAfter.exists, status);
    for (const std::wstring& path : newFiles) VANTIDE_FUZZ_CHECK_STATUS(EndsWith(path, L".TMP"), status);
  }
  if (status == 0) {
    VANTIDE_FUZZ_CHECK_STATUS(van_tide::VantideIsDeviceToken(result.token), status);
    VANTIDE_FUZZ_CHECK_STATUS(storeAfter.exists, status);
    VANTIDE_FUZZ_CHECK_STATUS(storeAfter.readStatus == 0, status);
    VANTIDE_FUZZ_CHECK_STATUS(storeAfter.token == result.token, status);
    if (storeBefore.exists) {
      // The identity came from the store that was there, and nothing moved.
      VANTIDE_FUZZ_CHECK_STATUS(storeBefore.readStatus == 0 && storeBefore.token == result.token, status);
      VANTIDE_FUZZ_CHECK_STATUS(after == before, status);
    } else {
      // Taken over, never made up, and written as the one new file.
      VANTIDE_FUZZ_CHECK_STATUS(legacyTokens.count(result.token) == 1, status);
      VANTIDE_FUZZ_CHECK_STATUS(newFiles.size() == 1, status);
      VANTIDE_FUZZ_CHECK_STATUS(EndsWith(newFiles[0], L"\\LICENSE-DEVICE.DAT"), status);
      VANTIDE_FUZZ_CHECK_STATUS(after.at(newFiles[0]).bytes == storeAfter.bytes, status);
    }
    // Without faults, the store that answers lies at its own place with no
    // link on the way (a link is never listed into the snapshot).
    if (!anyFaultFired) {
      const auto found = after.find(StoreKey(machine));
      VANTIDE_FUZZ_CHECK_STATUS(found != after.end() && found->second.kind == Kind::kFile, status);
    }
  }
  return callCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Sealed();
  FuzzedDataProvider input(data, size);
  const Machine machine = DecodeMachine(input);

  const std::size_t calls = RunAndCheck(machine, {});
  if (machine.faults.empty() || calls == 0) return 0;
  // Positions among the calls of the run without faults, so that every
  // planned fault lands on a call the run makes (the second one may be
  // passed by when the first changes the way).
  std::vector<std::pair<std::size_t, FaultKind>> faults;
  for (const PlannedFault& fault : machine.faults) {
    faults.emplace_back(fault.position % calls, kFaultKinds[fault.kind]);
  }
  RunAndCheck(machine, faults);
  return 0;
}
