// The guards of the whole-file read, in their order, and every failed call.
#include "fs/small_file.h"

#include "platform/status.h"
#include "standin/standin.h"
#include "support/open_folder.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

constexpr wchar_t kFolder[] = L"C:\\data";
constexpr wchar_t kPath[] = L"C:\\data\\file";

class SmallFileStandinTest : public testing::StandinTest {
 protected:
  // The folder is opened by the walk, whose calls are left out of the record.
  HRESULT Read(const wchar_t* name = L"file") {
    const VantideFolder folder = testing::OpenFolder(kFolder);
    EXPECT_TRUE(folder.IsOpen());
    standin::ClearCalls();
    return VantideReadSmallFile(folder, name, &bytes_, &missing_);
  }
  // The calls of the read alone: the folder's close, the last call, is the
  // walk's. (The fresh handle a check lists the folder through closes under
  // the folder's path as well, inside the read.)
  static std::vector<Api> CallSequence() {
    std::vector<Api> apis;
    for (const standin::Call& call : standin::Calls()) apis.push_back(call.api);
    if (!apis.empty() && apis.back() == Api::CloseHandle && standin::Calls().back().path == kFolder) {
      apis.pop_back();
    }
    return apis;
  }
  std::string bytes_;
  bool missing_ = false;
};

TEST_F(SmallFileStandinTest, OpensItsOwnNameBelowTheFolderForSharedReading) {
  standin::AddFile(kPath, "contents");
  ASSERT_EQ(Read(), kStatusOk);
  const standin::Call& open = standin::Calls().front();
  EXPECT_EQ(open.api, Api::NtCreateFile);
  EXPECT_EQ(open.path, kPath);
  EXPECT_EQ(
      open.args,
      (std::vector<DWORD>{GENERIC_READ | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT}));
  // The file is judged as a walk's member is, its folder's listing included,
  // before its size is looked at, and once more when its bytes are in.
  const std::vector<Api> judged = {
      Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::NtCreateFile,
      Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::CloseHandle};
  std::vector<Api> expected = {Api::NtCreateFile};
  expected.insert(expected.end(), judged.begin(), judged.end());
  expected.insert(expected.end(), {Api::GetFileSizeEx, Api::ReadFile});
  expected.insert(expected.end(), judged.begin(), judged.end());
  expected.push_back(Api::CloseHandle);
  EXPECT_EQ(CallSequence(), expected);
  std::vector<std::wstring> listed;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::GetFileInformationByHandleEx) {
      listed.push_back(call.path + L" " + std::to_wstring(call.args.at(0)));
    }
  }
  const std::vector<std::wstring> oneCheck = {
      std::wstring(kPath) + L" " + std::to_wstring(FileNameInfo),
      std::wstring(kFolder) + L" " + std::to_wstring(FileIdBothDirectoryInfo)};
  std::vector<std::wstring> twoChecks = oneCheck;
  twoChecks.insert(twoChecks.end(), oneCheck.begin(), oneCheck.end());
  EXPECT_EQ(listed, twoChecks);
  EXPECT_EQ(bytes_, "contents");
}

struct LinkCase {
  const char* what;
  bool wine;  // handles follow links, as under Wine
  const wchar_t* name;
  HRESULT status;
  bool missing;  // the flag afterwards, false before: only a failed open writes it
  std::vector<Api> calls;
};

// A link is refused before its size is looked at, whether the handle is the
// link itself (its reparse attribute tells) or its target (its path on its
// volume is not the name asked for, or the listing holds the link at it).
// Under Wine a link to nothing is nothing: missing.
const LinkCase kLinkCases[] = {
    {"a link to a large file",
     false,
     L"to-huge",
     kStatusCantAccessFile,
     false,
     {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::CloseHandle}},
    {"a link to nothing",
     false,
     L"dangling",
     kStatusCantAccessFile,
     false,
     {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::CloseHandle}},
    // The path ends in another name, which might be the long name of a short
    // one: the listing, which holds the link at the name, tells.
    {"a link to a large file, handles following links",
     true,
     L"to-huge",
     kStatusCantAccessFile,
     false,
     {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
      Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::CloseHandle,
      Api::CloseHandle}},
    {"a link to a file elsewhere, handles following links",
     true,
     L"to-outside",
     kStatusCantAccessFile,
     false,
     {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
      Api::CloseHandle}},
    {"a link to nothing, handles following links",
     true,
     L"dangling",
     static_cast<HRESULT>(0x80070002U),
     true,
     {Api::NtCreateFile}},
    {"a link by its short name, handles following links",
     true,
     L"LINKTO~1",
     kStatusCantAccessFile,
     false,
     // Listed to its end: no entry has the name as its long name.
     {Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
      Api::NtCreateFile, Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
      Api::GetFileInformationByHandleEx, Api::CloseHandle, Api::CloseHandle}},
};

TEST_F(SmallFileStandinTest, RefusesALinkBeforeLookingAtTheSize) {
  for (const LinkCase& c : kLinkCases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    standin::SetHandlesFollowLinks(c.wine);
    standin::AddFile(L"C:\\data\\huge", std::string(70000, 'x'));
    standin::AddFile(L"C:\\outside\\file", "x");
    standin::AddFile(L"C:\\data\\long file name.txt", "x");
    standin::AddFileLink(L"C:\\data\\to-huge", L"C:\\data\\huge");
    standin::AddFileLink(L"C:\\data\\to-outside", L"C:\\outside\\file");
    standin::AddFileLink(L"C:\\data\\dangling", L"C:\\data\\nothing");
    standin::AddFileLink(L"C:\\data\\link to the file", L"C:\\data\\long file name.txt");
    missing_ = false;
    bytes_ = "untouched";
    EXPECT_EQ(Read(c.name), c.status);
    EXPECT_EQ(missing_, c.missing);
    EXPECT_EQ(bytes_, "untouched");
    EXPECT_EQ(CallSequence(), c.calls);
  }
}

// A file written as its 8.3 short name is the entry of its long name, however
// the handle names it: by the short name, as NTFS does, or by the long one, as
// Wine does.
TEST_F(SmallFileStandinTest, ReadsAFileWrittenAsItsShortName) {
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the links themselves");
    standin::Reset();
    standin::SetHandlesFollowLinks(wine);
    standin::AddFile(L"C:\\data\\long file name.txt", "contents");
    bytes_.clear();
    EXPECT_EQ(Read(L"longfi~1.txt"), kStatusOk);
    EXPECT_EQ(bytes_, "contents");
  }
}

// Under Wine the open follows a link whatever it is told, and the handle's
// path is named anew from the path it was opened by: a link swapped in just
// before the open and the file swapped back just after it leave a handle on
// someone else's file whose path reads as ours. The folder's listing, which
// holds our file's index at the name, refuses it before a byte is read.
TEST_F(SmallFileStandinTest, UnderWineAFileReachedThroughALinkSwappedBackIsRefusedByTheListing) {
  standin::SetHandlesFollowLinks(true);
  standin::AddFile(kPath, "ours");
  standin::AddFile(L"C:\\elsewhere\\file", "theirs");
  const VantideFolder folder = testing::OpenFolder(kFolder);
  ASSERT_TRUE(folder.IsOpen());
  standin::ClearCalls();
  standin::RunBeforeCall(0, [] {  // the open of the file
    ASSERT_TRUE(MoveFileExW(kPath, L"C:\\data\\aside", MOVEFILE_WRITE_THROUGH));
    standin::AddFileLink(kPath, L"C:\\elsewhere\\file");
  });
  standin::RunBeforeCall(1, [] {
    standin::Remove(kPath);
    ASSERT_TRUE(MoveFileExW(L"C:\\data\\aside", kPath, MOVEFILE_WRITE_THROUGH));
  });
  bytes_ = "untouched";
  EXPECT_EQ(VantideReadSmallFile(folder, L"file", &bytes_, &missing_), kStatusCantAccessFile);
  EXPECT_FALSE(missing_);
  EXPECT_EQ(bytes_, "untouched");
  EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
  // Refused by the listing: the path on the volume read right.
  std::vector<DWORD> classes;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::GetFileInformationByHandleEx) classes.push_back(call.args.at(0));
  }
  EXPECT_EQ(classes, (std::vector<DWORD>{FileNameInfo, FileIdBothDirectoryInfo}));
}

TEST_F(SmallFileStandinTest, RefusesAnOversizedFileBeforeAnyRead) {
  standin::AddFile(kPath, std::string(65537, 'x'));
  EXPECT_EQ(Read(), kStatusFileTooLarge);
  EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
  EXPECT_TRUE(bytes_.empty());
}

struct FaultCase {
  const char* name;
  standin::Fault fault;
  HRESULT status;
};

// Failures after a successful open: the handle is still closed (the fixture
// checks), the flag is never written and a last error of 0 stays a failure.
const FaultCase kFaultCases[] = {
    {"information",
     {.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED},
     static_cast<HRESULT>(0x80070005U)},
    {"information, no error",
     {.api = Api::GetFileInformationByHandle, .error = 0},
     kStatusFailedWithoutReason},
    {"path on the volume",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_NOT_ENOUGH_MEMORY, .path = kPath},
     static_cast<HRESULT>(0x80070008U)},
    {"path on the volume, no error",
     {.api = Api::GetFileInformationByHandleEx, .error = 0, .path = kPath},
     kStatusFailedWithoutReason},
    // The fresh handle the folder is listed through: a failure to open it
    // tells nothing of the file, so the flag stays as it was.
    {"the folder's fresh handle",
     {.api = Api::NtCreateFile, .error = ERROR_FILE_NOT_FOUND, .path = kFolder},
     static_cast<HRESULT>(0x80070002U)},
    {"the folder's listing",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_NETNAME_DELETED, .path = kFolder},
     static_cast<HRESULT>(0x80070040U)},
    {"the folder's listing ends before the file",
     {.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder},
     kStatusCantAccessFile},
    {"size", {.api = Api::GetFileSizeEx, .error = ERROR_INVALID_HANDLE}, static_cast<HRESULT>(0x80070006U)},
    {"read", {.api = Api::ReadFile, .error = ERROR_READ_FAULT}, static_cast<HRESULT>(0x8007001EU)},
    {"read, no error", {.api = Api::ReadFile, .error = 0}, kStatusFailedWithoutReason},
    {"short read", {.api = Api::ReadFile, .shortBy = 1}, kStatusHandleEof},
};

TEST_F(SmallFileStandinTest, MapsEachFailedCallAndLeavesTheFlagAlone) {
  standin::AddFile(kPath, "contents");
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(c.name);
    // Planned after the folder is opened, so that it meets the read's calls.
    const VantideFolder folder = testing::OpenFolder(kFolder);
    standin::InjectFault(c.fault);
    missing_ = true;
    bytes_.clear();
    EXPECT_EQ(VantideReadSmallFile(folder, L"file", &bytes_, &missing_), c.status);
    EXPECT_TRUE(missing_);
  }
}

TEST_F(SmallFileStandinTest, AShortReadLeavesTheBufferAtTheFileSize) {
  standin::AddFile(kPath, "contents");
  standin::InjectFault({.api = Api::ReadFile, .shortBy = 3});
  EXPECT_EQ(Read(), kStatusHandleEof);
  EXPECT_EQ(bytes_, std::string("conte\0\0\0", 8));
}

TEST_F(SmallFileStandinTest, AFailedOpenWritesTheFlagFromItsError) {
  standin::AddFile(kPath, "contents");
  const struct {
    DWORD error;
    HRESULT status;
    bool missing;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), true},
      {ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), true},
      {ERROR_SHARING_VIOLATION, static_cast<HRESULT>(0x80070020U), false},
      {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
      {0, static_cast<HRESULT>(0x80004005U), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    standin::InjectFault({.api = Api::NtCreateFile, .error = c.error, .path = kPath});
    missing_ = !c.missing;
    EXPECT_EQ(Read(), c.status);
    EXPECT_EQ(missing_, c.missing);
  }
}

// What is at the name when the read opens it, not what was there before.
TEST_F(SmallFileStandinTest, TellsAMissingFileFromAFolderAtItsName) {
  standin::AddDirectory(L"C:\\data\\folder");
  EXPECT_EQ(Read(L"absent"), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);
  EXPECT_EQ(Read(L"folder"), static_cast<HRESULT>(0x80070005U));
  EXPECT_FALSE(missing_);
}

TEST_F(SmallFileStandinTest, AWriterHoldingTheFileKeepsTheReadOut) {
  standin::AddFile(kPath, "contents");
  standin::HoldOpen(kPath, GENERIC_WRITE, 0);
  EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070020U));
  EXPECT_FALSE(missing_);
}

// The file is read from the folder held, wherever that folder has gone: once
// it has been moved and a link put in its place, its file no longer sits
// where the folder was opened, and is refused; the link's file is never read.
TEST_F(SmallFileStandinTest, AFolderSwappedForALinkAfterItWasOpenedIsNotReadThrough) {
  standin::AddFile(kPath, "ours");
  standin::AddFile(L"C:\\elsewhere\\file", "theirs");
  const VantideFolder folder = testing::OpenFolder(kFolder);
  ASSERT_TRUE(MoveFileExW(kFolder, L"C:\\moved", MOVEFILE_WRITE_THROUGH));
  standin::AddDirectoryLink(kFolder, L"C:\\elsewhere");
  EXPECT_EQ(VantideReadSmallFile(folder, L"file", &bytes_, &missing_), kStatusCantAccessFile);
  EXPECT_TRUE(bytes_.empty());
}

}  // namespace
}  // namespace van_tide
