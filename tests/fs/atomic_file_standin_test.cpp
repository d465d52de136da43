// What atomic creation asks of the platform, in which order and with which
// arguments, and what each failure, crash or swap leaves behind.
#include "fs/atomic_file.h"

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
using standin::Fault;

constexpr wchar_t kFolder[] = L"C:\\Roaming\\Vantide";
constexpr wchar_t kName[] = L"f.dat";
constexpr wchar_t kTarget[] = L"C:\\Roaming\\Vantide\\f.dat";
constexpr wchar_t kTemporary[] = L"C:\\Roaming\\Vantide\\f.dat.tmp";
constexpr char kContents[] = "payload";  // 7 bytes

// A call as the record describes it, the rename's target third.
std::wstring Describe(Api api, const std::wstring& path, const std::wstring& path2,
                      const std::vector<DWORD>& args) {
  return testing::DescribeCall(api, path, args, path2);
}

using testing::RecordedCalls;

std::size_t CountOf(Api api) { return standin::CallPaths(api).size(); }

// The information classes set on the temporary file, in order.
std::vector<DWORD> InformationSet() {
  std::vector<DWORD> classes;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::NtSetInformationFile) classes.push_back(call.args.at(0));
  }
  return classes;
}

// The folder of the target, opened by the walk before the record starts, so
// that the record holds the creation's calls alone.
VantideFolder TargetFolder() {
  standin::AddDirectory(kFolder);
  VantideFolder folder = testing::OpenFolder(kFolder);
  EXPECT_TRUE(folder.IsOpen());
  standin::ClearCalls();
  return folder;
}

class AtomicFileStandinTest : public testing::StandinTest {};

// Where the rename comes in a creation's calls: after the open and the two
// checks (six calls each) around the write and its flush.
constexpr std::size_t kRenameCall = 15;

TEST_F(AtomicFileStandinTest, ASuccessfulCreationMakesExactlyTheseCalls) {
  const VantideFolder folder = TargetFolder();
  EXPECT_EQ(VantideCreateFileAtomically(folder, kName, kContents), kStatusOk);
  // The file is found where it was meant to go, as a walk's member is: its
  // identity, its path on its volume, and the folder's listing read through
  // a fresh handle on the folder.
  const auto found = [](const wchar_t* as) {
    return std::vector<std::wstring>{
        Describe(Api::GetFileInformationByHandle, as, L"", {}),
        Describe(Api::GetFileInformationByHandleEx, as, L"", {FileNameInfo}),
        Describe(Api::NtCreateFile, kFolder, L"",
                 {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                  FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT}),
        Describe(Api::GetFileInformationByHandle, kFolder, L"", {}),
        Describe(Api::GetFileInformationByHandleEx, kFolder, L"", {FileIdBothDirectoryInfo}),
        Describe(Api::CloseHandle, kFolder, L"", {}),
    };
  };
  // The handle can read its own attributes: a native open is granted only
  // what it asks for.
  std::vector<std::wstring> expected = {
      Describe(Api::NtCreateFile, kTemporary, L"",
               {GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT})};
  // Found where it was made before a byte goes in, and again before the
  // rename.
  for (const std::wstring& call : found(kTemporary)) expected.push_back(call);
  expected.push_back(Describe(Api::WriteFile, kTemporary, L"", {7}));
  expected.push_back(Describe(Api::FlushFileBuffers, kTemporary, L"", {}));
  for (const std::wstring& call : found(kTemporary)) expected.push_back(call);
  expected.push_back(Describe(Api::NtSetInformationFile, kTemporary, kTarget, {FileRenameInformation}));
  // From here on the handle goes by its new name. The rename is on disk
  // before success is told, and the file is found where it went.
  expected.push_back(Describe(Api::FlushFileBuffers, kTarget, L"", {}));
  for (const std::wstring& call : found(kTarget)) expected.push_back(call);
  expected.push_back(Describe(Api::CloseHandle, kTarget, L"", {}));
  EXPECT_EQ(RecordedCalls(), expected);
  EXPECT_EQ(standin::FileContents(kTarget), kContents);
  EXPECT_FALSE(standin::Exists(kTemporary));
}

// A link planted at the temporary name is someone else's file: it is never
// written through, never deleted and never renamed into place as the target,
// whether an open would follow it or not.
TEST_F(AtomicFileStandinTest, ALinkAtTheTemporaryNameIsNeverWrittenThrough) {
  const struct {
    const char* name;
    void (*plant)();
    const wchar_t* leadsTo;
  } cases[] = {
      {"a file link to a file that does not exist",
       [] { standin::AddFileLink(kTemporary, L"C:\\Outside\\Gone"); }, L"C:\\Outside\\Gone"},
      {"a file link to the target itself", [] { standin::AddFileLink(kTemporary, kTarget); }, kTarget},
      {"a dangling folder link", [] { standin::AddDirectoryLink(kTemporary, L"C:\\Outside\\Nothing"); },
       L"C:\\Outside\\Nothing"},
  };
  for (const bool wine : {false, true}) {
    SCOPED_TRACE(wine ? "handles follow links" : "handles are the links themselves");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      standin::Reset();
      standin::SetHandlesFollowLinks(wine);
      standin::AddDirectory(L"C:\\Outside");
      const VantideFolder folder = TargetFolder();
      c.plant();
      EXPECT_EQ(VantideCreateFileAtomically(folder, kName, kContents), static_cast<HRESULT>(0x80070050U));
      EXPECT_FALSE(standin::Exists(c.leadsTo));
      EXPECT_FALSE(standin::Exists(kTarget));
      EXPECT_TRUE(standin::Exists(kTemporary));
      EXPECT_EQ(CountOf(Api::WriteFile), 0U);
      EXPECT_EQ(CountOf(Api::NtSetInformationFile), 0U);
    }
  }
}

// Whenever the process dies, the target is either absent or complete, and a
// reported success survives.
TEST_F(AtomicFileStandinTest, ACrashAtAnyPointLeavesNoTargetOrTheWholeTarget) {
  std::size_t callCount = 0;
  {
    const VantideFolder folder = TargetFolder();
    ASSERT_EQ(VantideCreateFileAtomically(folder, kName, kContents), kStatusOk);
    callCount = standin::Calls().size();
  }
  for (std::size_t crashAfter = 0; crashAfter < callCount; ++crashAfter) {
    SCOPED_TRACE(crashAfter);
    standin::Reset();
    HRESULT status = kStatusOk;
    {
      const VantideFolder folder = TargetFolder();
      standin::CrashAfterCall(crashAfter);
      status = VantideCreateFileAtomically(folder, kName, kContents);
    }
    standin::Restart();
    if (status >= 0 || standin::Exists(kTarget)) {
      EXPECT_EQ(standin::FileContents(kTarget), kContents);
    }
    // Once the listing has shown the file under its name, only closes are
    // left, and a failing close changes nothing.
    if (crashAfter + 3 >= callCount) {
      EXPECT_EQ(status, kStatusOk);
    }
  }
}

struct FailureCase {
  const char* what;
  std::vector<Fault> faults;
  HRESULT status;
  std::size_t flushes;    // FlushFileBuffers calls
  bool renamed;           // the rename was asked for
  bool discarded;         // the temporary file's name was taken away by its handle, last
  const char* temporary;  // its contents afterwards; null: absent
  const char* target;     // its contents afterwards; null: absent
  void (*setup)() = nullptr;
};

constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070U);
constexpr HRESULT kDeviceError = static_cast<HRESULT>(0x8007045DU);  // ERROR_IO_DEVICE
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005U);
constexpr DWORD kIoDevice = 1117;

// One row a case: the columns line up with FailureCase.
// clang-format off
const FailureCase kFailureCases[] = {
    {"create refused", {{.api = Api::NtCreateFile, .error = ERROR_ACCESS_DENIED}},
     kAccessDenied, 0, false, false, nullptr, nullptr},
    {"create fails without a reason", {{.api = Api::NtCreateFile, .error = 0}},
     kStatusFailedWithoutReason, 0, false, false, nullptr, nullptr},
    {"write fails", {{.api = Api::WriteFile, .error = ERROR_DISK_FULL}},
     kDiskFull, 0, false, true, nullptr, nullptr},
    {"write fails without a reason", {{.api = Api::WriteFile, .error = 0}},
     kStatusFailedWithoutReason, 0, false, true, nullptr, nullptr},
    {"short write", {{.api = Api::WriteFile, .shortBy = 1}},
     kStatusWriteFault, 0, false, true, nullptr, nullptr},
    {"write fails part-way",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL, .shortBy = 1, .failAfterTransfer = true}},
     kDiskFull, 0, false, true, nullptr, nullptr},
    {"flush fails", {{.api = Api::FlushFileBuffers, .error = kIoDevice}},
     kDeviceError, 1, false, true, nullptr, nullptr},
    {"flush fails without a reason", {{.api = Api::FlushFileBuffers, .error = 0}},
     kStatusFailedWithoutReason, 1, false, true, nullptr, nullptr},
    // The file is complete and on disk under its name before the close: a
    // failing close changes nothing.
    {"close fails", {{.api = Api::CloseHandle, .error = ERROR_DISK_FULL, .path = kTemporary}},
     kStatusOk, 2, true, false, nullptr, kContents},
    {"close fails without a reason", {{.api = Api::CloseHandle, .error = 0, .path = kTemporary}},
     kStatusOk, 2, true, false, nullptr, kContents},
    // The first failure decides; a failed write is never flushed.
    {"short write, then close fails",
     {{.api = Api::WriteFile, .shortBy = 1},
      {.api = Api::CloseHandle, .error = ERROR_INVALID_HANDLE, .path = kTemporary}},
     kStatusWriteFault, 0, false, true, nullptr, nullptr},
    {"write fails, then close fails",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::CloseHandle, .error = ERROR_INVALID_HANDLE, .path = kTemporary}},
     kDiskFull, 0, false, true, nullptr, nullptr},
    {"flush fails, then close fails",
     {{.api = Api::FlushFileBuffers, .error = kIoDevice},
      {.api = Api::CloseHandle, .error = ERROR_DISK_FULL, .path = kTemporary}},
     kDeviceError, 1, false, true, nullptr, nullptr},
    {"rename refused", {{.api = Api::NtSetInformationFile, .error = ERROR_ACCESS_DENIED}},
     kAccessDenied, 1, true, true, nullptr, nullptr},
    {"rename fails without a reason", {{.api = Api::NtSetInformationFile, .error = 0}},
     kStatusFailedWithoutReason, 1, true, true, nullptr, nullptr},
    // The clean-up's own failure changes nothing in the status.
    {"rename refused, then the discard too",
     {{.api = Api::NtSetInformationFile, .error = ERROR_ACCESS_DENIED, .count = 2}},
     kAccessDenied, 1, true, true, kContents, nullptr},
    {"write fails, then the discard too",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::NtSetInformationFile, .error = ERROR_SHARING_VIOLATION}},
     kDiskFull, 0, false, true, "", nullptr},
    // On Windows the handle is the file made, wherever it stands: it is
    // taken away without a check that could fail.
    {"write fails, where a check would fail too",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED, .path = kTemporary, .skip = 1}},
     kDiskFull, 0, false, true, nullptr, nullptr},
    // Wine takes a file away by its path: only where it is found under its
    // name, since one the check cannot find there cannot be told from
    // someone else's. It stays, a leftover, never a loss.
    {"under Wine, write fails, then the check before the discard",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED, .path = kTemporary, .skip = 1}},
     kDiskFull, 0, false, false, "", nullptr, [] { standin::SetHandlesFollowLinks(true); }},
    // Not a byte goes into a file before it is found where it was made.
    {"the file made is not in the folder's listing",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder}},
     kStatusCantAccessFile, 0, false, true, nullptr, nullptr},
    {"under Wine, the file made is not in the folder's listing, and stays so",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder, .count = -1}},
     kStatusCantAccessFile, 0, false, false, "", nullptr, [] { standin::SetHandlesFollowLinks(true); }},
    {"the file is gone from the folder's listing before the rename",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder, .skip = 1}},
     kStatusCantAccessFile, 1, false, true, nullptr, nullptr},
    // Renamed, and the flush that commits the rename failed: the file goes
    // again under its new name; it was never reported.
    {"the flush after the rename fails", {{.api = Api::FlushFileBuffers, .error = kIoDevice, .skip = 1}},
     kDeviceError, 2, true, true, nullptr, nullptr},
    {"the flush after the rename fails, then close fails",
     {{.api = Api::FlushFileBuffers, .error = 0, .skip = 1},
      {.api = Api::CloseHandle, .error = ERROR_DISK_FULL, .path = kTemporary}},
     kStatusFailedWithoutReason, 2, true, true, nullptr, nullptr},
    // The check after the rename: a failure of its own removes the file
    // again, once the discard's check finds it under its new name.
    {"the check after the rename fails",
     {{.api = Api::GetFileInformationByHandle, .error = ERROR_ACCESS_DENIED, .path = kTarget}},
     kAccessDenied, 2, true, true, nullptr, nullptr},
    {"the folder's listing fails after the rename",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NETNAME_DELETED, .path = kFolder, .skip = 2}},
     static_cast<HRESULT>(0x80070040U), 2, true, true, nullptr, nullptr},
    // A store that a failed run left would be taken by every later run as a
    // migration that succeeded: on Windows the handle takes it away, wherever
    // it went.
    {"the file is missing from the folder's listing after the rename",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder, .skip = 2,
       .count = -1}},
     kStatusCantAccessFile, 2, true, true, nullptr, nullptr},
    // Under Wine it stays where it cannot be found, and the run says it
    // failed.
    {"under Wine, the file is missing from the folder's listing after the rename, and stays so",
     {{.api = Api::GetFileInformationByHandleEx, .error = ERROR_NO_MORE_FILES, .path = kFolder, .skip = 2,
       .count = -1}},
     kStatusCantAccessFile, 2, true, false, nullptr, kContents, [] { standin::SetHandlesFollowLinks(true); }},
    {"the target exists", {}, static_cast<HRESULT>(0x800700B7U), 1, true, true, nullptr, "old",
     [] { standin::AddFile(kTarget, "old"); }},
    {"a folder at the target's name", {}, static_cast<HRESULT>(0x800700B7U), 1, true, true, nullptr, "",
     [] { standin::AddDirectory(kTarget); }},
    {"the temporary file of another run exists", {}, static_cast<HRESULT>(0x80070050U), 0, false, false,
     "other", nullptr, [] { standin::AddFile(kTemporary, "other"); }},
    {"a folder at the temporary name", {}, static_cast<HRESULT>(0x80070050U), 0, false, false,
     "", nullptr, [] { standin::AddDirectory(kTemporary); }},
};
// clang-format on

TEST_F(AtomicFileStandinTest, EachFailureIsReportedAndOurTemporaryFileRemoved) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    const VantideFolder folder = TargetFolder();
    if (c.setup != nullptr) c.setup();
    for (const Fault& fault : c.faults) standin::InjectFault(fault);

    EXPECT_EQ(VantideCreateFileAtomically(folder, kName, kContents), c.status);
    // Only the folder, which is the caller's, is still open.
    EXPECT_EQ(standin::OpenHandlePaths(), std::vector<std::wstring>{kFolder});
    EXPECT_EQ(CountOf(Api::FlushFileBuffers), c.flushes);
    std::vector<DWORD> information;
    if (c.renamed) information.push_back(FileRenameInformation);
    if (c.discarded) information.push_back(FileDispositionInformation);
    EXPECT_EQ(InformationSet(), information);
    // Never by name: only the handle is sure to be our file.
    EXPECT_EQ(CountOf(Api::DeleteFileW), 0U);
    EXPECT_EQ(CountOf(Api::MoveFileExW), 0U);
    if (c.discarded) {
      EXPECT_EQ(standin::Calls().back().api, Api::CloseHandle);
      EXPECT_EQ(standin::Calls()[standin::Calls().size() - 2].api, Api::NtSetInformationFile);
    }
    EXPECT_EQ(standin::Exists(kTemporary), c.temporary != nullptr);
    if (c.temporary != nullptr) {
      EXPECT_EQ(standin::FileContents(kTemporary), c.temporary);
    }
    EXPECT_EQ(standin::Exists(kTarget), c.target != nullptr);
    if (c.target != nullptr) {
      EXPECT_EQ(standin::FileContents(kTarget), c.target);
    }
  }
}

// A target that appears while the temporary file is written wins and stays
// as it is: the rename never replaces.
TEST_F(AtomicFileStandinTest, ATargetMadeMeanwhileIsNeverReplaced) {
  const VantideFolder folder = TargetFolder();
  standin::RunBeforeCall(kRenameCall, [] { standin::AddFile(kTarget, "theirs"); });
  EXPECT_EQ(VantideCreateFileAtomically(folder, kName, kContents), static_cast<HRESULT>(0x800700B7U));
  EXPECT_EQ(standin::Calls().at(kRenameCall).api, Api::NtSetInformationFile);
  EXPECT_EQ(standin::FileContents(kTarget), "theirs");
  EXPECT_FALSE(standin::Exists(kTemporary));
}

// The creation works through the folder's handle alone: once the folder has
// been moved and a link put at its name, before the creation or in the
// middle of it, the file lands in the folder held, never behind the link.
// There its path is not the one the folder was opened at, so a check refuses
// it before a byte, or before the rename; the handle takes it away again.
TEST_F(AtomicFileStandinTest, AFolderSwappedForALinkAfterItWasOpenedIsNotWrittenThrough) {
  const struct {
    const char* when;
    std::size_t position;  // the call the swap comes before
  } cases[] = {
      {"before the temporary file is made", 0},
      {"before the rename", kRenameCall},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    standin::Reset();
    standin::AddDirectory(L"C:\\Elsewhere");
    const VantideFolder folder = TargetFolder();
    standin::RunBeforeCall(c.position, [] {
      ASSERT_TRUE(MoveFileExW(kFolder, L"C:\\Roaming\\Moved", MOVEFILE_WRITE_THROUGH));
      standin::AddDirectoryLink(kFolder, L"C:\\Elsewhere");
    });
    EXPECT_EQ(VantideCreateFileAtomically(folder, kName, kContents), kStatusCantAccessFile);
    EXPECT_EQ(standin::Calls().at(c.position).api,
              c.position == 0 ? Api::NtCreateFile : Api::NtSetInformationFile);
    EXPECT_TRUE(standin::ListNames(L"C:\\Roaming\\Moved").empty());
    EXPECT_TRUE(standin::ListNames(L"C:\\Elsewhere").empty());
  }
}

}  // namespace
}  // namespace van_tide
