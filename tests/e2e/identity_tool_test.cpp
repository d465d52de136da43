// The built executable, run as its own process against a scratch profile: exit
// status, the exact bytes on standard output and standard error, and every
// file and folder of the profile before and after.
#include "e2e/tool_process.h"
#include "store/protected_identity.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide::testing {
namespace {

constexpr std::string_view kToken = "van-tide-hud-0123456789abcdefABCDEF0123456789";
constexpr std::string_view kOtherToken = "van-tide-hud-ffffffffffffffffffffffffffffffff";
// kToken with one hex digit in the other case: the same identity to a reader
// who ignores case, a different one byte for byte.
constexpr std::string_view kTokenOtherCase = "van-tide-hud-0123456789abcdefABCDEf0123456789";

constexpr std::string_view kNoBaseFolderLine =
    "device identity owner rejected migration (HRESULT=0x800700cb)\n";
constexpr std::string_view kInvalidDataLine =
    "device identity owner rejected migration (HRESULT=0x8007000d)\n";
constexpr std::string_view kRedirectedLine =
    "device identity owner rejected migration (HRESULT=0x80070780)\n";
constexpr std::string_view kNotAFolderLine =
    "device identity owner rejected migration (HRESULT=0x8007010b)\n";
constexpr std::string_view kTooLargeLine = "device identity owner rejected migration (HRESULT=0x800700df)\n";
constexpr std::string_view kFileExistsLine =
    "device identity owner rejected migration (HRESULT=0x80070050)\n";
constexpr std::string_view kConflictLine = "conflicting legacy device identities (HRESULT=0x80070034)\n";

constexpr std::wstring_view kStoreFolder = L"Roaming\\Vantide";
constexpr std::wstring_view kStore = L"Roaming\\Vantide\\license-device.dat";
constexpr std::wstring_view kStoreTemporary = L"Roaming\\Vantide\\license-device.dat.tmp";

// The host's plug-in storage under a base folder, and a file below the
// plug-in's own folder in one entry of it.
std::wstring PluginStorage(std::wstring_view base) {
  return std::wstring(base) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\";
}
std::wstring PluginFile(std::wstring_view base, std::wstring_view entry, std::wstring_view rest) {
  return PluginStorage(base) + std::wstring(entry) + L"\\External\\com.greywick.van-tide\\" +
         std::wstring(rest);
}

// The two places of a legacy file under each base folder, in entry 25, and
// one place in a later entry.
const std::wstring kRoamingPluginData = PluginFile(L"Roaming", L"25", L"PluginData\\license-device.json");
const std::wstring kRoamingEntry = PluginFile(L"Roaming", L"25", L"license-device.json");
const std::wstring kLocalPluginData = PluginFile(L"Local", L"25", L"PluginData\\license-device.json");
const std::wstring kLocalEntry = PluginFile(L"Local", L"25", L"license-device.json");
const std::wstring kRoamingLaterEntry = PluginFile(L"Roaming", L"31", L"license-device.json");

std::string Seal(std::string_view plaintext) {
  std::string bytes;
  const HRESULT status = VantideSealIdentity(std::string(plaintext), &bytes);
  EXPECT_EQ(status, 0) << "sealing failed";
  return bytes;
}

std::string LegacyFile(std::string_view token) {
  return "{\"version\": 1, \"public_key\": \"" + std::string(token) + "\"}";
}

std::string Describe(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::ostringstream out;
  auto name = [](const std::wstring& path) { return std::string(path.begin(), path.end()); };
  for (const auto& [path, what] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      out << "  removed: " << name(path) << "\n";
    } else if (found->second != what) {
      out << "  changed: " << name(path) << "\n";
    }
  }
  for (const auto& [path, what] : after) {
    if (!before.contains(path)) out << "  created: " << name(path) << "\n";
  }
  return out.str();
}

// The store at `relative` unseals, through the real data-protection service,
// to exactly `token`.
void ExpectStoreHolds(const TestTree& profile, std::wstring_view relative, std::string_view token) {
  std::string found;
  bool missing = false;
  const FileInFolder store = OpenFolderOf(profile.PathOf(relative));
  const HRESULT status = VantideReadProtectedIdentity(store.folder, store.name, &found, &missing);
  EXPECT_FALSE(missing) << "no store";
  EXPECT_EQ(status, 0) << "the store does not unseal to a device identity";
  EXPECT_EQ(found, token);
}

// `after` is `before` with the folders named and the store created, and
// nothing else: no temporary file, no change to a legacy file.
void ExpectOnlyStoreCreated(const TreeSnapshot& before, const TreeSnapshot& after,
                            const std::vector<std::wstring>& createdFolders, const std::wstring& store) {
  const auto created = after.find(store);
  ASSERT_NE(created, after.end()) << "no store was created:\n" << Describe(before, after);
  EXPECT_TRUE(created->second.starts_with("file:VANTIDE-DPAPI-1\n")) << "the store is no file with the magic";
  TreeSnapshot expected = before;
  for (const std::wstring& folder : createdFolders) expected[folder] = "folder";
  expected[store] = created->second;
  EXPECT_TRUE(after == expected) << "the run changed more than the new store:\n" << Describe(expected, after);
}

void DeleteFromProfile(const TestTree& profile, std::wstring_view relative) {
  ASSERT_TRUE(DeleteFileW(profile.PathOf(relative).c_str())) << "cannot delete, error " << GetLastError();
}

// Passes the tool an application-data folder written as the case says: absent,
// or a text that may or may not be a path into the profile.
struct Folder {
  enum class Kind { kUnset, kLiteral, kInProfile } kind;
  std::wstring text;
};
Folder Unset() { return {Folder::Kind::kUnset, {}}; }
Folder Literal(std::wstring text) { return {Folder::Kind::kLiteral, std::move(text)}; }
Folder InProfile(std::wstring relative) { return {Folder::Kind::kInProfile, std::move(relative)}; }

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& tested) {
  return tested.param.name;
}

class IdentityToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(profile_.Root().empty());
    ASSERT_FALSE(capture_.Root().empty());
    profile_.MakeDirectory(L"Roaming");
    profile_.MakeDirectory(L"Local");
    profile_.MakeDirectory(L"cwd");
  }

  std::optional<std::wstring> Resolve(const Folder& folder) const {
    switch (folder.kind) {
      case Folder::Kind::kUnset:
        return std::nullopt;
      case Folder::Kind::kLiteral:
        return folder.text;
      case Folder::Kind::kInProfile:
        return profile_.PathOf(folder.text);
    }
    return std::nullopt;
  }

  // Legacy identities that name another token: a store that exists must win
  // without looking at them, and a failure must not fall back on them.
  void PlantLegacyIdentities() {
    profile_.WriteFile(
        L"Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\24\\External\\com.greywick.van-tide\\PluginData\\license-device.json",
        LegacyFile(kOtherToken));
    profile_.WriteFile(
        L"Local\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\com.greywick.van-tide\\license-device.json",
        LegacyFile(kOtherToken));
  }

  // What the plug-in storage holds besides the plug-in's identity: an entry
  // with the plug-in's folders but no file, and another plug-in's identity
  // file under another name. Neither counts, so neither may change the outcome.
  void PlantUnrelatedPluginStorage() {
    for (const wchar_t* base : {L"Roaming", L"Local"}) {
      const std::wstring storage = std::wstring(base) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\";
      profile_.MakeDirectory(storage + L"24\\External\\com.greywick.van-tide\\PluginData");
      profile_.WriteFile(storage + L"27\\External\\com.greywick.other\\PluginData\\license-device.json",
                         LegacyFile(kOtherToken));
    }
  }

  // Runs the tool once with the working folder inside the profile, so that a
  // relative path that it wrongly used would land where the snapshot sees it.
  ToolOutcome Run(const Folder& appData, const Folder& localAppData, const std::wstring& arguments = L"") {
    const ToolOutcome outcome =
        VantideRunTool({{L"APPDATA", Resolve(appData)}, {L"LOCALAPPDATA", Resolve(localAppData)}}, arguments,
                       profile_.PathOf(L"cwd"), capture_.Root());
    EXPECT_TRUE(outcome.finished) << "the tool did not finish in time";
    EXPECT_EQ(outcome.standardOutput, "") << "standard output is never written";
    return outcome;
  }

  ToolOutcome RunLeavingProfileUnchanged(const Folder& appData, const Folder& localAppData,
                                         const std::wstring& arguments = L"") {
    const TreeSnapshot before = VantideSnapshotTree(profile_.Root());
    const ToolOutcome outcome = Run(appData, localAppData, arguments);
    const TreeSnapshot after = VantideSnapshotTree(profile_.Root());
    EXPECT_TRUE(before == after) << "the profile changed:\n" << Describe(before, after);
    return outcome;
  }

  // Runs the tool once and expects a migration: silent success, the store
  // created in `storeFolder` (with the missing folders named) holding kToken,
  // and nothing else changed.
  void ExpectMigration(const Folder& appData, const Folder& localAppData, const std::wstring& storeFolder,
                       const std::vector<std::wstring>& createdFolders) {
    const TreeSnapshot before = VantideSnapshotTree(profile_.Root());
    const ToolOutcome outcome = Run(appData, localAppData);
    const TreeSnapshot after = VantideSnapshotTree(profile_.Root());
    ExpectSilentSuccess(outcome);
    const std::wstring store = storeFolder + L"\\license-device.dat";
    ExpectOnlyStoreCreated(before, after, createdFolders, store);
    ExpectStoreHolds(profile_, store, kToken);
  }

  static void ExpectFailure(const ToolOutcome& outcome, std::string_view line) {
    EXPECT_EQ(outcome.exitCode, 3u);
    EXPECT_EQ(outcome.standardError, line);
  }

  static void ExpectSilentSuccess(const ToolOutcome& outcome) {
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.standardError, "");
  }

  // A failure of the data-protection service: its code is the platform's, so
  // only the form is fixed (eight lower-case digits, top bit set).
  static void ExpectServiceFailure(const ToolOutcome& outcome) {
    EXPECT_EQ(outcome.exitCode, 3u);
    static const std::regex line(
        "device identity owner rejected migration \\(HRESULT=0x[89a-f][0-9a-f]{7}\\)\n");
    EXPECT_TRUE(std::regex_match(outcome.standardError, line)) << outcome.standardError;
  }

  TestTree profile_;
  TestTree capture_;
};

// --- The roaming folder is unavailable -------------------------------------

struct NoBaseFolderCase {
  const char* name;
  Folder appData;
  Folder localAppData;
};
void PrintTo(const NoBaseFolderCase& tested, std::ostream* out) { *out << tested.name; }

class NoBaseFolderTest : public IdentityToolTest, public ::testing::WithParamInterface<NoBaseFolderCase> {};

TEST_P(NoBaseFolderTest, ReportsTheMissingVariableAndTouchesNothing) {
  // Valid stores where a relative APPDATA would lead if it were taken relative
  // to the working folder: using one would end in success instead of the report.
  const std::string store = Seal(kToken);
  profile_.WriteFile(L"cwd\\Users\\me\\Vantide\\license-device.dat", store);
  profile_.WriteFile(L"cwd\\Users\\Vantide\\license-device.dat", store);
  PlantLegacyIdentities();

  ExpectFailure(RunLeavingProfileUnchanged(GetParam().appData, GetParam().localAppData), kNoBaseFolderLine);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, NoBaseFolderTest,
    ::testing::Values(NoBaseFolderCase{"Unset", Unset(), InProfile(L"Local")},
                      NoBaseFolderCase{"UnsetWithoutLocalAppData", Unset(), Unset()},
                      NoBaseFolderCase{"Empty", Literal(L""), InProfile(L"Local")},
                      NoBaseFolderCase{"Relative", Literal(L"Users\\me"), InProfile(L"Local")},
                      NoBaseFolderCase{"DriveRelative", Literal(L"C:Users"), InProfile(L"Local")},
                      NoBaseFolderCase{"RootedWithoutDrive", Literal(L"\\Users"), InProfile(L"Local")},
                      NoBaseFolderCase{"DriveAlone", Literal(L"C:"), Unset()}),
    CaseName<NoBaseFolderCase>);

// --- A valid store -----------------------------------------------------------

struct ValidStoreCase {
  const char* name;
  // How APPDATA spells the roaming folder: as is, with a trailing separator,
  // or with slashes.
  enum class Spelling { kPlain, kTrailingSeparator, kSlashes } spelling;
  bool localAppDataSet;
};
void PrintTo(const ValidStoreCase& tested, std::ostream* out) { *out << tested.name; }

class ValidStoreTest : public IdentityToolTest, public ::testing::WithParamInterface<ValidStoreCase> {};

TEST_P(ValidStoreTest, SucceedsSilentlyAndLeavesEverythingAsItWas) {
  profile_.WriteFile(kStore, Seal(kToken));
  PlantLegacyIdentities();

  std::wstring roaming = profile_.PathOf(L"Roaming");
  switch (GetParam().spelling) {
    case ValidStoreCase::Spelling::kPlain:
      break;
    case ValidStoreCase::Spelling::kTrailingSeparator:
      roaming += L'\\';
      break;
    case ValidStoreCase::Spelling::kSlashes:
      for (wchar_t& c : roaming) c = c == L'\\' ? L'/' : c;
      roaming += L'/';
      break;
  }
  ExpectSilentSuccess(RunLeavingProfileUnchanged(Literal(roaming),
                                                 GetParam().localAppDataSet ? InProfile(L"Local") : Unset()));
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ValidStoreTest,
    ::testing::Values(ValidStoreCase{"Plain", ValidStoreCase::Spelling::kPlain, true},
                      ValidStoreCase{"WithoutLocalAppData", ValidStoreCase::Spelling::kPlain, false},
                      ValidStoreCase{"TrailingSeparator", ValidStoreCase::Spelling::kTrailingSeparator, true},
                      ValidStoreCase{"Slashes", ValidStoreCase::Spelling::kSlashes, true}),
    CaseName<ValidStoreCase>);

// APPDATA written with a folder's 8.3 short name, as Windows itself may spell
// a profile (C:\Users\JOHNSM~1\AppData\Roaming): the folder is no link, so
// its store is read. The short name is whatever the volume gave the folder,
// read back from its directory entry; a volume that makes none has nothing
// to try.
TEST_F(IdentityToolTest, TakesAppDataWrittenWithTheShortNameOfALongNamedFolder) {
  profile_.WriteFile(L"Roaming profile folder\\Vantide\\license-device.dat", Seal(kToken));
  PlantLegacyIdentities();
  WIN32_FIND_DATAW entry{};
  const HANDLE find = FindFirstFileW(profile_.PathOf(L"Roaming profile folder").c_str(), &entry);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::wstring shortName = entry.cAlternateFileName;
  if (shortName.empty()) GTEST_SKIP() << "this volume makes no short names";
  ASSERT_NE(shortName, L"Roaming profile folder");
  ExpectSilentSuccess(RunLeavingProfileUnchanged(InProfile(shortName), InProfile(L"Local")));
}

// --- A damaged store -------------------------------------------------------

std::string MagicText() { return std::string(kVantideStoreMagic); }
std::string Blob() { return Seal(kToken).substr(kVantideStoreMagic.size()); }

struct DamagedStoreCase {
  const char* name;
  std::function<std::string()> contents;
  // The exact line, or empty for a failure reported by the data-protection
  // service, whose code belongs to the platform.
  std::string_view line;
};
void PrintTo(const DamagedStoreCase& tested, std::ostream* out) { *out << tested.name; }

class DamagedStoreTest : public IdentityToolTest, public ::testing::WithParamInterface<DamagedStoreCase> {};

TEST_P(DamagedStoreTest, ReportsItAndNeverReplacesItNorFallsBackOnLegacyFiles) {
  profile_.WriteFile(kStore, GetParam().contents());
  PlantLegacyIdentities();

  const ToolOutcome outcome = RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local"));
  if (GetParam().line.empty()) {
    ExpectServiceFailure(outcome);
  } else {
    ExpectFailure(outcome, GetParam().line);
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2e, DamagedStoreTest,
    ::testing::Values(
        DamagedStoreCase{"Empty", [] { return std::string(); }, kInvalidDataLine},
        DamagedStoreCase{"ShorterThanMagic", [] { return MagicText().substr(0, 15); }, kInvalidDataLine},
        DamagedStoreCase{"MagicOnly", &MagicText, kInvalidDataLine},
        DamagedStoreCase{"MagicWithCarriageReturn", [] { return "VANTIDE-DPAPI-1\r\n" + Blob(); },
                         kInvalidDataLine},
        DamagedStoreCase{"LowerCaseMagic", [] { return "vantide-dpapi-1\n" + Blob(); }, kInvalidDataLine},
        DamagedStoreCase{"SealedTokenWithLineFeed", [] { return Seal(std::string(kToken) + "\n"); },
                         kInvalidDataLine},
        DamagedStoreCase{"SealedNonToken", [] { return Seal("not a device identity"); }, kInvalidDataLine},
        DamagedStoreCase{
            "GarbageBlob", [] { return MagicText() + "this is not a data-protection blob"; }, {}},
        DamagedStoreCase{"TamperedBlob",
                         [] {
                           std::string store = Seal(kToken);
                           store[store.size() - 8] = static_cast<char>(store[store.size() - 8] ^ 0x5A);
                           return store;
                         },
                         {}},
        DamagedStoreCase{"OneByteOverTheLimit", [] { return MagicText() + std::string(65536 - 16 + 1, 'x'); },
                         kTooLargeLine}),
    CaseName<DamagedStoreCase>);

TEST_F(IdentityToolTest, StoreAtTheSizeLimitIsReadAndUnsealed) {
  // 65,536 bytes is still read; the garbage then fails in the service, not in
  // the size check.
  profile_.WriteFile(kStore, MagicText() + std::string(65536 - 16, 'x'));
  const ToolOutcome outcome = RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local"));
  ExpectServiceFailure(outcome);
  EXPECT_NE(outcome.standardError, kTooLargeLine);
}

TEST_F(IdentityToolTest, StoreThatIsAFolderIsReportedNotTreatedAsMissing) {
  profile_.MakeDirectory(kStore);
  ExpectServiceFailure(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")));
}

// --- Redirected or wrong-kind folders above the store ------------------------

struct LinkCase {
  const char* name;
  const wchar_t* appData;  // relative to the profile
  const wchar_t* link;
  const wchar_t* target;
  const wchar_t* storeBehindLink;  // where the valid store really lies
};
void PrintTo(const LinkCase& tested, std::ostream* out) { *out << tested.name; }

class RedirectedChainTest : public IdentityToolTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(RedirectedChainTest, RefusesEvenAValidStoreBehindTheLink) {
  profile_.WriteFile(GetParam().storeBehindLink, Seal(kToken));
  if (!profile_.MakeDirectoryLink(GetParam().link, GetParam().target)) {
    GTEST_SKIP() << "this machine cannot make directory links";
  }
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")),
                kRedirectedLine);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, RedirectedChainTest,
    ::testing::Values(LinkCase{"StoreFolder", L"Roaming", L"Roaming\\Vantide", L"Elsewhere\\Vantide",
                               L"Elsewhere\\Vantide\\license-device.dat"},
                      LinkCase{"RoamingFolder", L"LinkedRoaming", L"LinkedRoaming", L"Roaming",
                               L"Roaming\\Vantide\\license-device.dat"},
                      LinkCase{"FolderAboveRoaming", L"LinkedUser\\Roaming", L"LinkedUser", L"User",
                               L"User\\Roaming\\Vantide\\license-device.dat"}),
    CaseName<LinkCase>);

struct NotAFolderCase {
  const char* name;
  const wchar_t* appData;
  const wchar_t* file;
};
void PrintTo(const NotAFolderCase& tested, std::ostream* out) { *out << tested.name; }

class NotAFolderTest : public IdentityToolTest, public ::testing::WithParamInterface<NotAFolderCase> {};

TEST_P(NotAFolderTest, RefusesAFileWhereAFolderBelongs) {
  profile_.WriteFile(GetParam().file, Seal(kToken));
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")),
                kNotAFolderLine);
}

INSTANTIATE_TEST_SUITE_P(E2e, NotAFolderTest,
                         ::testing::Values(NotAFolderCase{"StoreFolder", L"Roaming", L"Roaming\\Vantide"},
                                           NotAFolderCase{"RoamingFolder", L"RoamingFile", L"RoamingFile"}),
                         CaseName<NotAFolderCase>);

// --- No store ----------------------------------------------------------------

struct NoStoreCase {
  const char* name;
  const wchar_t* appData;
  const wchar_t* existingFolder;  // nullptr: nothing beyond the profile's defaults
};
void PrintTo(const NoStoreCase& tested, std::ostream* out) { *out << tested.name; }

class NoStoreTest : public IdentityToolTest, public ::testing::WithParamInterface<NoStoreCase> {};

TEST_P(NoStoreTest, MeansNoIdentityAndCreatesNothing) {
  if (GetParam().existingFolder != nullptr) profile_.MakeDirectory(GetParam().existingFolder);
  ExpectSilentSuccess(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")));
}

INSTANTIATE_TEST_SUITE_P(E2e, NoStoreTest,
                         ::testing::Values(NoStoreCase{"NoStoreFolder", L"Roaming", nullptr},
                                           NoStoreCase{"EmptyStoreFolder", L"Roaming", L"Roaming\\Vantide"},
                                           NoStoreCase{"NoRoamingFolder", L"Missing\\Roaming", nullptr}),
                         CaseName<NoStoreCase>);

// --- Migration of a legacy identity ------------------------------------------

struct FirstMigrationCase {
  const char* name;
  std::vector<std::wstring> legacyFiles;  // each names kToken
};
void PrintTo(const FirstMigrationCase& tested, std::ostream* out) { *out << tested.name; }

class FirstMigrationTest : public IdentityToolTest,
                           public ::testing::WithParamInterface<FirstMigrationCase> {};

TEST_P(FirstMigrationTest, SealsTheTokenIntoANewStoreAndChangesNothingElse) {
  PlantUnrelatedPluginStorage();
  for (const std::wstring& file : GetParam().legacyFiles) profile_.WriteFile(file, LegacyFile(kToken));
  ExpectMigration(InProfile(L"Roaming"), InProfile(L"Local"), std::wstring(kStoreFolder),
                  {std::wstring(kStoreFolder)});
}

INSTANTIATE_TEST_SUITE_P(E2e, FirstMigrationTest,
                         ::testing::Values(FirstMigrationCase{"RoamingPluginData", {kRoamingPluginData}},
                                           FirstMigrationCase{"RoamingEntry", {kRoamingEntry}},
                                           FirstMigrationCase{"LocalPluginData", {kLocalPluginData}},
                                           FirstMigrationCase{"LocalEntry", {kLocalEntry}},
                                           FirstMigrationCase{"LaterEntry", {kRoamingLaterEntry}},
                                           FirstMigrationCase{
                                               "EveryPlaceAgrees",
                                               {kRoamingPluginData, kRoamingEntry, kRoamingLaterEntry,
                                                kLocalPluginData, kLocalEntry}}),
                         CaseName<FirstMigrationCase>);

struct SecondRunCase {
  const char* name;
  // What happens to the two legacy files between the runs: each is given a
  // new token, or removed when it has none.
  std::optional<std::string_view> roamingToken;
  std::optional<std::string_view> localToken;
};
void PrintTo(const SecondRunCase& tested, std::ostream* out) { *out << tested.name; }

class SecondRunTest : public IdentityToolTest, public ::testing::WithParamInterface<SecondRunCase> {};

TEST_P(SecondRunTest, ReadsTheStoreAndNeverLooksAtTheLegacyFilesAgain) {
  profile_.WriteFile(kRoamingPluginData, LegacyFile(kToken));
  profile_.WriteFile(kLocalEntry, LegacyFile(kToken));
  ExpectMigration(InProfile(L"Roaming"), InProfile(L"Local"), std::wstring(kStoreFolder),
                  {std::wstring(kStoreFolder)});

  for (const auto& [file, token] : {std::pair{kRoamingPluginData, GetParam().roamingToken},
                                    std::pair{kLocalEntry, GetParam().localToken}}) {
    if (token) {
      profile_.WriteFile(file, LegacyFile(*token));
    } else {
      DeleteFromProfile(profile_, file);
    }
  }
  ExpectSilentSuccess(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")));
  ExpectStoreHolds(profile_, kStore, kToken);
}

INSTANTIATE_TEST_SUITE_P(E2e, SecondRunTest,
                         ::testing::Values(SecondRunCase{"LegacyFilesNameAnotherToken", kOtherToken,
                                                         kOtherToken},
                                           SecondRunCase{"LegacyFilesNowConflict", kToken, kTokenOtherCase},
                                           SecondRunCase{"LegacyFilesRemoved", std::nullopt, std::nullopt}),
                         CaseName<SecondRunCase>);

struct ConflictCase {
  const char* name;
  std::vector<std::pair<std::wstring, std::string_view>> legacyFiles;
};
void PrintTo(const ConflictCase& tested, std::ostream* out) { *out << tested.name; }

class ConflictTest : public IdentityToolTest, public ::testing::WithParamInterface<ConflictCase> {};

TEST_P(ConflictTest, ReportsTheConflictAndWritesNothing) {
  for (const auto& [file, token] : GetParam().legacyFiles) profile_.WriteFile(file, LegacyFile(token));
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")), kConflictLine);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ConflictTest,
    ::testing::Values(ConflictCase{"CaseOfOneDigitInOneEntry",
                                   {{kRoamingPluginData, kToken}, {kRoamingEntry, kTokenOtherCase}}},
                      ConflictCase{"AcrossEntries",
                                   {{kRoamingEntry, kToken}, {kRoamingLaterEntry, kOtherToken}}},
                      ConflictCase{"AcrossBaseFolders",
                                   {{kRoamingPluginData, kToken}, {kLocalPluginData, kTokenOtherCase}}},
                      ConflictCase{"LastOfManyDisagrees",
                                   {{kRoamingPluginData, kToken},
                                    {kRoamingEntry, kToken},
                                    {kLocalPluginData, kToken},
                                    {kLocalEntry, kOtherToken}}}),
    CaseName<ConflictCase>);

struct LeftoverCase {
  const char* name;
  std::string leftover;
};
void PrintTo(const LeftoverCase& tested, std::ostream* out) { *out << tested.name; }

class LeftoverTemporaryFileTest : public IdentityToolTest,
                                  public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverTemporaryFileTest, BlocksTheMigrationUntilItIsRemoved) {
  profile_.WriteFile(kLocalEntry, LegacyFile(kToken));
  profile_.WriteFile(kStoreTemporary, GetParam().leftover);
  // The leftover stays as it was, and no store appears.
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")), kFileExistsLine);

  // The failed run left nothing else in the way.
  DeleteFromProfile(profile_, kStoreTemporary);
  ExpectMigration(InProfile(L"Roaming"), InProfile(L"Local"), std::wstring(kStoreFolder), {});
}

INSTANTIATE_TEST_SUITE_P(
    E2e, LeftoverTemporaryFileTest,
    ::testing::Values(LeftoverCase{"Empty", ""},
                      LeftoverCase{"HalfWritten", std::string("VANTIDE-DPAPI-1\n\x01\x00\x00\x00", 20)}),
    CaseName<LeftoverCase>);

TEST_F(IdentityToolTest, IdentityFilesOutsideTheTwoPlacesAreNoLegacyIdentities) {
  const std::string file = LegacyFile(kToken);
  for (const std::wstring& elsewhere : {
           PluginStorage(L"Roaming") + L"license-device.json",
           PluginStorage(L"Roaming") + L"25\\license-device.json",
           PluginStorage(L"Roaming") + L"25\\External\\license-device.json",
           PluginFile(L"Roaming", L"25\\26", L"license-device.json"),
           PluginFile(L"Local", L"25", L"PluginData\\old\\license-device.json"),
           PluginStorage(L"Local") + L"25\\External\\com.greywick.other\\license-device.json",
           PluginFile(L"Local", L"25", L"license-device.json.bak"),
           std::wstring(L"Local\\Adobe\\UXP\\PluginsStorage\\PHSP-old\\25\\External\\com.greywick.van-tide\\"
                        L"license-device.json"),
           PluginFile(L"cwd", L"25", L"license-device.json"),
       }) {
    profile_.WriteFile(elsewhere, file);
  }
  ExpectSilentSuccess(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")));
}

struct CreatedFoldersCase {
  const char* name;
  const wchar_t* appData;         // relative to the profile
  const wchar_t* existingFolder;  // nullptr: only the profile's defaults
  const wchar_t* storeFolder;
  std::vector<std::wstring> createdFolders;
};
void PrintTo(const CreatedFoldersCase& tested, std::ostream* out) { *out << tested.name; }

class CreatedFoldersTest : public IdentityToolTest,
                           public ::testing::WithParamInterface<CreatedFoldersCase> {};

TEST_P(CreatedFoldersTest, CreatesTheMissingFoldersAboveTheStore) {
  if (GetParam().existingFolder != nullptr) profile_.MakeDirectory(GetParam().existingFolder);
  profile_.WriteFile(kLocalPluginData, LegacyFile(kToken));
  ExpectMigration(InProfile(GetParam().appData), InProfile(L"Local"), GetParam().storeFolder,
                  GetParam().createdFolders);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, CreatedFoldersTest,
    ::testing::Values(
        CreatedFoldersCase{"StoreFolderExists", L"Roaming", L"Roaming\\Vantide", L"Roaming\\Vantide", {}},
        CreatedFoldersCase{
            "TwoFoldersAboveMissing",
            L"Roaming\\deeper\\still",
            nullptr,
            L"Roaming\\deeper\\still\\Vantide",
            {L"Roaming\\deeper", L"Roaming\\deeper\\still", L"Roaming\\deeper\\still\\Vantide"}},
        CreatedFoldersCase{"SpelledWithSlashes",
                           L"Roaming/deeper/",
                           nullptr,
                           L"Roaming\\deeper\\Vantide",
                           {L"Roaming\\deeper", L"Roaming\\deeper\\Vantide"}}),
    CaseName<CreatedFoldersCase>);

// --- Literal base folders ---------------------------------------------------------
// Behind "\\?\" everyone reads a base folder as written, and the walk opens it
// member by member whatever its length: the store is made there on the first
// run and read back on the next.

struct LiteralBaseCase {
  const char* name;
  std::wstring roaming;  // relative to the profile
};
void PrintTo(const LiteralBaseCase& tested, std::ostream* out) { *out << tested.name; }

class LiteralBaseFolderTest : public IdentityToolTest,
                              public ::testing::WithParamInterface<LiteralBaseCase> {};

TEST_P(LiteralBaseFolderTest, MigratesIntoItAndReadsItBack) {
  const std::wstring& roaming = GetParam().roaming;
  profile_.MakeDirectory(roaming);
  profile_.WriteFile(kLocalPluginData, LegacyFile(kToken));
  const Folder appData = Literal(LiteralForm(profile_.PathOf(roaming)));
  ExpectMigration(appData, InProfile(L"Local"), roaming + L"\\Vantide", {roaming + L"\\Vantide"});
  ExpectSilentSuccess(RunLeavingProfileUnchanged(appData, InProfile(L"Local")));
}

std::wstring PastMaxPath() {
  std::wstring deep = L"Deep";
  while (deep.size() < 280) deep += L"\\a folder name of some length";
  return deep + L"\\Roaming";
}

INSTANTIATE_TEST_SUITE_P(E2e, LiteralBaseFolderTest,
                         ::testing::Values(LiteralBaseCase{"Drive", L"Roaming"},
                                           LiteralBaseCase{"PastMaxPath", PastMaxPath()}),
                         CaseName<LiteralBaseCase>);

// --- Base folders that cannot be used for a migration --------------------------

struct UnusableLocalCase {
  const char* name;
  Folder localAppData;
};
void PrintTo(const UnusableLocalCase& tested, std::ostream* out) { *out << tested.name; }

class UnusableLocalAppDataTest : public IdentityToolTest,
                                 public ::testing::WithParamInterface<UnusableLocalCase> {};

TEST_P(UnusableLocalAppDataTest, StopsTheMigrationBeforeAnythingIsWritten) {
  // Valid legacy files that agree: the run would otherwise migrate.
  profile_.WriteFile(kRoamingPluginData, LegacyFile(kToken));
  profile_.WriteFile(kLocalPluginData, LegacyFile(kToken));
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(L"Roaming"), GetParam().localAppData),
                kNoBaseFolderLine);
}

INSTANTIATE_TEST_SUITE_P(E2e, UnusableLocalAppDataTest,
                         ::testing::Values(UnusableLocalCase{"Unset", Unset()},
                                           UnusableLocalCase{"Empty", Literal(L"")},
                                           UnusableLocalCase{"Relative", Literal(L"Local")},
                                           UnusableLocalCase{"DriveRelative", Literal(L"C:Local")},
                                           UnusableLocalCase{"ParentStep", InProfile(L"nothing\\..\\Local")}),
                         CaseName<UnusableLocalCase>);

struct DotMemberCase {
  const char* name;
  const wchar_t* appData;  // relative to the profile
  bool linkStoreFolder;    // Roaming\Vantide is a link to Elsewhere\Vantide
  const wchar_t* store;    // where a valid store lies; nullptr: nowhere
};
void PrintTo(const DotMemberCase& tested, std::ostream* out) { *out << tested.name; }

class DotMemberTest : public IdentityToolTest, public ::testing::WithParamInterface<DotMemberCase> {};

TEST_P(DotMemberTest, RefusesTheRoamingFolderAndTouchesNothing) {
  // "nothing" does not exist: a walk down the folders as written would stop
  // there and never see the link that the file system would follow.
  profile_.MakeDirectory(L"Elsewhere\\Vantide");
  if (GetParam().store != nullptr) profile_.WriteFile(GetParam().store, Seal(kToken));
  profile_.WriteFile(kRoamingPluginData, LegacyFile(kToken));
  profile_.WriteFile(kLocalPluginData, LegacyFile(kToken));
  if (GetParam().linkStoreFolder && !profile_.MakeDirectoryLink(kStoreFolder, L"Elsewhere\\Vantide")) {
    GTEST_SKIP() << "this machine cannot make directory links";
  }
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")),
                kNoBaseFolderLine);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, DotMemberTest,
    ::testing::Values(DotMemberCase{"ParentStepToLinkedStore", L"nothing\\..\\Roaming", true,
                                    L"Elsewhere\\Vantide\\license-device.dat"},
                      DotMemberCase{"ParentStepToLinkWithoutStore", L"nothing\\..\\Roaming", true, nullptr},
                      DotMemberCase{"ParentStepWithoutLink", L"nothing\\..\\Roaming", false, kStore.data()},
                      DotMemberCase{"CurrentFolderStep", L".\\Roaming", false, kStore.data()},
                      DotMemberCase{"TrailingCurrentFolder", L"Roaming\\.", false, nullptr}),
    CaseName<DotMemberCase>);

// --- Names that Windows reads otherwise than written ---------------------------
// Outside "\\?\" Windows drops a single trailing period from every member and
// the trailing blanks and periods from the end of the whole path, and takes
// CON at the end for the console. Other programs read the environment's
// values that way, while the walk opens each member as written; such a base
// folder is refused, so that no two readings of it can part. Each
// case puts a link at such a name beside a plain folder of the rewritten
// name; the link leads to Elsewhere, inside the profile, so the snapshot of
// the profile (which names every item as written and never enters a link)
// also shows that nothing was written behind the link or into the plain
// folder. What was read cannot be seen from outside: a valid store behind
// the link that is read would end in success, not in the report.

struct RewrittenBaseCase {
  const char* name;
  const wchar_t* link;  // in Users, beside the plain Users\me; leads to Elsewhere
  const wchar_t* appData;
  const wchar_t* localAppData;
  std::wstring legacyFile;  // names kToken; empty: none
  const wchar_t* store;     // a valid store; nullptr: none
  // A device name in the middle reads alike for everyone, so the folder is
  // usable and the walk meets the link itself.
  std::string_view line = kNoBaseFolderLine;
};
void PrintTo(const RewrittenBaseCase& tested, std::ostream* out) { *out << tested.name; }

class RewrittenBaseFolderTest : public IdentityToolTest,
                                public ::testing::WithParamInterface<RewrittenBaseCase> {};

TEST_P(RewrittenBaseFolderTest, RefusesTheFolderAndNeverGoesThroughTheLink) {
  for (const wchar_t* folder :
       {L"Users\\me\\Roaming", L"Users\\me\\Local", L"Elsewhere\\Roaming", L"Elsewhere\\Local"}) {
    profile_.MakeDirectory(folder);
  }
  if (!GetParam().legacyFile.empty()) profile_.WriteFile(GetParam().legacyFile, LegacyFile(kToken));
  if (GetParam().store != nullptr) profile_.WriteFile(GetParam().store, Seal(kToken));
  if (!profile_.MakeDirectoryLink(std::wstring(L"Users\\") + GetParam().link, L"Elsewhere")) {
    GTEST_SKIP() << "this machine cannot make directory links";
  }
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(GetParam().localAppData)),
                GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, RewrittenBaseFolderTest,
    ::testing::Values(RewrittenBaseCase{"TrailingBlank", L"me ", L"Users\\me \\Roaming", L"Local",
                                        kLocalPluginData, nullptr},
                      RewrittenBaseCase{"TrailingBlankStoreBehindLink", L"me ", L"Users\\me \\Roaming",
                                        L"Local", kLocalPluginData,
                                        L"Elsewhere\\Roaming\\Vantide\\license-device.dat"},
                      RewrittenBaseCase{"TrailingBlankLastMember", L"me ", L"Users\\me ", L"Local",
                                        kLocalPluginData, nullptr},
                      RewrittenBaseCase{"TrailingBlankLocalAppData", L"me ", L"Roaming", L"Users\\me \\Local",
                                        L"Elsewhere\\" + kLocalPluginData, nullptr},
                      RewrittenBaseCase{"TrailingPeriod", L"me.", L"Users\\me.\\Roaming", L"Local",
                                        kLocalPluginData, nullptr},
                      RewrittenBaseCase{"TrailingPeriodStoreInPlainFolder", L"me.", L"Users\\me.\\Roaming",
                                        L"Local", kLocalPluginData,
                                        L"Users\\me\\Roaming\\Vantide\\license-device.dat"},
                      RewrittenBaseCase{"DeviceNameMember", L"CON", L"Users\\CON\\Roaming", L"Local",
                                        kLocalPluginData, nullptr, kRedirectedLine}),
    CaseName<RewrittenBaseCase>);

struct RewrittenEntryCase {
  const char* name;
  const wchar_t* link;  // an entry of the roaming plug-in storage, beside the plain entry "x"
};
void PrintTo(const RewrittenEntryCase& tested, std::ostream* out) { *out << tested.name; }

class RewrittenStorageEntryTest : public IdentityToolTest,
                                  public ::testing::WithParamInterface<RewrittenEntryCase> {};

TEST_P(RewrittenStorageEntryTest, RefusesTheLinkedEntryAndAdoptsNothingBehindIt) {
  // The plain "x" holds the plug-in's folders but no identity; the link leads
  // to an entry whose identity would be adopted if the scan followed it.
  profile_.MakeDirectory(PluginStorage(L"Roaming") + L"x\\External\\com.greywick.van-tide\\PluginData");
  profile_.WriteFile(PluginFile(L"Elsewhere", L"25", L"license-device.json"), LegacyFile(kToken));
  if (!profile_.MakeDirectoryLink(PluginStorage(L"Roaming") + GetParam().link,
                                  PluginStorage(L"Elsewhere") + L"25")) {
    GTEST_SKIP() << "this machine cannot make directory links";
  }
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local")), kRedirectedLine);
}

INSTANTIATE_TEST_SUITE_P(E2e, RewrittenStorageEntryTest,
                         ::testing::Values(RewrittenEntryCase{"TrailingBlank", L"x "},
                                           RewrittenEntryCase{"TrailingPeriod", L"x."},
                                           RewrittenEntryCase{"DeviceName", L"CON"},
                                           // The same link under a name read as written.
                                           RewrittenEntryCase{"PlainName", L"y"}),
                         CaseName<RewrittenEntryCase>);

// --- Two runs at the same moment ---------------------------------------------

TEST(ConcurrentMigrationTest, ExactlyOneStoreAndEachRunSilentOrReported) {
  constexpr int kRounds = 20;
  static const std::regex kReported(
      "device identity owner rejected migration \\(HRESULT=0x([0-9a-f]{8})\\)\n");
  std::map<std::string, int> tally;
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TestTree profile;
    TestTree capture;
    ASSERT_FALSE(profile.Root().empty());
    ASSERT_FALSE(capture.Root().empty());
    profile.MakeDirectory(L"Roaming");
    profile.MakeDirectory(L"cwd");
    profile.WriteFile(kLocalPluginData, LegacyFile(kToken));
    capture.MakeDirectory(L"first");
    capture.MakeDirectory(L"second");

    const TreeSnapshot before = VantideSnapshotTree(profile.Root());
    const std::vector<ToolOutcome> outcomes = VantideRunToolsAtOnce(
        {{L"APPDATA", profile.PathOf(L"Roaming")}, {L"LOCALAPPDATA", profile.PathOf(L"Local")}}, L"",
        profile.PathOf(L"cwd"), {capture.PathOf(L"first"), capture.PathOf(L"second")});
    const TreeSnapshot after = VantideSnapshotTree(profile.Root());
    ASSERT_EQ(outcomes.size(), 2u);

    int silent = 0;
    std::string loser;
    for (const ToolOutcome& outcome : outcomes) {
      EXPECT_TRUE(outcome.finished) << "a run did not finish in time";
      EXPECT_EQ(outcome.standardOutput, "");
      std::smatch reported;
      if (outcome.exitCode == 0 && outcome.standardError.empty()) {
        ++silent;
      } else if (outcome.exitCode == 3 && std::regex_match(outcome.standardError, reported, kReported)) {
        loser = "0x" + reported[1].str();
      } else {
        ADD_FAILURE() << "exit " << outcome.exitCode << ", standard error: " << outcome.standardError;
      }
    }
    // Whoever moved its file into place succeeded.
    EXPECT_GE(silent, 1) << "no run created the store";
    ExpectOnlyStoreCreated(before, after, {std::wstring(kStoreFolder)}, std::wstring(kStore));
    ExpectStoreHolds(profile, kStore, kToken);
    ++tally[silent == 2 ? std::string("both silent") : "one winner, loser " + loser];
  }
  std::ostringstream line;
  line << kRounds << " rounds:";
  const char* separator = " ";
  for (const auto& [kind, count] : tally) {
    line << separator << kind << " x" << count;
    separator = "; ";
  }
  std::cout << "[ tally    ] " << line.str() << std::endl;
  ::testing::Test::RecordProperty("tally", line.str());
}

// --- Arguments ---------------------------------------------------------------

TEST_F(IdentityToolTest, ArgumentsChangeNothing) {
  const std::wstring arguments = L"--reset /? \"C:\\Users\\someone else\" license-device.dat --token=" +
                                 std::wstring(kOtherToken.begin(), kOtherToken.end());
  profile_.WriteFile(kStore, Seal(kToken));
  ExpectSilentSuccess(RunLeavingProfileUnchanged(InProfile(L"Roaming"), InProfile(L"Local"), arguments));
  ExpectFailure(RunLeavingProfileUnchanged(Unset(), InProfile(L"Local"), arguments), kNoBaseFolderLine);
}

}  // namespace
}  // namespace van_tide::testing
