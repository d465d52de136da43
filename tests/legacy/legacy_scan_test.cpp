// The legacy storage scan against real folders (the stand-in's natively, real
// ones under Wine).
#include "legacy/legacy_scan.h"

#include "legacy/environment_override.h"
#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace van_tide {
namespace {

using testing::EnvironmentOverride;
using testing::kTokenA;
using testing::kTokenACaseChanged;
using testing::kTokenB;
using testing::LegacyFile;
using testing::LegacyFileWithVersion;
using testing::TestTree;

enum class Base { kRoaming, kLocal };

std::wstring Storage(Base base) {
  return std::wstring(base == Base::kRoaming ? L"Roaming" : L"Local") + L"\\Adobe\\UXP\\PluginsStorage\\PHSP";
}
std::wstring PluginFolder(Base base, const wchar_t* entry) {
  return Storage(base) + L"\\" + entry + L"\\External\\com.greywick.van-tide";
}
std::wstring FirstPlace(Base base, const wchar_t* entry) {
  return PluginFolder(base, entry) + L"\\PluginData\\license-device.json";
}
std::wstring SecondPlace(Base base, const wchar_t* entry) {
  return PluginFolder(base, entry) + L"\\license-device.json";
}

constexpr Base R = Base::kRoaming;
constexpr Base L = Base::kLocal;

class LegacyScanTest : public ::testing::Test {
 protected:
  LegacyScanTest() : local_(L"LOCALAPPDATA", tree_.PathOf(L"Local").c_str()) {
    tree_.MakeDirectory(L"Roaming");
    tree_.MakeDirectory(L"Local");
  }
  // The roaming folder is handed over held open, as resolution holds it.
  HRESULT Scan() {
    const VantideFolder roaming = testing::OpenFolder(tree_.PathOf(L"Roaming"));
    EXPECT_TRUE(roaming.IsOpen());
    token_.clear();
    return VantideScanLegacyIdentities(&roaming, &token_);
  }
  TestTree tree_;
  EnvironmentOverride local_;
  std::string token_;
};

struct ScanCase {
  const char* name;
  std::vector<std::pair<std::wstring, std::string>> files;
  std::vector<std::wstring> folders;
  HRESULT status;
  std::string token;  // always empty with a failure: a token found before it is not handed back
};

std::ostream& operator<<(std::ostream& os, const ScanCase& c) { return os << c.name; }

class LegacyScanLayouts : public LegacyScanTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(LegacyScanLayouts, FindsTheOneAgreedToken) {
  const ScanCase& c = GetParam();
  for (const std::wstring& folder : c.folders) tree_.MakeDirectory(folder);
  for (const auto& [path, contents] : c.files) tree_.WriteFile(path, contents);
  EXPECT_EQ(Scan(), c.status);
  EXPECT_EQ(token_, c.token);
}

const std::string kA = LegacyFile(kTokenA);

const ScanCase kScanCases[] = {
    // Nothing to migrate.
    {"NoHostStorage", {}, {}, kStatusOk, ""},
    {"EmptyHostStorage", {}, {Storage(R), Storage(L)}, kStatusOk, ""},
    {"OnlyOtherPlugins",
     {{Storage(R) + L"\\other\\External\\com.other\\license-device.json", kA}},
     {},
     kStatusOk,
     ""},
    {"PluginFolderWithoutCandidates", {}, {PluginFolder(R, L"p") + L"\\PluginData"}, kStatusOk, ""},
    // Reachable from the storage listing only through its ".." and "." entries,
    // which are no plug-in entries.
    {"BesideTheHostStorage",
     {{L"Roaming\\Adobe\\UXP\\PluginsStorage\\External\\com.greywick.van-tide\\license-device.json", kA}},
     {Storage(R)},
     kStatusOk,
     ""},
    {"DirectlyInTheHostStorage",
     {{Storage(R) + L"\\External\\com.greywick.van-tide\\license-device.json", kA}},
     {},
     kStatusOk,
     ""},

    // One file, wherever it may be.
    {"FirstPlace", {{FirstPlace(R, L"p"), kA}}, {}, kStatusOk, kTokenA},
    {"SecondPlace", {{SecondPlace(R, L"p"), kA}}, {}, kStatusOk, kTokenA},
    {"LocalOnly", {{FirstPlace(L, L"p"), kA}}, {}, kStatusOk, kTokenA},
    {"PlainFileInStorageIgnored",
     {{Storage(R) + L"\\notes.json", kA}, {SecondPlace(L, L"p"), kA}},
     {},
     kStatusOk,
     kTokenA},

    // Agreement everywhere.
    {"BothPlacesAgree", {{FirstPlace(R, L"p"), kA}, {SecondPlace(R, L"p"), kA}}, {}, kStatusOk, kTokenA},
    {"TwoEntriesAgree", {{FirstPlace(R, L"a"), kA}, {SecondPlace(R, L"b"), kA}}, {}, kStatusOk, kTokenA},
    {"BothBasesAgree", {{FirstPlace(R, L"p"), kA}, {FirstPlace(L, L"q"), kA}}, {}, kStatusOk, kTokenA},

    // Any disagreement, even in the case of one digit.
    {"PlacesDiffer",
     {{FirstPlace(R, L"p"), kA}, {SecondPlace(R, L"p"), LegacyFile(kTokenACaseChanged)}},
     {},
     kStatusDuplicateName,
     ""},
    {"EntriesDiffer",
     {{FirstPlace(R, L"a"), kA}, {FirstPlace(R, L"b"), LegacyFile(kTokenACaseChanged)}},
     {},
     kStatusDuplicateName,
     ""},
    {"BasesDiffer",
     {{SecondPlace(R, L"p"), kA}, {SecondPlace(L, L"p"), LegacyFile(kTokenB)}},
     {},
     kStatusDuplicateName,
     ""},

    // An unusable file fails the scan wherever it lies, found token or not.
    {"BadVersionAfterGood",
     {{FirstPlace(R, L"a"), kA}, {FirstPlace(R, L"z"), LegacyFileWithVersion("2", kTokenA)}},
     {},
     kStatusInvalidData,
     ""},
    {"BadVersionBeforeGood",
     {{FirstPlace(R, L"a"), LegacyFileWithVersion("2", kTokenA)}, {FirstPlace(R, L"z"), kA}},
     {},
     kStatusInvalidData,
     ""},
    {"MalformedAfterGood",
     {{FirstPlace(R, L"a"), kA}, {SecondPlace(R, L"b"), "{\"version\":1,"}},
     {},
     kStatusInvalidData,
     ""},
    {"BadSecondPlaceAfterGoodFirst",
     {{FirstPlace(R, L"p"), kA}, {SecondPlace(R, L"p"), "{}"}},
     {},
     kStatusInvalidData,
     ""},
    {"EmptyCandidate", {{SecondPlace(L, L"p"), ""}}, {}, kStatusInvalidData, ""},
    {"FirstFaultInOrderWins",
     {{FirstPlace(R, L"a"), "not json"},
      {FirstPlace(R, L"b"), kA},
      {FirstPlace(L, L"a"), LegacyFile(kTokenB)}},
     {},
     kStatusInvalidData,
     ""},

    // Something other than a folder on the way.
    {"PluginDataIsAFile", {{PluginFolder(R, L"p") + L"\\PluginData", kA}}, {}, kStatusNotADirectory, ""},
    {"HostStorageIsAFile", {{Storage(L), kA}}, {}, kStatusNotADirectory, ""},
    {"LocalHostStorageIsAFileAfterRoamingToken",
     {{FirstPlace(R, L"p"), kA}, {Storage(L), kA}},
     {},
     kStatusNotADirectory,
     ""},
};

INSTANTIATE_TEST_SUITE_P(Layouts, LegacyScanLayouts, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(LegacyScanTest, RefusesAFolderLinkInTheStorage) {
  tree_.MakeDirectory(L"Target");
  if (!tree_.MakeDirectoryLink(Storage(R) + L"\\linked", L"Target"))
    GTEST_SKIP() << "no directory links here";
  // Refused even though nothing of the plug-in exists anywhere.
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
}

TEST_F(LegacyScanTest, RefusesAFolderLinkAboveTheStorage) {
  tree_.WriteFile(L"Real\\PluginsStorage\\PHSP\\p\\External\\com.greywick.van-tide\\license-device.json", kA);
  tree_.MakeDirectory(L"Local\\Adobe");
  if (!tree_.MakeDirectoryLink(L"Local\\Adobe\\UXP", L"Real")) GTEST_SKIP() << "no directory links here";
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
}

TEST_F(LegacyScanTest, RefusesALinkInsideAPluginEntry) {
  tree_.WriteFile(L"Target\\license-device.json", kA);
  tree_.MakeDirectory(PluginFolder(R, L"p"));
  if (!tree_.MakeDirectoryLink(PluginFolder(R, L"p") + L"\\PluginData", L"Target")) {
    GTEST_SKIP() << "no directory links here";
  }
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
}

// Under Wine the link is a host one, which an open follows: the file reads as
// its target, and only where it leads gives it away.
TEST_F(LegacyScanTest, RefusesAFileLinkAtALegacyFile) {
  tree_.WriteFile(L"Target\\license-device.json", LegacyFile(kTokenB));
  tree_.MakeDirectory(PluginFolder(R, L"p") + L"\\PluginData");
  if (!tree_.MakeFileLink(FirstPlace(R, L"p"), L"Target\\license-device.json")) {
    GTEST_SKIP() << "no file links here";
  }
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
  EXPECT_EQ(token_, "");
}

TEST_F(LegacyScanTest, BothBasesNamingOneFolderGiveTheSingleResult) {
  tree_.WriteFile(FirstPlace(R, L"p"), kA);
  tree_.WriteFile(SecondPlace(R, L"q"), kA);
  local_.Set(tree_.PathOf(L"Roaming").c_str());
  EXPECT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
}

TEST_F(LegacyScanTest, AnUnusableLocalFolderStopsTheScan) {
  tree_.WriteFile(FirstPlace(R, L"p"), kA);
  const struct {
    const char* name;
    const wchar_t* value;  // null: unset
  } cases[] = {{"unset", nullptr}, {"empty", L""}, {"relative", L"AppData\\Local"}, {"drive only", L"C:"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    local_.Set(c.value);
    EXPECT_EQ(Scan(), kStatusEnvironmentVariableNotFound);
    EXPECT_EQ(token_, "");
  }
}

// A roaming folder that does not exist has nothing to scan; LOCALAPPDATA is
// still read, and a different token under the absent folder's name is no
// part of the answer.
TEST_F(LegacyScanTest, WithoutARoamingFolderOnlyTheLocalOneIsScanned) {
  tree_.WriteFile(FirstPlace(R, L"p"), LegacyFile(kTokenB));
  tree_.WriteFile(SecondPlace(L, L"q"), kA);
  token_.clear();
  EXPECT_EQ(VantideScanLegacyIdentities(nullptr, &token_), kStatusOk);
  EXPECT_EQ(token_, kTokenA);

  local_.Set(nullptr);
  EXPECT_EQ(VantideScanLegacyIdentities(nullptr, &token_), kStatusEnvironmentVariableNotFound);
  EXPECT_EQ(token_, "");
}

TEST_F(LegacyScanTest, WithoutAPlaceForTheTokenNothingIsScanned) {
  const VantideFolder roaming = testing::OpenFolder(tree_.PathOf(L"Roaming"));
  EXPECT_EQ(VantideScanLegacyIdentities(&roaming, nullptr), static_cast<HRESULT>(0x80070057U));
}

}  // namespace
}  // namespace van_tide
