// The built executable, run as its own process against a scratch profile: exit
// status, the exact bytes on standard output and standard error, and every
// file and folder of the profile before and after.
#include "e2e/tool_process.h"
#include "store/protected_identity.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>

namespace van_tide::testing {
namespace {

constexpr std::string_view kToken = "van-tide-hud-0123456789abcdefABCDEF0123456789";
constexpr std::string_view kOtherToken = "van-tide-hud-ffffffffffffffffffffffffffffffff";

constexpr std::string_view kNoBaseFolderLine = "device identity owner rejected migration (HRESULT=0x800700cb)\n";
constexpr std::string_view kInvalidDataLine = "device identity owner rejected migration (HRESULT=0x8007000d)\n";
constexpr std::string_view kRedirectedLine = "device identity owner rejected migration (HRESULT=0x80070780)\n";
constexpr std::string_view kNotAFolderLine = "device identity owner rejected migration (HRESULT=0x8007010b)\n";
constexpr std::string_view kTooLargeLine = "device identity owner rejected migration (HRESULT=0x800700df)\n";

constexpr std::wstring_view kStore = L"Roaming\\Vantide\\license-device.dat";

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
    profile_.WriteFile(L"Local\\Adobe\\UXP\\PluginsStorage\\PHSP\\25\\External\\com.greywick.van-tide\\license-device.json",
                       LegacyFile(kOtherToken));
  }

  // Runs the tool once with the working folder inside the profile, so that a
  // relative path that it wrongly used would land where the snapshot sees it.
  // Every case here leaves the profile exactly as it was.
  ToolOutcome RunLeavingProfileUnchanged(const Folder& appData, const Folder& localAppData,
                                         const std::wstring& arguments = L"") {
    const TreeSnapshot before = VantideSnapshotTree(profile_.Root());
    const ToolOutcome outcome = VantideRunTool({{L"APPDATA", Resolve(appData)}, {L"LOCALAPPDATA", Resolve(localAppData)}},
                                               arguments, profile_.PathOf(L"cwd"), capture_.Root());
    const TreeSnapshot after = VantideSnapshotTree(profile_.Root());
    EXPECT_TRUE(outcome.finished) << "the tool did not finish in time";
    EXPECT_TRUE(before == after) << "the profile changed:\n" << Describe(before, after);
    EXPECT_EQ(outcome.standardOutput, "") << "standard output is never written";
    return outcome;
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
    static const std::regex line("device identity owner rejected migration \\(HRESULT=0x[89a-f][0-9a-f]{7}\\)\n");
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

INSTANTIATE_TEST_SUITE_P(E2e, ValidStoreTest,
                         ::testing::Values(ValidStoreCase{"Plain", ValidStoreCase::Spelling::kPlain, true},
                                           ValidStoreCase{"WithoutLocalAppData", ValidStoreCase::Spelling::kPlain, false},
                                           ValidStoreCase{"TrailingSeparator", ValidStoreCase::Spelling::kTrailingSeparator, true},
                                           ValidStoreCase{"Slashes", ValidStoreCase::Spelling::kSlashes, true}),
                         CaseName<ValidStoreCase>);

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
        DamagedStoreCase{"MagicWithCarriageReturn", [] { return "VANTIDE-DPAPI-1\r\n" + Blob(); }, kInvalidDataLine},
        DamagedStoreCase{"LowerCaseMagic", [] { return "vantide-dpapi-1\n" + Blob(); }, kInvalidDataLine},
        DamagedStoreCase{"SealedTokenWithLineFeed", [] { return Seal(std::string(kToken) + "\n"); }, kInvalidDataLine},
        DamagedStoreCase{"SealedNonToken", [] { return Seal("not a device identity"); }, kInvalidDataLine},
        DamagedStoreCase{"GarbageBlob", [] { return MagicText() + "this is not a data-protection blob"; }, {}},
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
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")), kRedirectedLine);
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
  ExpectFailure(RunLeavingProfileUnchanged(InProfile(GetParam().appData), InProfile(L"Local")), kNotAFolderLine);
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
