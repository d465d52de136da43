// The legacy storage scan: what it reads and in which order, and the failures
// that only the stand-in can bring about, another process's swaps mid-scan
// among them.
#include "legacy/legacy_scan.h"

#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/open_folder.h"
#include "support/standin_fixture.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using testing::kTokenA;
using testing::kTokenB;
using testing::LegacyFile;
using testing::LegacyFileWithVersion;

constexpr wchar_t kRoaming[] = L"C:\\Users\\me\\AppData\\Roaming";
constexpr wchar_t kLocal[] = L"C:\\Users\\me\\AppData\\Local";
constexpr wchar_t kLicenseFile[] = L"license-device.json";

// Paths as the record names the scan's opens: the path of the folder held,
// a backslash, then the member, so the fixed pieces read with backslashes.
std::wstring Storage(const std::wstring& base) { return base + L"\\Adobe\\UXP\\PluginsStorage\\PHSP"; }
std::wstring Entry(const std::wstring& base, const std::wstring& name) {
  return Storage(base) + L"\\" + name;
}
std::wstring PluginFolder(const std::wstring& base, const std::wstring& name) {
  return Entry(base, name) + L"\\External\\com.greywick.van-tide";
}
std::wstring PluginData(const std::wstring& base, const std::wstring& name) {
  return PluginFolder(base, name) + L"\\PluginData";
}
std::wstring FirstPlace(const std::wstring& base, const std::wstring& name) {
  return PluginData(base, name) + L"\\" + kLicenseFile;
}
std::wstring SecondPlace(const std::wstring& base, const std::wstring& name) {
  return PluginFolder(base, name) + L"\\" + kLicenseFile;
}

bool StartsWith(const std::wstring& text, const std::wstring& start) { return text.rfind(start, 0) == 0; }

class LegacyScanStandinTest : public testing::StandinTest {
 protected:
  LegacyScanStandinTest() {
    standin::SetEnvironmentVariable(L"LOCALAPPDATA", kLocal);
    standin::AddDirectory(kRoaming);
    standin::AddDirectory(kLocal);
  }
  void TearDown() override {
    roaming_ = VantideFolder();
    StandinTest::TearDown();
  }
  // The roaming folder is opened afresh first, as resolution opens it, and
  // held until the next scan; the record holds the scan alone.
  HRESULT Scan(bool withRoaming = true) {
    roaming_ = VantideFolder();
    if (withRoaming) {
      roaming_ = testing::OpenFolder(kRoaming);
      EXPECT_TRUE(roaming_.IsOpen());
    }
    standin::ClearCalls();
    for (const auto& [position, fault] : pendingFaults_) standin::InjectFaultAtCall(position, fault);
    pendingFaults_.clear();
    token_.clear();
    return VantideScanLegacyIdentities(withRoaming ? &roaming_ : nullptr, &token_);
  }
  // The next scan's `nth` call listing the roaming storage folder (counted
  // from 0) fails as `fault` says. The walk's own checks list the folder
  // above it, never this one.
  void FailStorageListing(std::size_t nth, const standin::Fault& fault) {
    Scan();
    std::size_t seen = 0;
    const std::vector<standin::Call>& calls = standin::Calls();
    for (std::size_t k = 0; k < calls.size(); ++k) {
      if (calls[k].api == Api::GetFileInformationByHandleEx &&
          calls[k].args.at(0) == FileIdBothDirectoryInfo && calls[k].path == Storage(kRoaming) &&
          seen++ == nth) {
        pendingFaults_.emplace_back(k, fault);
        return;
      }
    }
    ADD_FAILURE() << "the scan lists the storage folder fewer than " << nth + 1 << " times";
  }
  std::vector<std::pair<std::size_t, standin::Fault>> pendingFaults_;
  // Handles still open but the roaming folder the test holds.
  std::size_t HandlesLeftByTheScan() const {
    return standin::OpenHandleCount() - (roaming_.IsOpen() ? 1U : 0U);
  }
  // Where in the record of a scan of this machine the first call of `api` on
  // `path` stands: the position RunBeforeCall takes for the next scan.
  std::size_t PositionInScan(Api api, const std::wstring& path) {
    Scan();
    const std::vector<standin::Call>& calls = standin::Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].api == api && calls[i].path == path) return i;
    }
    ADD_FAILURE() << "the scan makes no such call";
    return calls.size();
  }
  // The files the scan tried to open, in order.
  static std::vector<std::wstring> CandidateOpens() {
    std::vector<std::wstring> opens;
    for (const std::wstring& path : standin::CallPaths(Api::NtCreateFile)) {
      if (path.ends_with(std::wstring(L"\\") + kLicenseFile)) opens.push_back(path);
    }
    return opens;
  }
  // Every call the scan made on `path` or on anything below it.
  static std::vector<std::wstring> CallsAtOrBelow(const std::wstring& path) {
    std::vector<std::wstring> found;
    for (const standin::Call& call : standin::Calls()) {
      if (call.path == path || StartsWith(call.path, path + L"\\")) {
        const std::string api = standin::ApiName(call.api);
        found.push_back(std::wstring(api.begin(), api.end()) + L" " + call.path);
      }
    }
    return found;
  }
  // The names a listing through the folder's handle gives, dot entries
  // included.
  static std::vector<std::wstring> Listed(const std::wstring& path) {
    std::vector<std::wstring> names;
    VantideFolder folder;
    bool missing = false;
    if (VantideOpenFolderPath(path, &folder, &missing) < 0) return names;
    std::vector<std::uint64_t> buffer(512);
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    while (GetFileInformationByHandleEx(folder.Handle(), FileFullDirectoryInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)))) {
      for (std::size_t at = 0;;) {
        FILE_FULL_DIR_INFO entry{};
        std::memcpy(&entry, bytes + at, offsetof(FILE_FULL_DIR_INFO, FileName));
        std::wstring name(entry.FileNameLength / sizeof(wchar_t), L'\0');
        std::memcpy(name.data(), bytes + at + offsetof(FILE_FULL_DIR_INFO, FileName), entry.FileNameLength);
        names.push_back(name);
        if (entry.NextEntryOffset == 0) break;
        at += entry.NextEntryOffset;
      }
    }
    return names;
  }
  VantideFolder roaming_;
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
  EXPECT_EQ(CandidateOpens(), expected);

  // LOCALAPPDATA is looked up before anything is touched. Only the local
  // folder's drive is opened by path; everything below a folder held is
  // opened through it, and nothing is asked about or listed by path.
  ASSERT_FALSE(standin::Calls().empty());
  EXPECT_EQ(standin::Calls().front().api, Api::WideDupEnv);
  EXPECT_EQ(standin::Calls().front().path, L"LOCALAPPDATA");
  EXPECT_EQ(standin::CallPaths(Api::CreateFileW), std::vector<std::wstring>{L"C:\\"});
  EXPECT_TRUE(standin::CallPaths(Api::GetFileAttributesW).empty());
  EXPECT_TRUE(standin::CallPaths(Api::FindFirstFileExW).empty());

  // Each storage folder is opened by the walk, listed through its handle,
  // and done with before the next base is taken up. (The walk's own checks
  // list the folders above through fresh handles.)
  std::vector<std::wstring> listing;
  for (const standin::Call& call : standin::Calls()) {
    std::wstring step;
    const bool storage = call.path == Storage(kRoaming) || call.path == Storage(kLocal);
    if (call.api == Api::NtCreateFile && storage && testing::IsWalkOpen(call)) {
      EXPECT_NE(call.args.at(0) & FILE_LIST_DIRECTORY, 0U);
      EXPECT_NE(call.args.at(3) & FILE_OPEN_REPARSE_POINT, 0U);
      step = L"open ";
    } else if (call.api == Api::GetFileInformationByHandleEx && call.args.at(0) == FileIdBothDirectoryInfo &&
               storage) {
      step = L"list ";
    } else {
      continue;
    }
    step += call.path;
    // However many calls a listing takes, it is one step.
    if (listing.empty() || listing.back() != step) listing.push_back(step);
  }
  EXPECT_EQ(listing, (std::vector<std::wstring>{L"open " + Storage(kRoaming), L"list " + Storage(kRoaming),
                                                L"open " + Storage(kLocal), L"list " + Storage(kLocal)}));
}

TEST_F(LegacyScanStandinTest, ReadsEachCandidateOncePerBaseFolder) {
  // 1,000 storage entries: most belong to other plug-ins, every tenth holds
  // our plug-in folder with a file in the first place, every twentieth in the
  // second place as well. The listing takes several calls.
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
    for (const std::wstring& path : CandidateOpens()) opens[path] += 1;
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

TEST_F(LegacyScanStandinTest, AnUnusableLocalFolderStopsBeforeAnythingIsTouched) {
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  const struct {
    const char* name;
    const wchar_t* local;  // null: unset
    bool withRoaming;
  } cases[] = {
      {"local unset", nullptr, true},
      {"local empty", L"", true},
      {"local relative", L"Users\\me\\AppData\\Local", true},
      {"local drive-relative", L"C:Users", true},
      // No roaming folder to scan changes nothing: the local one must be
      // usable all the same.
      {"local unset, no roaming folder", nullptr, false},
      {"local relative, no roaming folder", L"Users\\me\\AppData\\Local", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTree::SetEnvironment(L"LOCALAPPDATA", c.local);  // null unsets
    EXPECT_EQ(Scan(c.withRoaming), kStatusEnvironmentVariableNotFound);
    EXPECT_EQ(token_, "");
    for (const standin::Call& call : standin::Calls()) EXPECT_EQ(call.api, Api::WideDupEnv);
  }
}

TEST_F(LegacyScanStandinTest, WithoutARoamingFolderOnlyTheLocalOneIsRead) {
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenB));
  standin::AddFile(SecondPlace(kLocal, L"p"), LegacyFile(kTokenA));
  EXPECT_EQ(Scan(false), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
  EXPECT_EQ(CandidateOpens(), std::vector<std::wstring>{SecondPlace(kLocal, L"p")});
  EXPECT_TRUE(CallsAtOrBelow(kRoaming).empty());
}

TEST_F(LegacyScanStandinTest, AnEntryThatCannotBeOpenedOrJudgedFailsTheScan) {
  standin::AddDirectory(Entry(kRoaming, L"gone"));
  standin::AddFile(FirstPlace(kRoaming, L"kept"), LegacyFile(kTokenA));
  const struct {
    Api api;
    DWORD error;
    HRESULT status;
  } cases[] = {
      // Listed, then removed by the host before it was opened.
      {Api::NtCreateFile, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U)},
      {Api::NtCreateFile, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
      // A failure without a reason is still a failure.
      {Api::NtCreateFile, ERROR_SUCCESS, kStatusFailedWithoutReason},
      // Opened, then not to be judged.
      {Api::GetFileInformationByHandle, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
      {Api::GetFileInformationByHandleEx, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(standin::ApiName(c.api)) + " error " + std::to_string(c.error));
    // A folder refused with list access is tried again to pass through, and
    // refused again.
    const int count = c.api == Api::NtCreateFile && c.error == ERROR_ACCESS_DENIED ? 2 : 1;
    standin::InjectFault({.api = c.api, .error = c.error, .path = Entry(kRoaming, L"gone"), .count = count});
    EXPECT_EQ(Scan(), c.status);
    EXPECT_EQ(token_, "");
    EXPECT_TRUE(CandidateOpens().empty());
    EXPECT_EQ(HandlesLeftByTheScan(), 0U);
  }
}

TEST_F(LegacyScanStandinTest, ACandidateGoneBeforeItsOpenIsAbsent) {
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  standin::AddFile(SecondPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  standin::InjectFault({Api::NtCreateFile, ERROR_FILE_NOT_FOUND, FirstPlace(kRoaming, L"p")});
  EXPECT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);

  // Present but locked by the host: a failure, not an absence, and the token
  // read from the first place is not handed back with it.
  standin::InjectFault({Api::NtCreateFile, ERROR_SHARING_VIOLATION, SecondPlace(kRoaming, L"p")});
  EXPECT_EQ(Scan(), static_cast<HRESULT>(0x80070020U));
  EXPECT_EQ(token_, "");
}

// The platform lists "." and ".." in every folder but a root. Taken as plug-in
// entries they would lead the search into the storage folder itself and into
// its parent, where no plug-in keeps its data.
TEST_F(LegacyScanStandinTest, TheStorageFolderAndItsParentAreNoPluginEntries) {
  const std::wstring parent = kRoaming + std::wstring(L"\\Adobe\\UXP\\PluginsStorage");
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
    EXPECT_TRUE(CandidateOpens().empty());
    const std::vector<std::wstring> opened = standin::CallPaths(Api::NtCreateFile);
    EXPECT_EQ(std::find(opened.begin(), opened.end(), Entry(kRoaming, c.entry)), opened.end());
  }
}

TEST_F(LegacyScanStandinTest, AJunctionInTheStorageIsRefusedWithoutPluginData) {
  standin::AddDirectory(L"C:\\Elsewhere");
  standin::AddDirectoryLink(Entry(kLocal, L"linked"), L"C:\\Elsewhere");
  standin::AddFile(Entry(kLocal, L"notes.txt"), "not a folder");
  EXPECT_EQ(Scan(), kStatusCantAccessFile);
  // Refused as the listing reported it: neither it nor anything behind it
  // was opened.
  EXPECT_EQ(CallsAtOrBelow(Entry(kLocal, L"linked")), std::vector<std::wstring>{});
}

TEST_F(LegacyScanStandinTest, AFileLinkInTheStorageIsIgnored) {
  standin::AddFile(L"C:\\Elsewhere\\file", "x");
  standin::AddFileLink(Entry(kRoaming, L"link"), L"C:\\Elsewhere\\file");
  standin::AddFile(SecondPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  EXPECT_EQ(Scan(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
}

TEST_F(LegacyScanStandinTest, AStorageFolderThatCannotBeOpenedIsReported) {
  standin::AddDirectory(Storage(kRoaming));
  // Refused with list access, then to pass through as well.
  standin::InjectFault({.api = Api::NtCreateFile,
                        .error = ERROR_ACCESS_DENIED,
                        .path = L"C:\\Users\\me\\AppData\\Roaming\\Adobe",
                        .count = 2});
  EXPECT_EQ(Scan(), static_cast<HRESULT>(0x80070005U));
  EXPECT_TRUE(standin::CallPaths(Api::GetFileInformationByHandleEx).empty());
}

// A listing call that fails leaves the scan as the standard file-system error
// carrying the Win32 code, and holds no handle afterwards.
TEST_F(LegacyScanStandinTest, AListingFailureIsRaisedWithItsWin32Code) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFile(kTokenA));
  standin::AddFile(FirstPlace(kRoaming, L"b"), LegacyFile(kTokenA));
  const struct {
    const char* name;
    DWORD error;
    int skip;  // listing calls that go through first
    std::int64_t code;
  } cases[] = {
      {"first call denied", ERROR_ACCESS_DENIED, 0, 5},
      {"folder gone before the first call", ERROR_PATH_NOT_FOUND, 0, 3},
      {"next call failed after the entries", ERROR_NETNAME_DELETED, 1, 64},
      {"next call denied after the entries", ERROR_ACCESS_DENIED, 1, 5},
      // No reason given: still an error, never a code that reads as success.
      {"first call failed without reason", ERROR_SUCCESS, 0,
       static_cast<HRESULT>(kStatusFailedWithoutReason)},
      {"next call failed without reason", ERROR_SUCCESS, 1, static_cast<HRESULT>(kStatusFailedWithoutReason)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FailStorageListing(static_cast<std::size_t>(c.skip), {.error = c.error});
    try {
      Scan();
      ADD_FAILURE() << "no error raised";
    } catch (const std::filesystem::filesystem_error& error) {
      EXPECT_EQ(error.code().value(), c.code);
      EXPECT_TRUE(static_cast<bool>(error.code()));
      // Resolution reads the value as a Win32 code only in the system category.
      EXPECT_TRUE(error.code().category() == std::system_category()) << error.code().category().name();
    }
    // The entries the first call gave were read before the next one failed.
    EXPECT_EQ(CandidateOpens().size(), c.skip == 0 ? 0U : 4U);
    EXPECT_EQ(HandlesLeftByTheScan(), 0U);
  }
}

// Windows promises no place for "." and "..": a volume's root has neither,
// and network file systems order entries their own way. Whatever comes first
// is an entry like any other.
TEST_F(LegacyScanStandinTest, EveryEntryIsReadWhereverTheDotEntriesStand) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFile(kTokenA));
  standin::AddDirectory(PluginData(kRoaming, L"b"));
  for (const standin::DotEntries where :
       {standin::DotEntries::kFirst, standin::DotEntries::kNone, standin::DotEntries::kLast}) {
    SCOPED_TRACE(static_cast<int>(where));
    standin::SetDotEntries(where);
    EXPECT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, kTokenA);
    EXPECT_EQ(CandidateOpens(),
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
      // What the first listing call reports for a folder with nothing at all
      // in it, over a folder whose own candidates only an unnamed entry
      // would reach.
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
      FailStorageListing(0, {.error = ERROR_FILE_NOT_FOUND});
    }
    EXPECT_EQ(Scan(), kStatusOk);
    EXPECT_EQ(token_, kTokenA);
    for (const std::wstring& path : standin::CallPaths(Api::NtCreateFile)) {
      EXPECT_FALSE(StartsWith(path, Storage(kRoaming) + L"\\")) << ::testing::PrintToString(path);
    }
  }
}

TEST_F(LegacyScanStandinTest, TheFirstFaultMetEndsTheScan) {
  standin::AddFile(FirstPlace(kRoaming, L"a"), LegacyFileWithVersion("2", kTokenA));
  standin::AddFile(FirstPlace(kRoaming, L"b"), LegacyFile(kTokenA));
  EXPECT_EQ(Scan(), kStatusInvalidData);
  EXPECT_EQ(CandidateOpens(), std::vector<std::wstring>{FirstPlace(kRoaming, L"a")});
}

// Names reach the file system as written, relative to the storage folder
// held: a name Windows would rewrite in a path ("x " to "x", "CON" to the
// console) is the folder of that name like any other, and its files are read.
TEST_F(LegacyScanStandinTest, EntriesWithNamesAPathWouldRewriteAreScannedAsWritten) {
  const struct {
    const char* name;
    std::vector<std::pair<std::wstring, std::string>> entries;  // entry name, token in its first place
    HRESULT status;
    std::string token;
  } cases[] = {
      {"trailing blank", {{L"x ", kTokenA}}, kStatusOk, kTokenA},
      {"trailing period", {{L"x.", kTokenA}}, kStatusOk, kTokenA},
      {"device name", {{L"CON", kTokenA}}, kStatusOk, kTokenA},
      {"device name with an extension", {{L"nul.txt", kTokenA}}, kStatusOk, kTokenA},
      {"port name with a blank", {{L"Com1 ", kTokenA}}, kStatusOk, kTokenA},
      // Read as itself, not as the plain name beside it: the tokens differ.
      {"beside the plain name", {{L"x", kTokenA}, {L"x ", kTokenB}}, kStatusDuplicateName, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(kRoaming);
    standin::AddDirectory(kRoaming);
    for (const auto& [entry, token] : c.entries) {
      standin::AddFile(testing::LiteralForm(FirstPlace(kRoaming, entry)), LegacyFile(token));
    }
    EXPECT_EQ(Scan(), c.status);
    EXPECT_EQ(token_, c.token);
    const std::vector<std::wstring> opens = CandidateOpens();
    for (const auto& [entry, token] : c.entries) {
      EXPECT_NE(std::find(opens.begin(), opens.end(), FirstPlace(kRoaming, entry)), opens.end())
          << ::testing::PrintToString(entry);
    }
  }
}

// Another process replaces a storage entry after the listing gave it and
// before the scan opens it. The entry is judged by the handle the scan then
// holds: nothing is read through a link of either kind, on Windows (the
// handle is the link) or under Wine (the handle is its target); a plain file
// is no plug-in folder, and an entry gone is a failure.
TEST_F(LegacyScanStandinTest, AnEntrySwappedAfterItWasListedIsJudgedByWhatIsOpened) {
  const std::wstring entry = Entry(kRoaming, L"p");
  standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
  standin::AddFile(SecondPlace(kRoaming, L"q"), LegacyFile(kTokenA));
  standin::AddFile(L"C:\\Elsewhere\\External\\com.greywick.van-tide\\license-device.json",
                   LegacyFile(kTokenB));
  standin::AddFile(L"C:\\Elsewhere.json", LegacyFile(kTokenB));
  const struct {
    const char* name;
    std::function<void()> swap;
    bool handlesFollowLinks;
    HRESULT status;
    std::string token;
  } cases[] = {
      {"folder link", [&] { standin::AddDirectoryLink(entry, L"C:\\Elsewhere"); }, false,
       kStatusCantAccessFile, ""},
      {"folder link, handles follow links", [&] { standin::AddDirectoryLink(entry, L"C:\\Elsewhere"); }, true,
       kStatusCantAccessFile, ""},
      {"file link", [&] { standin::AddFileLink(entry, L"C:\\Elsewhere.json"); }, false, kStatusCantAccessFile,
       ""},
      {"file link, handles follow links", [&] { standin::AddFileLink(entry, L"C:\\Elsewhere.json"); }, true,
       kStatusCantAccessFile, ""},
      // Anything but the folder listed is a swap: refused, not passed over.
      {"plain file", [&] { standin::AddFile(entry, "x"); }, false, kStatusCantAccessFile, ""},
      {"gone", [&] { standin::Remove(entry); }, false, static_cast<HRESULT>(0x80070002U), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(entry);
    standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
    standin::SetHandlesFollowLinks(c.handlesFollowLinks);
    const std::size_t position = PositionInScan(Api::NtCreateFile, entry);
    standin::RunBeforeCall(position, [&] {
      standin::Remove(entry);
      c.swap();
    });
    EXPECT_EQ(Scan(), c.status);
    EXPECT_EQ(token_, c.token);
    // The premise: the swap came after the listing, just before the open.
    ASSERT_GT(standin::Calls().size(), position);
    EXPECT_EQ(standin::Calls()[position].path, entry);
    EXPECT_TRUE(CallsAtOrBelow(entry + L"\\External").empty());
  }
}

// Another process swaps the PluginData folder for a link to a folder of its
// choosing while the scan works below the plug-in folder: before PluginData
// is opened, or after, before the file in it is. Either way the other folder's
// file is never taken for ours.
TEST_F(LegacyScanStandinTest, APluginDataFolderSwappedMidScanIsNotReadThrough) {
  const std::wstring pluginData = PluginData(kRoaming, L"p");
  standin::AddFile(L"C:\\Elsewhere\\PluginData\\license-device.json", LegacyFile(kTokenB));
  const struct {
    const char* name;
    std::wstring before;  // the open the swap comes just before
    bool handlesFollowLinks;
  } cases[] = {
      {"before PluginData is opened", pluginData, false},
      {"before PluginData is opened, handles follow links", pluginData, true},
      {"after PluginData was opened", FirstPlace(kRoaming, L"p"), false},
      {"after PluginData was opened, handles follow links", FirstPlace(kRoaming, L"p"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(L"C:\\Moved");
    standin::Remove(pluginData);
    standin::AddFile(FirstPlace(kRoaming, L"p"), LegacyFile(kTokenA));
    standin::SetHandlesFollowLinks(c.handlesFollowLinks);
    const std::size_t position = PositionInScan(Api::NtCreateFile, c.before);
    standin::RunBeforeCall(position, [&] {
      // Moved away whole, so that a handle already open on it stays good.
      EXPECT_TRUE(MoveFileExW(pluginData.c_str(), L"C:\\Moved", 0));
      standin::AddDirectoryLink(pluginData, L"C:\\Elsewhere\\PluginData");
    });
    EXPECT_EQ(Scan(), kStatusCantAccessFile);
    EXPECT_EQ(token_, "");
    EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
  }
}

// A link anywhere between the base folder and a legacy file is refused, never
// read through: as itself where handles are the links (Windows), by where it
// leads where handles follow them (Wine).
TEST_F(LegacyScanStandinTest, ALinkAnywhereOnTheWayIsRefusedWhereverHandlesLead) {
  const std::wstring elsewhere = L"C:\\Elsewhere";
  const struct {
    const char* name;
    std::wstring link;
    std::wstring target;
    bool toFile;
  } places[] = {
      {"a member of the storage folder's path", kRoaming + std::wstring(L"\\Adobe\\UXP"),
       elsewhere + L"\\UXP", false},
      {"the plug-in's own folder", PluginFolder(kRoaming, L"p"), elsewhere + L"\\com.greywick.van-tide",
       false},
      {"PluginData", PluginData(kRoaming, L"p"), elsewhere + L"\\PluginData", false},
      {"the file in PluginData", FirstPlace(kRoaming, L"p"), elsewhere + L"\\license-device.json", true},
      {"the file in the plug-in's folder", SecondPlace(kRoaming, L"p"), elsewhere + L"\\license-device.json",
       true},
  };
  // Each target holds what its link would show in its place: a legacy file
  // of another token wherever one could be looked for.
  standin::AddFile(
      elsewhere + L"\\UXP\\PluginsStorage\\PHSP\\p\\External\\com.greywick.van-tide\\" + kLicenseFile,
      LegacyFile(kTokenB));
  standin::AddFile(elsewhere + L"\\com.greywick.van-tide\\" + kLicenseFile, LegacyFile(kTokenB));
  standin::AddFile(elsewhere + L"\\PluginData\\" + kLicenseFile, LegacyFile(kTokenB));
  standin::AddFile(elsewhere + L"\\" + kLicenseFile, LegacyFile(kTokenB));
  for (const auto& place : places) {
    for (const bool handlesFollowLinks : {false, true}) {
      SCOPED_TRACE(std::string(place.name) + (handlesFollowLinks ? ", handles follow links" : ""));
      standin::Remove(kRoaming);
      standin::AddDirectory(PluginData(kRoaming, L"p"));
      if (place.toFile) {
        standin::AddFileLink(place.link, place.target);
      } else {
        standin::AddDirectoryLink(place.link, place.target);
      }
      standin::SetHandlesFollowLinks(handlesFollowLinks);
      EXPECT_EQ(Scan(), kStatusCantAccessFile);
      EXPECT_EQ(token_, "");
      EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
    }
  }
}

}  // namespace
}  // namespace van_tide
