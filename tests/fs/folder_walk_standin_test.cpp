// What the walk asks the file system, in which order, how it reads the
// answers, and what another process swapping folders for links meanwhile can
// and cannot make it do.
#include "fs/folder_walk.h"

#include "fs/atomic_file.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/open_folder.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using standin::Fault;
using testing::OpenFolder;

// Every folder of the walk is opened to be listed, since a member's check
// reads its parent's listing; nothing more is asked.
constexpr ACCESS_MASK kList = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Added to every relative open: the member itself, never what it leads to.
constexpr ULONG kOwnName = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002U);
constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003U);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005U);

// The information classes a check reads: a handle's path on its volume, and
// a parent's listing with identities.
constexpr DWORD kNameInfo = FileNameInfo;
constexpr DWORD kListInfo = FileIdBothDirectoryInfo;

// One relative open as readable text, so that a mismatch shows the whole
// sequence: "C:\a create {options}".
std::wstring Describe(const std::wstring& path, ULONG disposition, ULONG options) {
  return path + (disposition == FILE_CREATE ? L" create " : L" open ") + std::to_wstring(options);
}

// The paths of every open, by path or relative, in order.
std::vector<std::wstring> OpenPaths() {
  std::vector<std::wstring> paths;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::CreateFileW || call.api == Api::NtCreateFile) paths.push_back(call.path);
  }
  return paths;
}

// The relative opens of members, without the fresh handles a check opens on
// a parent to list it.
std::vector<std::wstring> RelativeOpens() {
  std::vector<std::wstring> opens;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::NtCreateFile && testing::IsWalkOpen(call)) {
      opens.push_back(Describe(call.path, call.args.at(2), call.args.at(3)));
    }
  }
  return opens;
}

using testing::DescribeCall;
using testing::RecordedCalls;

// The position in the record of the first call of `api` on `path`, for a hook
// that acts just before it.
std::size_t PositionOf(Api api, const std::wstring& path) {
  const auto& calls = standin::Calls();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].api == api && calls[i].path == path) return i;
  }
  ADD_FAILURE() << "no such call";
  return calls.size();
}

// Walks `path` once, undisturbed, to `status`, and gives the position of the
// call of `api` on `callPath` in that walk; the record is emptied after, so
// that the same walk again counts from 0.
std::size_t PositionInWalk(const wchar_t* path, HRESULT status, Api api, const std::wstring& callPath) {
  standin::ClearCalls();
  VantideFolder folder;
  bool missing = false;
  EXPECT_EQ(VantideOpenFolderPath(path, &folder, &missing), status);
  const std::size_t position = PositionOf(api, callPath);
  folder = VantideFolder();
  standin::ClearCalls();
  return position;
}

class FolderWalkStandinTest : public testing::StandinTest {};

// ---------------------------------------------------------------------------
// The walk by path
// ---------------------------------------------------------------------------

struct OpenCase {
  const wchar_t* path;
  const wchar_t* start;               // the one open by path
  std::vector<std::wstring> members;  // the relative opens, by handle path and name
  const wchar_t* pathOnVolume;        // of the folder held at the end
};

// The start is opened by path exactly as written, each member relative to the
// one above, one open each, separators of either kind and in runs. A share's
// root is named on its volume by its server and share.
const OpenCase kOpenCases[] = {
    {L"C:\\Users\\me\\AppData\\Roaming\\Vantide",
     L"C:\\",
     {L"C:\\Users", L"C:\\Users\\me", L"C:\\Users\\me\\AppData", L"C:\\Users\\me\\AppData\\Roaming",
      L"C:\\Users\\me\\AppData\\Roaming\\Vantide"},
     L"\\Users\\me\\AppData\\Roaming\\Vantide"},
    {L"C:/a//b", L"C:/", {L"C:/a", L"C:/a\\b"}, L"\\a\\b"},
    {L"C:\\a\\", L"C:\\", {L"C:\\a"}, L"\\a"},
    {L"C:\\", L"C:\\", {}, L"\\"},
    {L"\\\\server\\share\\d", L"\\\\server\\share\\", {L"\\\\server\\share\\d"}, L"\\server\\share\\d"},
    {L"\\\\server\\share", L"\\\\server\\share", {}, L"\\server\\share"},
    // Behind a device prefix the drive or the share belongs to the start.
    {L"\\\\?\\C:\\x\\y", L"\\\\?\\C:\\", {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x\\y"}, L"\\x\\y"},
    {L"\\??\\C:\\x", L"\\??\\C:\\", {L"\\??\\C:\\x"}, L"\\x"},
    {L"\\\\?\\UNC\\server\\share\\x",
     L"\\\\?\\UNC\\server\\share\\",
     {L"\\\\?\\UNC\\server\\share\\x"},
     L"\\server\\share\\x"},
    {L"\\\\?\\C:\\", L"\\\\?\\C:\\", {}, L"\\"},
};

TEST_F(FolderWalkStandinTest, OpensTheStartByPathAndEachMemberBelowTheOneAbove) {
  standin::AddDirectory(L"C:\\Users\\me\\AppData\\Roaming\\Vantide");
  standin::AddDirectory(L"C:\\a\\b");
  standin::AddDirectory(L"C:\\x\\y");
  standin::AddDirectory(L"\\\\server\\share\\d");
  standin::AddDirectory(L"\\\\server\\share\\x");
  for (const OpenCase& c : kOpenCases) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    standin::ClearCalls();
    VantideFolder folder;
    bool missing = true;
    ASSERT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), kStatusOk);
    EXPECT_TRUE(missing);  // left as it was
    const std::vector<DWORD> startArgs = {kList, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS};
    ASSERT_EQ(standin::CallPaths(Api::CreateFileW), std::vector<std::wstring>{c.start});
    EXPECT_EQ(standin::Calls().front().args, startArgs);
    std::vector<std::wstring> expected;
    for (const std::wstring& member : c.members) expected.push_back(Describe(member, FILE_OPEN, kOwnName));
    EXPECT_EQ(RelativeOpens(), expected);
    EXPECT_EQ(folder.PathOnVolume(), c.pathOnVolume);
    // Only the folder the walk ends at stays open: the one it hands back.
    EXPECT_EQ(standin::OpenHandlePaths(),
              std::vector<std::wstring>{c.members.empty() ? std::wstring(c.start) : c.members.back()});
  }
}

// The whole exchange for one member: the start is opened by path and read
// for its identity and its path on its volume; the member is opened below
// it and read the same way; then a fresh handle on the start, opened by the
// empty name as a folder, lists it until the member's entry shows, and is
// closed. Every folder, the fresh one included, is opened to be listed and
// to nothing more: the start's listing is what the member's check reads.
TEST_F(FolderWalkStandinTest, JudgesAMemberByItsHandleThenByItsParentsListing) {
  standin::AddDirectory(L"C:\\a\\b");
  const struct {
    const wchar_t* path;
    std::vector<std::wstring> calls;
  } cases[] = {
      {L"C:\\a",
       {DescribeCall(Api::CreateFileW, L"C:\\",
                     {kList, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS}),
        DescribeCall(Api::GetFileInformationByHandle, L"C:\\"),
        DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\", {kNameInfo}),
        DescribeCall(Api::NtCreateFile, L"C:\\a", {kList, kShareAll, FILE_OPEN, kOwnName}),
        DescribeCall(Api::GetFileInformationByHandle, L"C:\\a"),
        DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\a", {kNameInfo}),
        DescribeCall(Api::NtCreateFile, L"C:\\",
                     {kList, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | kOwnName}),
        DescribeCall(Api::GetFileInformationByHandle, L"C:\\"),
        DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\", {kListInfo}),
        DescribeCall(Api::CloseHandle, L"C:\\"),
        // The start, once the member below it is held.
        DescribeCall(Api::CloseHandle, L"C:\\")}},
      // The start alone is read, never listed: nothing above it is judged.
      {L"C:\\",
       {DescribeCall(Api::CreateFileW, L"C:\\",
                     {kList, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS}),
        DescribeCall(Api::GetFileInformationByHandle, L"C:\\"),
        DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\", {kNameInfo})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    standin::ClearCalls();
    VantideFolder folder;
    bool missing = false;
    ASSERT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), kStatusOk);
    EXPECT_EQ(RecordedCalls(), c.calls);
  }
}

// A parent with more entries than one read of its listing holds is read on
// until the member's entry shows, through the same fresh handle.
TEST_F(FolderWalkStandinTest, ReadsAParentsListingOnUntilTheMemberShows) {
  for (int i = 0; i < 300; ++i) standin::AddDirectory(L"C:\\p\\sibling-" + std::to_wstring(1000 + i));
  standin::AddDirectory(L"C:\\p\\zz");
  const VantideFolder parent = OpenFolder(L"C:\\p");
  ASSERT_TRUE(parent.IsOpen());
  standin::ClearCalls();
  VantideFolder folder;
  bool missing = false;
  ASSERT_EQ(VantideOpenFolderBelow(parent, L"zz", &folder, &missing), kStatusOk);
  EXPECT_EQ(folder.PathOnVolume(), L"\\p\\zz");
  std::size_t reads = 0;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::GetFileInformationByHandleEx && call.args.at(0) == kListInfo) ++reads;
  }
  EXPECT_GT(reads, 1U);
  EXPECT_EQ(standin::CallPaths(Api::NtCreateFile), (std::vector<std::wstring>{L"C:\\p\\zz", L"C:\\p"}));
}

// The listing a check reads is the parent's only if the fresh handle it is
// read through is the parent held. Here that handle reaches another folder,
// into which the member moved once its path had been read: that folder's
// listing holds the member as a plain entry with its very file index, yet
// the member is no longer the parent's.
TEST_F(FolderWalkStandinTest, RefusesAMemberWhenTheFreshHandleOnItsParentIsAnotherFolder) {
  standin::AddDirectory(L"C:\\p\\m");
  standin::AddDirectory(L"C:\\x");
  const VantideFolder parent = OpenFolder(L"C:\\p");
  ASSERT_TRUE(parent.IsOpen());
  standin::RedirectReopen(L"C:\\p", L"C:\\x");
  standin::ClearCalls();
  // The member's open, identity and path on its volume come first.
  standin::RunBeforeCall(3,
                         [] { ASSERT_TRUE(MoveFileExW(L"C:\\p\\m", L"C:\\x\\m", MOVEFILE_WRITE_THROUGH)); });
  VantideFolder folder;
  bool missing = true;
  EXPECT_EQ(VantideOpenFolderBelow(parent, L"m", &folder, &missing), kStatusCantAccessFile);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(folder.IsOpen());
  // The member, then the fresh handle: the move came just before it.
  EXPECT_EQ(standin::CallPaths(Api::NtCreateFile), (std::vector<std::wstring>{L"C:\\p\\m", L"C:\\p"}));
}

// Every folder of a longer walk, and every fresh handle its checks list, is
// opened with list access: a folder opened to be passed through only would
// fail the check of the member below it.
TEST_F(FolderWalkStandinTest, OpensEveryFolderOfTheWalkToBeListed) {
  standin::AddDirectory(L"C:\\a\\b\\c");
  VantideFolder folder;
  bool missing = false;
  ASSERT_EQ(VantideOpenFolderPath(L"C:\\a\\b\\c\\", &folder, &missing), kStatusOk);
  std::vector<DWORD> access;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::CreateFileW || call.api == Api::NtCreateFile) access.push_back(call.args.at(0));
  }
  // The start, then each of three members and the fresh handle on its parent.
  EXPECT_EQ(access, std::vector<DWORD>(7, kList));
}

// A folder that lets the user pass through but not list it, as home folders
// on a server often do (the share's root, a folder of all users' folders).
// Where a handle is the item itself, its members are judged without the
// listing; where an open may follow a link (Wine), the listing is the one
// test a link swapped back cannot pass, and a member that goes without it is
// refused. A link below such a folder is refused either way.
TEST_F(FolderWalkStandinTest, AFolderThatCannotBeListedIsPassedThroughWhereHandlesAreTheItems) {
  const struct {
    const char* what;
    const wchar_t* unlisted;
    const wchar_t* path;
    HRESULT windows;
    HRESULT wine;
  } cases[] = {
      {"the start", L"C:\\", L"C:\\home\\me\\Roaming", kStatusOk, kAccessDenied},
      {"a folder on the way", L"C:\\home", L"C:\\home\\me\\Roaming", kStatusOk, kAccessDenied},
      {"the last member", L"C:\\home\\me\\Roaming", L"C:\\home\\me\\Roaming", kStatusOk, kStatusOk},
      // Under Wine the link's path gives it away before the listing is asked.
      {"a link below it", L"C:\\home", L"C:\\home\\link\\Roaming", kStatusCantAccessFile,
       kStatusCantAccessFile},
  };
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the items themselves");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      standin::Reset();
      standin::SetHandlesFollowLinks(wine);
      standin::AddDirectory(L"C:\\home\\me\\Roaming");
      standin::AddDirectory(L"C:\\elsewhere\\Roaming");
      standin::AddDirectoryLink(L"C:\\home\\link", L"C:\\elsewhere");
      standin::DenyAccess(c.unlisted, FILE_LIST_DIRECTORY);
      VantideFolder folder;
      bool missing = false;
      EXPECT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), wine ? c.wine : c.windows);
      EXPECT_FALSE(missing);
      if ((wine ? c.wine : c.windows) == kStatusOk) {
        EXPECT_TRUE(folder.IsOpen());
      }
      // The folder is passed through, never listed, and nothing is opened
      // behind the link.
      for (const standin::Call& call : standin::Calls()) {
        EXPECT_NE(call.path.rfind(L"C:\\elsewhere", 0), 0U) << call.path;
      }
    }
  }
}

// A DFS namespace leads a folder of its share to another server's share
// through a reparse point on the namespace server. The walk follows no
// redirection, an administrator's included: a profile redirected through a
// namespace is refused, as a link there would be (the namespace's target,
// \\files\home\me\..., is walked as any share). Under Wine the handle reads
// as the target, on another volume.
TEST_F(FolderWalkStandinTest, AFolderOfADfsNamespaceIsRefusedAsTheRedirectionItIs) {
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the items themselves");
    standin::Reset();
    standin::SetHandlesFollowLinks(wine);
    standin::AddDirectory(L"\\\\files\\home\\me\\AppData\\Roaming");
    standin::AddDirectoryLink(L"\\\\corp\\dfs\\users", L"\\\\files\\home");
    VantideFolder folder;
    bool missing = false;
    EXPECT_EQ(VantideOpenFolderPath(L"\\\\corp\\dfs\\users\\me\\AppData\\Roaming", &folder, &missing),
              kStatusCantAccessFile);
    EXPECT_FALSE(missing);
    EXPECT_EQ(VantideOpenFolderPath(L"\\\\files\\home\\me\\AppData\\Roaming", &folder, &missing), kStatusOk);
  }
}

// A path that names no drive or share of its own would start wherever the
// current folder happens to be: nothing is opened, nothing is written.
TEST_F(FolderWalkStandinTest, RefusesAPathWithoutAStartOfItsOwnBeforeOpeningAnything) {
  standin::AddDirectory(L"C:\\a\\b");
  for (const wchar_t* path : {L"", L"C:", L"C:a\\b", L"a\\b", L"\\a\\b", L"."}) {
    SCOPED_TRACE(path);
    standin::ClearCalls();
    VantideFolder folder;
    bool missing = true;
    std::wstring rest = L"untouched";
    EXPECT_EQ(VantideOpenFolderPath(path, &folder, &missing, &rest), kStatusInvalidName);
    EXPECT_TRUE(missing);
    EXPECT_EQ(rest, L"untouched");
    EXPECT_FALSE(folder.IsOpen());
    EXPECT_TRUE(standin::Calls().empty());
  }
}

struct MissingCase {
  const wchar_t* path;
  HRESULT status;
  const wchar_t* rest;      // the members from the missing one on
  const wchar_t* lastOpen;  // the open that failed
  const wchar_t* deepest;   // the path on its volume of the folder held; null: none
};

// The walk stops at the first missing member, tells it and everything below
// it, and holds the deepest folder that exists, for creation to go on from.
const MissingCase kMissingCases[] = {
    {L"C:\\Users\\me\\AppData\\Roaming\\Vantide", kFileNotFound, L"Roaming\\Vantide",
     L"C:\\Users\\me\\AppData\\Roaming", L"\\Users\\me\\AppData"},
    {L"C:\\Users\\me\\AppData\\Roaming", kFileNotFound, L"Roaming", L"C:\\Users\\me\\AppData\\Roaming",
     L"\\Users\\me\\AppData"},
    // The rest is told with single backslashes, whatever separated it.
    {L"C:/Users//Absent/x\\\\", kFileNotFound, L"Absent\\x", L"C:/Users\\Absent", L"\\Users"},
    {L"C:\\Absent\\x", kFileNotFound, L"Absent\\x", L"C:\\Absent", L"\\"},
    {L"\\\\server\\share\\Absent", kFileNotFound, L"Absent", L"\\\\server\\share\\Absent",
     L"\\server\\share"},
    // No such drive: nothing is held, everything below the start is missing.
    {L"Q:\\a\\b", kPathNotFound, L"a\\b", L"Q:\\", nullptr},
};

TEST_F(FolderWalkStandinTest, StopsAtTheFirstMissingMemberAndHoldsTheDeepestFolder) {
  standin::AddDirectory(L"C:\\Users\\me\\AppData");
  standin::AddDirectory(L"\\\\server\\share");
  for (const MissingCase& c : kMissingCases) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    standin::ClearCalls();
    VantideFolder folder;
    bool missing = false;
    std::wstring rest;
    EXPECT_EQ(VantideOpenFolderPath(c.path, &folder, &missing, &rest), c.status);
    EXPECT_TRUE(missing);
    EXPECT_EQ(rest, c.rest);
    EXPECT_EQ(OpenPaths().back(), c.lastOpen);
    EXPECT_EQ(folder.IsOpen(), c.deepest != nullptr);
    if (c.deepest != nullptr) {
      EXPECT_EQ(folder.PathOnVolume(), c.deepest);
      EXPECT_EQ(standin::OpenHandleCount(), 1U);
    } else {
      EXPECT_EQ(standin::OpenHandleCount(), 0U);
    }
  }
}

// Below a folder already held, the walk holds nothing when the first member
// is missing: the deepest folder that exists is the caller's own.
TEST_F(FolderWalkStandinTest, BelowAFolderTheFirstMissingMemberLeavesNothingHeld) {
  standin::AddDirectory(L"C:\\a\\b");
  const VantideFolder from = OpenFolder(L"C:\\a");
  ASSERT_TRUE(from.IsOpen());
  const struct {
    const wchar_t* members;
    const wchar_t* rest;
    const wchar_t* deepest;  // null: nothing held
  } cases[] = {
      {L"b\\Absent\\c", L"Absent\\c", L"\\a\\b"},
      {L"Absent", L"Absent", nullptr},
      {L"/Absent//c/", L"Absent\\c", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    VantideFolder folder;
    bool missing = false;
    std::wstring rest;
    EXPECT_EQ(VantideOpenFolderBelow(from, c.members, &folder, &missing, &rest), kFileNotFound);
    EXPECT_TRUE(missing);
    EXPECT_EQ(rest, c.rest);
    EXPECT_EQ(folder.IsOpen(), c.deepest != nullptr);
    if (c.deepest != nullptr) {
      EXPECT_EQ(folder.PathOnVolume(), c.deepest);
    }
    EXPECT_TRUE(from.IsOpen());
  }
}

// Members "C:\a" and "C:\a\b" exist; a planned fault decides the outcome.
struct FaultCase {
  const char* what;
  Fault fault;
  HRESULT status;
  bool missing;
};

Fault Fails(Api api, const wchar_t* path, DWORD error) { return {.api = api, .error = error, .path = path}; }

// The flag separates "not there" from "refused" and is written on every
// failure, so a stale true from the caller does not survive access denied.
// clang-format off
const FaultCase kFaultCases[] = {
    {"the start not found", Fails(Api::CreateFileW, L"C:\\", ERROR_FILE_NOT_FOUND), kFileNotFound, true},
    // Refused with list access, then to pass through as well.
    {"the start refused", {.api = Api::CreateFileW, .error = ERROR_ACCESS_DENIED, .path = L"C:\\", .count = 2},
     kAccessDenied, false},
    {"the start fails without a reason", Fails(Api::CreateFileW, L"C:\\", 0), kStatusFailedWithoutReason,
     false},
    {"the start's identity", Fails(Api::GetFileInformationByHandle, L"C:\\", ERROR_ACCESS_DENIED),
     kAccessDenied, false},
    {"the start's path on its volume", Fails(Api::GetFileInformationByHandleEx, L"C:\\", ERROR_ACCESS_DENIED),
     kAccessDenied, false},
    {"a member not found", Fails(Api::NtCreateFile, L"C:\\a", ERROR_FILE_NOT_FOUND), kFileNotFound, true},
    {"a member's path not found", Fails(Api::NtCreateFile, L"C:\\a", ERROR_PATH_NOT_FOUND), kPathNotFound,
     true},
    // Refused with list access, then to pass through as well.
    {"a member refused", {.api = Api::NtCreateFile, .error = ERROR_ACCESS_DENIED, .path = L"C:\\a", .count = 2},
     kAccessDenied, false},
    {"a member's name refused", Fails(Api::NtCreateFile, L"C:\\a", ERROR_INVALID_NAME), kStatusInvalidName,
     false},
    {"a member's network gone", Fails(Api::NtCreateFile, L"C:\\a", ERROR_BAD_NETPATH),
     static_cast<HRESULT>(0x80070035U), false},
    {"a member fails without a reason", Fails(Api::NtCreateFile, L"C:\\a\\b", 0), kStatusFailedWithoutReason,
     false},
    {"a member's attributes", Fails(Api::GetFileInformationByHandle, L"C:\\a", ERROR_ACCESS_DENIED),
     kAccessDenied, false},
    {"a member's attributes without a reason", Fails(Api::GetFileInformationByHandle, L"C:\\a\\b", 0),
     kStatusFailedWithoutReason, false},
    // Only an open of the member itself tells that it is missing.
    {"a member's path on its volume",
     Fails(Api::GetFileInformationByHandleEx, L"C:\\a\\b", ERROR_FILE_NOT_FOUND), kFileNotFound, false},
    {"a member's path on its volume without a reason", Fails(Api::GetFileInformationByHandleEx, L"C:\\a", 0),
     kStatusFailedWithoutReason, false},
    // The fresh handle a check lists its parent through; the start's first
    // read of each kind is its own, the second the check's.
    {"the parent's fresh handle not found", Fails(Api::NtCreateFile, L"C:\\", ERROR_FILE_NOT_FOUND),
     kFileNotFound, false},
    {"the parent's fresh handle in use",
     {.api = Api::NtCreateFile, .error = ERROR_SHARING_VIOLATION, .path = L"C:\\a", .skip = 1},
     static_cast<HRESULT>(0x80070020U), false},
    {"the fresh handle's identity",
     {.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED, .path = L"C:\\", .skip = 1},
     kAccessDenied, false},
    {"the parent's listing",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_NETNAME_DELETED, .path = L"C:\\", .skip = 1},
     static_cast<HRESULT>(0x80070040U), false},
    {"the parent's listing without a reason",
     {.api = Api::GetFileInformationByHandleEx, .error = 0, .path = L"C:\\a", .skip = 1},
     kStatusFailedWithoutReason, false},
    // A listing that ends before the member's entry shows: gone from there.
    {"the parent's listing ends",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = L"C:\\", .skip = 1},
     kStatusCantAccessFile, false},
    {"the parent's listing is empty",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_FILE_NOT_FOUND, .path = L"C:\\a", .skip = 1},
     kStatusCantAccessFile, false},
};
// clang-format on

TEST_F(FolderWalkStandinTest, MapsEachFailedCallToItsStatusAndWritesTheFlag) {
  standin::AddDirectory(L"C:\\a\\b");
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(c.what);
    standin::ClearCalls();
    standin::InjectFault(c.fault);
    VantideFolder folder;
    bool missing = !c.missing;
    EXPECT_EQ(VantideOpenFolderPath(L"C:\\a\\b", &folder, &missing), c.status);
    EXPECT_EQ(missing, c.missing);
    // Nothing past the failure is opened.
    const std::vector<std::wstring> opens = standin::CallPaths(Api::NtCreateFile);
    if (!opens.empty()) {
      EXPECT_EQ(opens.back(), c.fault.path);
    }
  }
}

TEST_F(FolderWalkStandinTest, ACallerNeedNotAskWhetherAMemberIsMissing) {
  VantideFolder folder;
  EXPECT_EQ(VantideOpenFolderPath(L"C:\\Absent\\x", &folder, nullptr), kFileNotFound);
  EXPECT_EQ(VantideOpenFolderBelow(OpenFolder(L"C:\\"), L"Absent", &folder, nullptr), kFileNotFound);
}

// ---------------------------------------------------------------------------
// Links, files and names in the way
// ---------------------------------------------------------------------------

struct RefusalCase {
  const wchar_t* path;
  const wchar_t* refused;  // the member the walk stops at
  HRESULT windows;         // an open of the member itself
  HRESULT wine;            // an open that follows a link whatever it is told
  bool wineMissing = false;
};

// Windows tells a link by its reparse attribute, before it tells a file;
// under Wine the handle reads as the target, and only its path on its
// volume, which is not the member's, gives the link away. A file is never a
// folder. A folder whose handle reports another volume than the folder above
// is no member of it, though its path on its volume and its parent's listing
// both read as the member's: the path leaves the volume out.
const RefusalCase kRefusalCases[] = {
    {L"C:\\junction", L"C:\\junction", kStatusCantAccessFile, kStatusCantAccessFile},
    {L"C:\\junction\\", L"C:\\junction", kStatusCantAccessFile, kStatusCantAccessFile},
    {L"C:\\junction\\inner", L"C:\\junction", kStatusCantAccessFile, kStatusCantAccessFile},
    {L"C:\\outer\\junction", L"C:\\outer\\junction", kStatusCantAccessFile, kStatusCantAccessFile},
    // Under Wine a file link opens as its file, and is refused as a link all
    // the same: its path is the file's.
    {L"C:\\filelink", L"C:\\filelink", kStatusCantAccessFile, kStatusCantAccessFile},
    // Under Wine a link to nothing is nothing.
    {L"C:\\dangling\\x", L"C:\\dangling", kStatusCantAccessFile, static_cast<HRESULT>(0x80070002U), true},
    {L"C:\\target\\file", L"C:\\target\\file", kStatusNotADirectory, kStatusNotADirectory},
    {L"C:\\target\\file\\below", L"C:\\target\\file", kStatusNotADirectory, kStatusNotADirectory},
    {L"C:\\mounted", L"C:\\mounted", kStatusCantAccessFile, kStatusCantAccessFile},
};

TEST_F(FolderWalkStandinTest, RefusesALinkOrAFileWhereAFolderBelongs) {
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the links themselves");
    standin::Reset();
    standin::SetHandlesFollowLinks(wine);
    standin::AddDirectory(L"C:\\target\\inner");
    standin::AddFile(L"C:\\target\\file", "x");
    standin::AddDirectoryLink(L"C:\\junction", L"C:\\target");
    standin::AddDirectoryLink(L"C:\\outer\\junction", L"C:\\target");
    standin::AddFileLink(L"C:\\filelink", L"C:\\target\\file");
    standin::AddDirectoryLink(L"C:\\dangling", L"C:\\nothing");
    standin::AddDirectory(L"C:\\mounted");
    standin::SetReportedVolumeSerial(L"C:\\mounted", 0x0D15C0DEU);
    for (const RefusalCase& c : kRefusalCases) {
      SCOPED_TRACE(std::wstring(L"path: ") + c.path);
      standin::ClearCalls();
      VantideFolder folder;
      bool missing = true;
      EXPECT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), wine ? c.wine : c.windows);
      EXPECT_EQ(missing, wine && c.wineMissing);
      std::wstring lastMember;
      for (const standin::Call& call : standin::Calls()) {
        if (call.api == Api::NtCreateFile && testing::IsWalkOpen(call)) lastMember = call.path;
      }
      EXPECT_EQ(lastMember, c.refused);
      EXPECT_FALSE(standin::Exists(L"C:\\nothing"));
    }
  }
}

// Below the start every member reaches the file system exactly as written,
// where nothing rewrites it: a trailing blank or period stays, and a device
// name names a folder like any other. "me" beside them is never taken for
// them.
TEST_F(FolderWalkStandinTest, ANameWindowsRewritesInPathsIsAnOrdinaryFolderBelowTheStart) {
  standin::AddDirectory(L"C:\\me\\Roaming");
  for (const wchar_t* member : {L"me ", L"me.", L"me. ", L"CON", L"con.txt", L"Nul ", L"COM1", L"lpt9.log",
                                L"COM\u00B9", L"CONOUT$"}) {
    SCOPED_TRACE(member);
    standin::AddDirectory(std::wstring(L"\\\\?\\C:\\") + member + L"\\Roaming");
    for (const std::wstring& below : {std::wstring(), std::wstring(L"\\Roaming")}) {
      const std::wstring path = std::wstring(L"C:\\") + member + below;
      SCOPED_TRACE(path);
      standin::ClearCalls();
      VantideFolder folder;
      bool missing = false;
      ASSERT_EQ(VantideOpenFolderPath(path, &folder, &missing), kStatusOk);
      EXPECT_EQ(standin::CallPaths(Api::NtCreateFile).front(), std::wstring(L"C:\\") + member);
      EXPECT_EQ(folder.PathOnVolume(), path.substr(2));
    }
  }
}

// A step up or aside, or a stream, is no entry of the folder above: the walk
// is refused where it meets one and never leaves the chain it was given.
TEST_F(FolderWalkStandinTest, ANameNoFolderCanHaveIsRefusedWhereItStands) {
  standin::AddDirectory(L"C:\\a\\b");
  for (const wchar_t* path :
       {L"C:\\a\\..\\a\\b", L"C:\\a\\.\\b", L"C:\\..", L"C:\\a:s", L"C:\\a\\b::$INDEX_ALLOCATION"}) {
    SCOPED_TRACE(path);
    standin::ClearCalls();
    VantideFolder folder;
    bool missing = true;
    std::wstring rest = L"untouched";
    EXPECT_EQ(VantideOpenFolderPath(path, &folder, &missing, &rest), kStatusInvalidName);
    EXPECT_FALSE(missing);
    EXPECT_EQ(rest, L"untouched");
  }
}

// How a handle names a member reached by its 8.3 short name: Windows keeps the
// short name for the member itself and may or may not for the folders above
// it; Wine gives long names throughout.
struct NamingCase {
  const char* what;
  bool wine;
  standin::ShortNamesInNames names;
};
const NamingCase kNamings[] = {
    {"the handle's own short name", false, standin::ShortNamesInNames::kLastOnly},
    {"every short name of the chain", false, standin::ShortNamesInNames::kWholeChain},
    {"long names, as under Wine", true, standin::ShortNamesInNames::kLastOnly},
};

// A member written as its short name, or as its long name in any case, is
// the entry its parent lists, and the walk goes on below it whichever way the
// handles name it. The folder held names itself as its handle does; its path
// by long names is the same whatever was written.
TEST_F(FolderWalkStandinTest, TakesAShortNameOrTheLongNameInAnyCase) {
  const struct {
    const wchar_t* path;
    const wchar_t* pathOnVolume[3];  // as each naming of kNamings gives it
    const wchar_t* longPath;
  } cases[] = {
      {L"C:\\LONGFO~1", {L"\\LONGFO~1", L"\\LONGFO~1", L"\\Long folder name"}, L"\\Long folder name"},
      {L"C:\\longfo~1\\Another long name",
       {L"\\Long folder name\\Another long name", L"\\LONGFO~1\\Another long name",
        L"\\Long folder name\\Another long name"},
       L"\\Long folder name\\Another long name"},
      {L"C:\\Long folder name\\ANOTHE~1",
       {L"\\Long folder name\\ANOTHE~1", L"\\Long folder name\\ANOTHE~1",
        L"\\Long folder name\\Another long name"},
       L"\\Long folder name\\Another long name"},
      {L"C:\\LONGFO~1\\anothe~1\\end",
       {L"\\Long folder name\\Another long name\\end", L"\\LONGFO~1\\ANOTHE~1\\end",
        L"\\Long folder name\\Another long name\\end"},
       L"\\Long folder name\\Another long name\\end"},
      {L"C:\\LONG FOLDER NAME\\another LONG name",
       {L"\\Long folder name\\Another long name", L"\\Long folder name\\Another long name",
        L"\\Long folder name\\Another long name"},
       L"\\Long folder name\\Another long name"},
  };
  for (std::size_t naming = 0; naming < std::size(kNamings); ++naming) {
    SCOPED_TRACE(kNamings[naming].what);
    standin::Reset();
    standin::SetHandlesFollowLinks(kNamings[naming].wine);
    standin::SetShortNamesInNames(kNamings[naming].names);
    standin::AddDirectory(L"C:\\Long folder name\\Another long name\\end");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path);
      VantideFolder folder;
      bool missing = true;
      ASSERT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), kStatusOk);
      EXPECT_TRUE(missing);  // left as it was
      EXPECT_EQ(folder.PathOnVolume(), c.pathOnVolume[naming]);
      EXPECT_EQ(folder.LongPathOnVolume(), c.longPath);
      // What is made through it goes into the folder written.
      const std::wstring marker = std::wstring(L"C:") + c.longPath + L"\\marker";
      EXPECT_EQ(VantideCreateFileAtomically(folder, L"marker", "x"), kStatusOk);
      EXPECT_EQ(standin::FileContents(marker), "x");
      standin::Remove(marker);
    }
  }
}

// A name that reaches a link, by its long name or its short name, is refused
// however the handles name things; so is a link whose long name spells a
// sibling's short name, wherever it leads: a lookup reaches it before the
// sibling.
TEST_F(FolderWalkStandinTest, RefusesALinkByItsShortNameOrOneThatSpellsASiblingsShortName) {
  const struct {
    const char* what;
    void (*setup)();
    const wchar_t* path;
  } cases[] = {
      {"a link by its short name",
       [] { standin::AddDirectoryLink(L"C:\\Link to the target", L"C:\\target"); }, L"C:\\LINKTO~1"},
      {"a link by its long name, in another case",
       [] { standin::AddDirectoryLink(L"C:\\Link to the target", L"C:\\target"); },
       L"C:\\link TO the target"},
      {"a link by its short name, to a sibling",
       [] { standin::AddDirectoryLink(L"C:\\Link to the sibling", L"C:\\Long folder name"); },
       L"C:\\LINKTO~1"},
      {"a link named as the sibling's short name, to the sibling",
       [] { standin::AddDirectoryLink(L"C:\\LONGFO~1", L"C:\\Long folder name"); }, L"C:\\LONGFO~1"},
      {"a link named as the sibling's short name, to elsewhere",
       [] { standin::AddDirectoryLink(L"C:\\LONGFO~1", L"C:\\target"); }, L"C:\\longfo~1"},
      {"a link named as the sibling's short name, to a namesake elsewhere",
       [] { standin::AddDirectoryLink(L"C:\\LONGFO~1", L"C:\\target\\Long folder name"); }, L"C:\\LONGFO~1"},
      {"a link by its short name, below a folder written short",
       [] { standin::AddDirectoryLink(L"C:\\Long folder name\\Link to the target", L"C:\\target"); },
       L"C:\\LONGFO~1\\LINKTO~1"},
  };
  for (const NamingCase& naming : kNamings) {
    SCOPED_TRACE(naming.what);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      standin::Reset();
      standin::SetHandlesFollowLinks(naming.wine);
      standin::SetShortNamesInNames(naming.names);
      standin::AddDirectory(L"C:\\Long folder name");
      standin::AddDirectory(L"C:\\target\\Long folder name");
      c.setup();
      VantideFolder folder;
      bool missing = true;
      EXPECT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), kStatusCantAccessFile);
      EXPECT_FALSE(missing);
    }
  }
}

// In a case-sensitive folder two entries may differ in case alone, and the
// parent's listing gives "X" before "x": each name reaches its own folder,
// and a link of the one spelling does not pass for the plain entry of the
// other.
TEST_F(FolderWalkStandinTest, InACaseSensitiveFolderEachSpellingIsItsOwnEntry) {
  const struct {
    const char* what;
    bool upperIsLink;  // "X" a link to "x" rather than a folder of its own
    const wchar_t* path;
    HRESULT status;
  } cases[] = {
      {"the lower-case folder, listed second", false, L"C:\\cs\\x", kStatusOk},
      {"the upper-case folder, listed first", false, L"C:\\cs\\X", kStatusOk},
      {"the folder listed after a link", true, L"C:\\cs\\x", kStatusOk},
      {"the link to it", true, L"C:\\cs\\X", kStatusCantAccessFile},
  };
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the links themselves");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      standin::Reset();
      standin::SetHandlesFollowLinks(wine);
      standin::AddDirectory(L"C:\\cs");
      standin::SetCaseSensitive(L"C:\\cs");
      standin::AddDirectory(L"C:\\cs\\x");
      if (c.upperIsLink) {
        standin::AddDirectoryLink(L"C:\\cs\\X", L"C:\\cs\\x");
      } else {
        standin::AddDirectory(L"C:\\cs\\X");
      }
      ASSERT_EQ(standin::ListNames(L"C:\\cs"), (std::vector<std::wstring>{L"X", L"x"}));
      VantideFolder folder;
      bool missing = false;
      ASSERT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), c.status);
      if (c.status < 0) continue;
      EXPECT_EQ(folder.PathOnVolume(), std::wstring(c.path).substr(2));
      ASSERT_EQ(VantideCreateFileAtomically(folder, L"marker", "x"), kStatusOk);
      EXPECT_EQ(standin::FileContents(std::wstring(c.path) + L"\\marker"), "x");
    }
  }
}

// A folder above renamed in case only, after it was opened and before the
// member below it is, names that member's path in the new case: the same
// folder, taken.
TEST_F(FolderWalkStandinTest, TakesAMemberBelowAFolderRenamedInCaseOnly) {
  standin::AddDirectory(L"C:\\Upper\\b");
  const std::size_t position = PositionInWalk(L"C:\\Upper\\b", kStatusOk, Api::NtCreateFile, L"C:\\Upper\\b");
  standin::RunBeforeCall(
      position, [] { ASSERT_TRUE(MoveFileExW(L"C:\\Upper", L"C:\\UPPER", MOVEFILE_WRITE_THROUGH)); });
  VantideFolder folder;
  bool missing = false;
  ASSERT_EQ(VantideOpenFolderPath(L"C:\\Upper\\b", &folder, &missing), kStatusOk);
  EXPECT_EQ(folder.PathOnVolume(), L"\\UPPER\\b");
}

// A path on the volume longer than the first buffer is asked for again, at
// its size: Wine's final paths fail there, this one must not.
TEST_F(FolderWalkStandinTest, TakesAPathOnTheVolumeLongerThanMaxPath) {
  std::wstring path = L"C:";
  while (path.size() < 2 * MAX_PATH) path += L"\\a-long-folder-name";
  standin::AddDirectory(path);
  VantideFolder folder;
  bool missing = false;
  ASSERT_EQ(VantideOpenFolderPath(path, &folder, &missing), kStatusOk);
  EXPECT_EQ(folder.PathOnVolume(), path.substr(2));
}

// ---------------------------------------------------------------------------
// Another process swapping a folder for a link
// ---------------------------------------------------------------------------

// C:\a is renamed to C:\a-old and a link to C:\evil put in its place, which
// holds everything the walk looks for.
void SwapForALink() {
  ASSERT_TRUE(MoveFileExW(L"C:\\a", L"C:\\a-old", MOVEFILE_WRITE_THROUGH));
  standin::AddDirectoryLink(L"C:\\a", L"C:\\evil");
}

// A member, once opened, is the folder the walk goes on from, wherever it is
// moved: nothing below the link that took its name is ever reached. Moved
// before it is judged, it no longer sits where the walk opened it (or the
// parent's listing holds the link at its name), and is refused; moved after,
// what lies below it is looked for in it.
TEST_F(FolderWalkStandinTest, ALinkSwappedInAfterAMemberWasOpenedIsNotUsed) {
  const struct {
    const char* when;
    Api api;  // the swap comes just before this call on C:\a or C:\a\b
    const wchar_t* path;
    HRESULT status;
    const wchar_t* rest;  // when missing
  } cases[] = {
      {"after the open, before the attributes", Api::GetFileInformationByHandle, L"C:\\a",
       kStatusCantAccessFile, nullptr},
      {"after the attributes, before the path on the volume", Api::GetFileInformationByHandleEx, L"C:\\a",
       kStatusCantAccessFile, nullptr},
      // The path read right; the parent's listing now holds the link.
      {"after the path on the volume, before the parent is listed", Api::NtCreateFile, L"C:\\",
       kStatusCantAccessFile, nullptr},
      {"before the member below is opened", Api::NtCreateFile, L"C:\\a\\b", kFileNotFound, L"b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    standin::Reset();
    standin::AddDirectory(L"C:\\a");
    standin::AddDirectory(L"C:\\evil\\b");
    const std::size_t position = PositionInWalk(L"C:\\a\\b", kFileNotFound, c.api, c.path);
    standin::RunBeforeCall(position, SwapForALink);

    VantideFolder folder;
    std::wstring rest;
    bool missing = false;
    EXPECT_EQ(VantideOpenFolderPath(L"C:\\a\\b", &folder, &missing, &rest), c.status);
    EXPECT_EQ(missing, c.rest != nullptr);
    if (c.rest == nullptr) continue;
    EXPECT_EQ(rest, c.rest);
    // The folder held is the one the walk opened: what is made through it
    // goes there, never behind the link. Moved away from the path it was
    // opened at, it holds the file under a path that is not its own, so the
    // file made cannot be told from one reached through a link: nothing is
    // written into it, and it is removed again by its handle.
    EXPECT_EQ(VantideCreateFileAtomically(folder, L"marker", "x"), kStatusCantAccessFile);
    EXPECT_EQ(standin::ListNames(L"C:\\a-old"), std::vector<std::wstring>{});
    EXPECT_EQ(standin::ListNames(L"C:\\evil"), std::vector<std::wstring>{L"b"});
  }
}

// Under Wine an open follows a link whatever it is told, and a handle's path
// is named anew from the path it was opened by. A link swapped in just
// before a member's open and the folder swapped back just after it leave a
// handle on the link's target whose path on its volume reads as the
// member's: only the parent's listing tells. Where it holds the folder, its
// file index is not the handle's; where the link is back by then, Wine gives
// the link's entry its target's index, the handle's own, and only the reparse
// bit tells. A link left in place is refused there as well: its path ends in
// another name, which might be the long name of a short one.
TEST_F(FolderWalkStandinTest, UnderWineAHandleThatWentThroughALinkIsRefusedByTheParentsListing) {
  const std::wstring closeMember = DescribeCall(Api::CloseHandle, L"C:\\a");
  const std::vector<std::wstring> listed = {
      DescribeCall(Api::NtCreateFile, L"C:\\", {kList, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | kOwnName}),
      DescribeCall(Api::GetFileInformationByHandle, L"C:\\"),
      DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\", {kListInfo}),
      DescribeCall(Api::CloseHandle, L"C:\\"), closeMember};
  const struct {
    const char* what;
    bool swapsBack;
    bool linkBack;                   // swapped in again before the parent is listed
    std::vector<std::wstring> next;  // the calls after the member's path was read
  } cases[] = {
      {"the folder swapped back just after the open", true, false, listed},
      {"the link back again before the parent is listed", true, true, listed},
      // The path ends in another name, which might be the long name of a
      // short one: the listing, which holds the link at the name, tells.
      {"the link left in place", false, false, listed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    standin::SetHandlesFollowLinks(true);
    standin::AddDirectory(L"C:\\a\\b");
    standin::AddDirectory(L"C:\\evil\\b");
    const std::size_t position = PositionInWalk(L"C:\\a\\b", kStatusOk, Api::NtCreateFile, L"C:\\a");
    standin::RunBeforeCall(
        position, [] { ASSERT_TRUE(standin::ExchangeWithLink(L"C:\\a", L"C:\\evil", L"C:\\aside")); });
    if (c.swapsBack) {
      standin::RunBeforeCall(position + 1, [] {
        standin::Remove(L"C:\\a");
        ASSERT_TRUE(MoveFileExW(L"C:\\aside", L"C:\\a", MOVEFILE_WRITE_THROUGH));
      });
    }
    // The member's identity and path on its volume are read in between; the
    // fresh handle on the parent comes next.
    if (c.linkBack) {
      standin::RunBeforeCall(position + 3, [] {
        ASSERT_TRUE(standin::ExchangeWithLink(L"C:\\a", L"C:\\evil", L"C:\\aside-again"));
      });
    }

    VantideFolder folder;
    bool missing = true;
    EXPECT_EQ(VantideOpenFolderPath(L"C:\\a\\b", &folder, &missing), kStatusCantAccessFile);
    EXPECT_FALSE(missing);
    EXPECT_EQ(standin::Exists(L"C:\\aside"), !c.swapsBack);
    // The member's own reads: its identity, then its path on its volume,
    // which under the swap back names the member.
    const std::vector<std::wstring> calls = RecordedCalls();
    ASSERT_GE(calls.size(), position + 3 + c.next.size());
    EXPECT_EQ(calls.at(position + 2), DescribeCall(Api::GetFileInformationByHandleEx, L"C:\\a", {kNameInfo}));
    const auto next = calls.begin() + static_cast<std::ptrdiff_t>(position + 3);
    EXPECT_EQ(std::vector<std::wstring>(next, next + static_cast<std::ptrdiff_t>(c.next.size())), c.next);
    EXPECT_TRUE(standin::CallPaths(Api::NtCreateFile).back() != L"C:\\a\\b");
  }
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

struct CreateCase {
  const wchar_t* from;
  const wchar_t* members;
  std::vector<std::wstring> opens;  // Describe()d, in this order
  const wchar_t* made;              // the folder held at the end
  const wchar_t* pathOnVolume;      // its path on its volume
};

constexpr ULONG kCreateOptions = FILE_DIRECTORY_FILE | kOwnName;

std::wstring Created(const wchar_t* path) { return Describe(path, FILE_CREATE, kCreateOptions); }
std::wstring Reopened(const wchar_t* path) { return Describe(path, FILE_OPEN, kOwnName); }

// Each member is created below the one above it, exactly as written; one
// that exists already is opened instead, and judged like any member.
const CreateCase kCreateCases[] = {
    {L"C:\\",
     L"Users\\me\\AppData\\Roaming\\Vantide",
     {Created(L"C:\\Users"), Reopened(L"C:\\Users"), Created(L"C:\\Users\\me"), Reopened(L"C:\\Users\\me"),
      Created(L"C:\\Users\\me\\AppData"), Created(L"C:\\Users\\me\\AppData\\Roaming"),
      Created(L"C:\\Users\\me\\AppData\\Roaming\\Vantide")},
     L"C:\\Users\\me\\AppData\\Roaming\\Vantide",
     L"\\Users\\me\\AppData\\Roaming\\Vantide"},
    {L"C:\\",
     L"new//deeper\\\\",
     {Created(L"C:\\new"), Created(L"C:\\new\\deeper")},
     L"C:\\new\\deeper",
     L"\\new\\deeper"},
    {L"C:\\Users",
     L"/x/y",
     {Created(L"C:\\Users\\x"), Created(L"C:\\Users\\x\\y")},
     L"C:\\Users\\x\\y",
     L"\\Users\\x\\y"},
    {L"\\\\server\\share",
     L"d",
     {Created(L"\\\\server\\share\\d")},
     L"\\\\server\\share\\d",
     L"\\server\\share\\d"},
    {L"\\\\?\\C:\\",
     L"x\\y",
     {Created(L"\\\\?\\C:\\x"), Created(L"\\\\?\\C:\\x\\y")},
     L"C:\\x\\y",
     L"\\x\\y"},
    {L"C:\\",
     L"me \\CON",
     {Created(L"C:\\me "), Created(L"C:\\me \\CON")},
     L"\\\\?\\C:\\me \\CON",
     L"\\me \\CON"},
};

TEST_F(FolderWalkStandinTest, CreatesEachMemberBelowTheOneAbove) {
  for (const CreateCase& c : kCreateCases) {
    SCOPED_TRACE(std::wstring(c.from) + L" + " + c.members);
    standin::Reset();
    standin::AddDirectory(L"C:\\Users\\me");
    standin::AddDirectory(L"\\\\server\\share\\elsewhere");
    const VantideFolder from = OpenFolder(c.from);
    ASSERT_TRUE(from.IsOpen());
    standin::ClearCalls();
    VantideFolder folder;
    ASSERT_EQ(VantideCreateFoldersBelow(from, c.members, &folder), kStatusOk);
    EXPECT_EQ(RelativeOpens(), c.opens);
    EXPECT_EQ(folder.PathOnVolume(), c.pathOnVolume);
    EXPECT_TRUE(standin::IsDirectory(c.made));
    // List access and nothing more, as for any folder of a walk: the folder
    // made is a parent whose listing the next member's check reads.
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::NtCreateFile) {
        EXPECT_EQ(call.args.at(0), kList);
      }
    }
  }
}

TEST_F(FolderWalkStandinTest, CreatingNoMemberCreatesNothingAndHoldsNothing) {
  const VantideFolder from = OpenFolder(L"C:\\");
  standin::ClearCalls();
  VantideFolder folder;
  for (const wchar_t* members : {L"", L"\\", L"//"}) {
    SCOPED_TRACE(members);
    EXPECT_EQ(VantideCreateFoldersBelow(from, members, &folder), kStatusOk);
    EXPECT_FALSE(folder.IsOpen());
    EXPECT_TRUE(standin::Calls().empty());
  }
}

Fault CreateFails(const wchar_t* path, DWORD error, int skip = 0) {
  return {.api = Api::NtCreateFile, .error = error, .path = path, .skip = skip};
}

struct CreateFailureCase {
  const char* what;
  const wchar_t* members;  // below the root of C:
  std::vector<Fault> faults;
  HRESULT status;
  const wchar_t* lastOpen;  // nothing below it is opened or created
  void (*setup)() = nullptr;
  std::vector<const wchar_t*> absent = {};  // must not exist afterwards
};

// The first member that cannot be created or used ends the creation with its
// own status: nothing below it can be reached but through its handle.
// clang-format off
const CreateFailureCase kCreateFailureCases[] = {
    {"refused on a missing member", L"a\\b\\c", {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED)},
     kAccessDenied, L"C:\\a", nullptr, {L"C:\\a"}},
    {"refused on an existing member", L"a\\b", {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED)},
     kAccessDenied, L"C:\\a", [] { standin::AddDirectory(L"C:\\a"); }, {L"C:\\a\\b"}},
    {"not found", L"a\\b", {CreateFails(L"C:\\a", ERROR_PATH_NOT_FOUND)}, kPathNotFound, L"C:\\a"},
    {"the network gone", L"a\\b", {CreateFails(L"C:\\a", ERROR_BAD_NETPATH)},
     static_cast<HRESULT>(0x80070035U), L"C:\\a"},
    {"the last member refused", L"a\\b", {CreateFails(L"C:\\a\\b", ERROR_DISK_FULL)},
     static_cast<HRESULT>(0x80070070U), L"C:\\a\\b", nullptr, {L"C:\\a\\b"}},
    {"a failure without a reason", L"a\\b", {CreateFails(L"C:\\a", 0)}, kStatusFailedWithoutReason, L"C:\\a"},
    {"a file in the middle", L"f\\sub", {}, kStatusNotADirectory, L"C:\\f",
     [] { standin::AddFile(L"C:\\f", "x"); }},
    {"a file at the end", L"a\\f", {}, kStatusNotADirectory, L"C:\\a\\f",
     [] { standin::AddFile(L"C:\\a\\f", "x"); }},
    {"a link to a file in the middle", L"fl\\sub", {}, kStatusCantAccessFile, L"C:\\fl",
     [] {
       standin::AddFile(L"C:\\t", "x");
       standin::AddFileLink(L"C:\\fl", L"C:\\t");
     }},
    {"a link to a folder on the way", L"link\\new", {}, kStatusCantAccessFile, L"C:\\link",
     [] {
       standin::AddDirectory(L"C:\\target");
       standin::AddDirectoryLink(L"C:\\link", L"C:\\target");
     },
     {L"C:\\target\\new"}},
    {"a link to nothing on the way", L"link\\new", {}, kStatusCantAccessFile, L"C:\\link",
     [] { standin::AddDirectoryLink(L"C:\\link", L"C:\\nothing"); }, {L"C:\\nothing"}},
    // Refused with list access, then to pass through as well.
    {"the open after the collision fails", L"a\\b",
     {{.api = Api::NtCreateFile, .error = ERROR_ACCESS_DENIED, .path = L"C:\\a", .skip = 1, .count = 2}},
     kAccessDenied, L"C:\\a", [] { standin::AddDirectory(L"C:\\a"); }, {L"C:\\a\\b"}},
    // A collision with something gone by the time it is opened.
    {"a collision with nothing", L"a\\b", {CreateFails(L"C:\\a", ERROR_ALREADY_EXISTS)}, kFileNotFound,
     L"C:\\a", nullptr, {L"C:\\a"}},
    {"a created member cannot be judged", L"a\\b",
     {{.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED, .path = L"C:\\a"}},
     kAccessDenied, L"C:\\a", nullptr, {L"C:\\a\\b"}},
    {"a created member's path on its volume", L"a\\b",
     {{.api = Api::GetFileInformationByHandleEx, .error = 0, .path = L"C:\\a"}},
     kStatusFailedWithoutReason, L"C:\\a", nullptr, {L"C:\\a\\b"}},
    // The last open is the fresh handle on the parent that the check lists.
    {"a created member missing from its parent's listing", L"a\\b",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = L"C:\\"}},
     kStatusCantAccessFile, L"C:\\a", nullptr, {L"C:\\a\\b"}},
    {"a name no folder can have", L"a\\..\\b", {}, kStatusInvalidName, L"C:\\a\\..", nullptr, {L"C:\\b"}},
};
// clang-format on

TEST_F(FolderWalkStandinTest, CreationStopsAtTheFirstMemberItCannotCreateOrUse) {
  for (const CreateFailureCase& c : kCreateFailureCases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    if (c.setup != nullptr) c.setup();
    const VantideFolder from = OpenFolder(L"C:\\");
    standin::ClearCalls();
    for (const Fault& fault : c.faults) standin::InjectFault(fault);
    VantideFolder folder;
    EXPECT_EQ(VantideCreateFoldersBelow(from, c.members, &folder), c.status);
    std::wstring lastMember;
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::NtCreateFile && testing::IsWalkOpen(call)) lastMember = call.path;
    }
    EXPECT_EQ(lastMember, c.lastOpen);
    for (const wchar_t* item : c.absent) EXPECT_FALSE(standin::Exists(item)) << "present";
  }
}

// A creation that fails for any reason but an existing name is not followed
// by an open of that name.
TEST_F(FolderWalkStandinTest, OnlyACollisionIsOpenedAgain) {
  standin::AddDirectory(L"C:\\a");
  const VantideFolder from = OpenFolder(L"C:\\");
  standin::ClearCalls();
  standin::InjectFault(CreateFails(L"C:\\a", ERROR_ACCESS_DENIED));
  VantideFolder folder;
  EXPECT_EQ(VantideCreateFoldersBelow(from, L"a\\b", &folder), kAccessDenied);
  EXPECT_EQ(RelativeOpens(), std::vector<std::wstring>{Created(L"C:\\a")});
}

// Whatever appears at a name between the caller finding it missing and the
// creation is opened and judged as the walk judges it: a folder is taken,
// anything else refused, and nothing is created behind a link.
TEST_F(FolderWalkStandinTest, CreationMeetsWhatWasMadeMeanwhile) {
  const struct {
    const char* what;
    bool wine;
    void (*made)();
    HRESULT status;
  } cases[] = {
      {"a folder", false, [] { standin::AddDirectory(L"C:\\a"); }, kStatusOk},
      {"a folder, handles following links", true, [] { standin::AddDirectory(L"C:\\a"); }, kStatusOk},
      {"a folder link", false, [] { standin::AddDirectoryLink(L"C:\\a", L"C:\\target"); },
       kStatusCantAccessFile},
      {"a folder link, handles following links", true,
       [] { standin::AddDirectoryLink(L"C:\\a", L"C:\\target"); }, kStatusCantAccessFile},
      {"a file", false, [] { standin::AddFile(L"C:\\a", "x"); }, kStatusNotADirectory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    standin::SetHandlesFollowLinks(c.wine);
    standin::AddDirectory(L"C:\\target");
    const VantideFolder from = OpenFolder(L"C:\\");
    standin::ClearCalls();
    standin::RunBeforeCall(0, c.made);  // the creation of C:\a
    VantideFolder folder;
    EXPECT_EQ(VantideCreateFoldersBelow(from, L"a\\b", &folder), c.status);
    EXPECT_EQ(standin::IsDirectory(L"C:\\a\\b"), c.status >= 0);
    EXPECT_FALSE(standin::Exists(L"C:\\target\\b"));
  }
}

// A folder that appears and is gone again before it is opened fails the
// creation as missing; nothing is made in its place.
TEST_F(FolderWalkStandinTest, CreationMeetsAFolderMadeAndRemovedMeanwhile) {
  const VantideFolder from = OpenFolder(L"C:\\");
  standin::ClearCalls();
  standin::RunBeforeCall(0, [] { standin::AddDirectory(L"C:\\a"); });
  standin::RunBeforeCall(1, [] { standin::Remove(L"C:\\a"); });
  VantideFolder folder;
  EXPECT_EQ(VantideCreateFoldersBelow(from, L"a\\b", &folder), kFileNotFound);
  EXPECT_FALSE(standin::Exists(L"C:\\a"));
  EXPECT_EQ(RelativeOpens(), (std::vector<std::wstring>{Created(L"C:\\a"), Reopened(L"C:\\a")}));
}

// The folder a creation goes on from is the one it created, wherever another
// process moves it: what follows is created in it, never behind a link put
// in its place, and the member below is refused, since it no longer sits
// where it was made.
TEST_F(FolderWalkStandinTest, CreationGoesOnInTheFolderItMadeNotBehindALinkSwappedIn) {
  std::size_t position = 0;
  {
    const VantideFolder from = OpenFolder(L"C:\\");
    standin::ClearCalls();
    VantideFolder folder;
    ASSERT_EQ(VantideCreateFoldersBelow(from, L"a\\b", &folder), kStatusOk);
    position = PositionOf(Api::NtCreateFile, L"C:\\a\\b");
  }
  standin::Reset();
  standin::AddDirectory(L"C:\\evil");
  const VantideFolder again = OpenFolder(L"C:\\");
  standin::ClearCalls();
  standin::RunBeforeCall(position, SwapForALink);

  VantideFolder folder;
  EXPECT_EQ(VantideCreateFoldersBelow(again, L"a\\b", &folder), kStatusCantAccessFile);
  EXPECT_TRUE(standin::IsDirectory(L"C:\\a-old\\b"));
  EXPECT_FALSE(standin::Exists(L"C:\\evil\\b"));
}

}  // namespace
}  // namespace van_tide
