// The legacy storage scan: what it reads and in which order, and the failures
// that only the stand-in can bring about.
#include "legacy/legacy_scan.h"

#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using testing::kTokenA;
using testing::LegacyFile;
using testing::LegacyFileWithVersion;

constexpr wchar_t kRoaming[] = L"C:\\Users\\me\\AppData\\Roaming";
constexpr wchar_t kLocal[] = L"C:\\Users\\me\\AppData\\Local";

// Paths exactly as the scan forms them: the fixed pieces keep their slashes.
std::wstring Storage(const std::wstring& base) { return base + L"\\Adobe/UXP/PluginsStorage/PHSP"; }
std::wstring Entry(const std::wstring& base, const std::wstring& name) {
  return Storage(base) + L"\\" + name;
}
std::wstring FirstPlace(const std::wstring& base, const std::wstring& name) {
  return Entry(base, name) + L"\\External/com.greywick.van-tide\\PluginData/license-device.json";
}
std::wstring SecondPlace(const std::wstring& base, const std::wstring& name) {
  return Entry(base, name) + L"\\External/com.greywick.van-tide\\license-device.json";
}

class LegacyScanStandinTest : public testing::StandinTest {
 protected:
  LegacyScanStandinTest() {
    standin::SetEnvironmentVariable(L"LOCALAPPDATA", kLocal);
    standin::AddDirectory(kRoaming);
    standin::AddDirectory(kLocal);
  }
  HRESULT Scan(const std::wstring& roaming = kRoaming) {
    standin::ClearCalls();
    token_.clear();
    return VantideScanLegacyIdentities(roaming, &token_);
  }
  static std::vector<const standin::Call*> CallsOf(std::initializer_list<Api> apis) {
    std::vector<const standin::Call*> calls;
    for (const standin::Call& call : standin::Calls()) {
      if (std::find(apis.begin(), apis.end(), call.api) != apis.end()) calls.push_back(&call);
    }
    return calls;
  }
  // The names the platform's listing gives, dot entries included.
  static std::vector<std::wstring> Listed(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = folder + L"\\*";
    HANDLE find =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }
  std::string token_;
};

TEST_F(LegacyScanStandinTest, ReadsBaseByBaseEntryByEntryBothPlacesEach) {
  for (const wchar_t* base : {kRoaming, kLocal}) {
    for (const wchar_t* name : {L"b", L"a"}) {
      standin::AddFile(FirstPlace(base, name), LegacyFile(kTokenA));
      standin::AddFile(SecondPlace(base, name), LegacyFile(kTokenA));
    }
  }
  ASSERT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);

  std::vector<std::wstring> expected;
  for (const wchar_t* base : {kRoaming, kLocal}) {
    for (const std::wstring& name : standin::ListNames(Storage(base))) {
      expected.push_back(FirstPlace(base, name));
      expected.push_back(SecondPlace(base, name));
    }
  }
  EXPECT_EQ(standin::CallPaths(Api::CreateFileW), expected);

  // LOCALAPPDATA is looked up before anything is touched; each listing is
  // opened as asked and closed before the next base is taken up.
  ASSERT_FALSE(standin::Calls().empty());
  EXPECT_EQ(standin::Calls().front().api, Api::WideDupEnv);
  EXPECT_EQ(standin::Calls().front().path, L"LOCALAPPDATA");
  std::vector<std::wstring> listing;
  for (const standin::Call* call : CallsOf({Api::FindFirstFileExW, Api::FindClose})) {
    const std::string api = standin::ApiName(call->api);
    listing.push_back(std::wstring(api.begin(), api.end()) + L" " + call->path);
    if (call->api == Api::FindFirstFileExW) {
      EXPECT_EQ(call->args, (std::vector<DWORD>{FindExInfoBasic, FindExSearchNameMatch, 0}));
    }
  }
  const std::wstring roamingPattern = Storage(kRoaming) + L"\\*";
  const std::wstring localPattern = Storage(kLocal) + L"\\*";
  EXPECT_EQ(listing,
            (std::vector<std::wstring>{L"FindFirstFileExW " + roamingPattern, L"FindClose " + roamingPattern,
                                       L"FindFirstFileExW " + localPattern, L"FindClose " + localPattern}));
}

TEST_F(LegacyScanStandinTest, ReadsEachCandidateOncePerBaseFolder) {
  // 1,000 storage entries: most belong to other plug-ins, every tenth holds
  // our plug-in folder with a file in the first place, every twentieth in the
  // second place as well.
  std::map<std::wstring, int> opensEach;  // every candidate of our plug-in folders
  std::map<std::wstring, int> readsEach;  // the ones that exist
  for (int i = 0; i < 1000; ++i) {
    const std::wstring name = L"entry" + std::to_wstring(i);
    if (i % 10 != 0) {
      standin::AddDirectory(Entry(kRoaming, name) + L"\\External\\com.other");
      continue;
    }
    standin::AddFile(FirstPlace(kRoaming, name), LegacyFile(kTokenA));
    opensEach[FirstPlace(kRoaming, name)] = readsEach[FirstPlace(kRoaming, name)] = 1;
    opensEach[SecondPlace(kRoaming, name)] = 1;
    if (i % 20 == 0) {
      standin::AddFile(SecondPlace(kRoaming, name), LegacyFile(kTokenA));
      readsEach[SecondPlace(kRoaming, name)] = 1;
    }
  }
  const struct {
    const char* name;
    const wchar_t* local;
    int times;
  } cases[] = {{"separate folders", kLocal, 1}, {"one folder named twice", kRoaming, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::SetEnvironmentVariable(L"LOCALAPPDATA", c.local);
    ASSERT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, kTokenA);
    std::map<std::wstring, int> opens;
    for (const std::wstring& path : standin::CallPaths(Api::CreateFileW)) opens[path] += 1;
    std::map<std::wstring, int> reads;
    for (const std::wstring& path : standin::CallPaths(Api::ReadFile)) reads[path] += 1;
    std::map<std::wstring, int> expectedOpens = opensEach;
    for (auto& [path, count] : expectedOpens) count = c.times;
    std::map<std::wstring, int> expectedReads = readsEach;
    for (auto& [path, count] : expectedReads) count = c.times;
    EXPECT_EQ(opens, expectedOpens);
    EXPECT_EQ(reads, expectedReads);
  }
}

TEST_F(LegacyScanStandinTest, AnUnusableBaseFolderStopsBeforeAnythingIsTouched) {
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  const struct {
    const char* name;
    const wchar_t* local;  // null: unset
    const wchar_t* roaming;
  } cases[] = {
      {"local unset", nullptr, kRoaming},
      {"local empty", L"", kRoaming},
      {"local relative", L"Users\\me\\AppData\\Local", kRoaming},
      {"local drive-relative", L"C:Users", kRoaming},
      // The caller always hands over an absolute folder; anything else would
      // be searched below the current folder.
      {"roaming empty", kLocal, L""},
      {"roaming relative", kLocal, L"Users\\me\\AppData\\Roaming"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTree::SetEnvironment(L"LOCALAPPDATA", c.local);  // null unsets
    EXPECT_EQ(Scan(c.roaming), kStatusEnvironmentVariableNotFound);
    EXPECT_EQ(token_, "");
    for (const standin::Call& call : standin::Calls()) EXPECT_EQ(call.api, Api::WideDupEnv);
  }
}

TEST_F(LegacyScanStandinTest, AnEntryThatCannotBeLookedUpFailsTheScan) {
  standin::AddDirectory(Entry(kRoaming, L"gone"));
  standin::AddFile(FirstPlace(kRoaming, L"kept"), LegacyFile(kTokenA));
  const struct {
    DWORD error;
    HRESULT status;
  } cases[] = {
      // Listed, then removed by the host before its attributes were read.
      {ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U)},
      {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
      // A failure without a reason is still a failure.
      {ERROR_SUCCESS, kStatusFailedWithoutReason},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    standin::InjectFault({Api::GetFileAttributesW, c.error, Entry(kRoaming, L"gone")});
    EXPECT_EQ(Scan(), c.status);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
  }
}

TEST_F(LegacyScanStandinTest, ACandidateGoneBeforeItsOpenIsAbsent) {
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  standin::AddFile(SecondPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  standin::InjectFault({Api::CreateFileW, ERROR_FILE_NOT_FOUND, FirstPlace(kRoaming, L"p")});
  EXPECT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);

  // Present but locked by the host: a failure, not an absence, and the token
  // read from the first place is not handed back with it.
  standin::InjectFault({Api::CreateFileW, ERROR_SHARING_VIOLATION, SecondPlace(kRoaming, L"p")});
  EXPECT_EQ(Scan(), static_cast<HRESULT>(0x80070020U));
  EXPECT_EQ(token_, "");
}

// The platform lists "." and ".." in every folder but a root. Taken as plug-in
// entries they would lead the search into the storage folder itself and into
// its parent, where no plug-in keeps its data.
TEST_F(LegacyScanStandinTest, TheStorageFolderAndItsParentAreNoPluginEntries) {
  const std::wstring parent = kRoaming + std::wstring(L"\\Adobe/UXP/PluginsStorage");
  const struct {
    const char* name;
    std::wstring file;  // reachable from the listing only through the entry named
    std::wstring entry;
  } cases[] = {
      {"through ..", parent + L"\\External\\com.greywick.van-tide\\license-device.json", L".."},
      {"through .", Storage(kRoaming) + L"\\External\\com.greywick.van-tide\\license-device.json", L"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(kRoaming);
    standin::AddDirectory(Storage(kRoaming));
    standin::AddFile(c.file, LegacyFile(kTokenA));
    // The premise: the listing does offer the entry.
    const std::vector<std::wstring> names = Listed(Storage(kRoaming));
    ASSERT_NE(std::find(names.begin(), names.end(), c.entry), names.end());

    EXPECT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, "");
    EXPECT_TRUE(standin::CallPaths(Api::CreateFileW).empty());
    const std::vector<std::wstring> queried = standin::CallPaths(Api::GetFileAttributesW);
    EXPECT_EQ(std::find(queried.begin(), queried.end(), Entry(kRoaming, c.entry)), queried.end());
  }
}

TEST_F(LegacyScanStandinTest, AJunctionInTheStorageIsRefusedWithoutPluginData) {
  standin::AddDirectory(L"C:\\Elsewhere");
  standin::AddDirectoryLink(Entry(kLocal, L"linked"), L"C:\\Elsewhere");
  standin::AddFile(Entry(kLocal, L"notes.txt"), "not a folder");
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
  // Nothing behind the link was looked at.
  for (const std::wstring& path : standin::CallPaths(Api::GetFileAttributesW)) {
    EXPECT_EQ(path.find(Entry(kLocal, L"linked") + L"\\"), std::wstring::npos);
  }
}

TEST_F(LegacyScanStandinTest, AFileLinkInTheStorageIsIgnored) {
  standin::AddFile(L"C:\\Elsewhere\\file", "x");
  standin::AddFileLink(Entry(kRoaming, L"link"), L"C:\\Elsewhere\\file");
  standin::AddFile(SecondPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  EXPECT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
}

TEST_F(LegacyScanStandinTest, AStorageFolderThatCannotBeCheckedIsReported) {
  standin::AddDirectory(Storage(kRoaming));
  standin::InjectFault(
      {Api::GetFileAttributesW, ERROR_ACCESS_DENIED, L"C:\\Users\\me\\AppData\\Roaming\\Adobe"});
  EXPECT_EQ(Scan(), static_cast<HRESULT>(0x80070005U));
  EXPECT_TRUE(standin::CallPaths(Api::FindFirstFileExW).empty());
}

// A listing that cannot be opened or advanced leaves the scan as the standard
// file-system error carrying the Win32 code, and holds no handle afterwards.
TEST_F(LegacyScanStandinTest, AListingFailureIsRaisedWithItsWin32Code) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFile(kTokenA));
  standin::AddFile(FirstPlace(kRoaming, L"b"), LegacyFile(kTokenA));
  const struct {
    const char* name;
    Api api;
    DWORD error;
    int skip;
    std::int64_t code;
  } cases[] = {
      {"open denied", Api::FindFirstFileExW, ERROR_ACCESS_DENIED, 0, 5},
      {"folder gone before the listing", Api::FindFirstFileExW, ERROR_PATH_NOT_FOUND, 0, 3},
      {"advance failed after entries", Api::FindNextFileW, ERROR_NETNAME_DELETED, 2, 64},
      {"advance denied at once", Api::FindNextFileW, ERROR_ACCESS_DENIED, 0, 5},
      // No reason given: still an error, never a code that reads as success.
      {"open failed without reason", Api::FindFirstFileExW, ERROR_SUCCESS, 0,
       static_cast<HRESULT>(kStatusFailedWithoutReason)},
      {"advance failed without reason", Api::FindNextFileW, ERROR_SUCCESS, 1,
       static_cast<HRESULT>(kStatusFailedWithoutReason)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::InjectFault({c.api, c.error, L"", c.skip, 1});
    standin::ClearCalls();
    token_.clear();
    try {
      VantideScanLegacyIdentities(kRoaming, &token_);
      ADD_FAILURE() << "no error raised";
    } catch (const std::filesystem::filesystem_error& error) {
      EXPECT_EQ(error.code().value(), c.code);
      EXPECT_TRUE(static_cast<bool>(error.code()));
      // Resolution reads the value as a Win32 code only in the system category.
      EXPECT_TRUE(error.code().category() == std::system_category()) << error.code().category().name();
    }
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
  }
}

// Windows promises no place for "." and "..": a volume's root has neither,
// and network file systems order entries their own way. Whatever comes first
// is an entry like any other.
TEST_F(LegacyScanStandinTest, EveryEntryIsReadWhereverTheDotEntriesStand) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFile(kTokenA));
  standin::AddDirectory(Entry(kRoaming, L"b") + L"\\External\\com.greywick.van-tide\\PluginData");
  for (const standin::DotEntries where :
       {standin::DotEntries::kFirst, standin::DotEntries::kNone, standin::DotEntries::kLast}) {
    SCOPED_TRACE(static_cast<int>(where));
    standin::SetDotEntries(where);
    EXPECT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, kTokenA);
    EXPECT_EQ(standin::CallPaths(Api::CreateFileW),
              (std::vector<std::wstring>{FirstPlace(kRoaming, L"a"), SecondPlace(kRoaming, L"a"),
                                         FirstPlace(kRoaming, L"b"), SecondPlace(kRoaming, L"b")}));
  }
}

// A listing with nothing in it leads nowhere: no entry without a name, so no
// candidate under the storage folder itself, and the next base is still read.
TEST_F(LegacyScanStandinTest, AnEmptyListingReadsNothing) {
  standin::AddFile(FirstPlace(kLocal, L"p"), LegacyFile(kTokenA));
  const struct {
    const char* name;
    standin::DotEntries where;
    bool reportedAsNoMatch;
  } cases[] = {
      {"the dot entries alone", standin::DotEntries::kFirst, false},
      {"no dot entries either", standin::DotEntries::kNone, false},
      // What FindFirstFileExW reports when nothing at all matches, over a
      // folder whose own candidates only an unnamed entry would reach.
      {"reported as no match", standin::DotEntries::kFirst, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(kRoaming);
    standin::AddDirectory(Storage(kRoaming));
    standin::SetDotEntries(c.where);
    if (c.reportedAsNoMatch) {
      standin::AddFile(Storage(kRoaming) + L"\\External\\com.greywick.van-tide\\license-device.json",
                       LegacyFile(testing::kTokenACaseChanged));
      standin::InjectFault({Api::FindFirstFileExW, ERROR_FILE_NOT_FOUND, Storage(kRoaming) + L"\\*"});
    }
    EXPECT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, kTokenA);
    for (const standin::Call* call : CallsOf({Api::GetFileAttributesW, Api::CreateFileW})) {
      EXPECT_NE(call->path.rfind(Storage(kRoaming) + L"\\", 0), 0U) << standin::ApiName(call->api);
    }
  }
}

TEST_F(LegacyScanStandinTest, TheFirstFaultMetEndsTheScan) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFileWithVersion("2", kTokenA));
  standin::AddFile(FirstPlace(kRoaming, L"b"), LegacyFile(kTokenA));
  EXPECT_EQ(Scan(), kStatusInvalidData);
  EXPECT_EQ(standin::CallPaths(Api::CreateFileW), std::vector<std::wstring>{FirstPlace(kRoaming, L"a")});
}

}  // namespace
}  // namespace van_tide
