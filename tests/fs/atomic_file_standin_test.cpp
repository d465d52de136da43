// What atomic creation and the folder chain ask of the platform, in which
// order and with which arguments, and what each failure leaves behind.
#include "fs/atomic_file.h"

#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using standin::Fault;

constexpr wchar_t kTarget[] = L"C:\\Roaming\\Vantide\\f.dat";
constexpr wchar_t kTemporary[] = L"C:\\Roaming\\Vantide\\f.dat.tmp";
constexpr char kContents[] = "payload";  // 7 bytes

// One recorded call as readable text, so that a mismatch shows the whole
// sequence: "MoveFileExW a -> b {8}".
std::wstring Describe(Api api, const std::wstring& path, const std::wstring& path2,
                      const std::vector<DWORD>& args) {
  std::wstring text;
  for (const char* c = standin::ApiName(api); *c != '\0'; ++c) text.push_back(static_cast<wchar_t>(*c));
  text += L" " + path;
  if (!path2.empty()) text += L" -> " + path2;
  if (!args.empty()) {
    text += L" {";
    for (std::size_t i = 0; i < args.size(); ++i) text += (i == 0 ? L"" : L",") + std::to_wstring(args[i]);
    text += L"}";
  }
  return text;
}

std::vector<std::wstring> RecordedCalls() {
  std::vector<std::wstring> calls;
  for (const standin::Call& call : standin::Calls()) {
    calls.push_back(Describe(call.api, call.path, call.path2, call.args));
  }
  return calls;
}

std::size_t CountOf(Api api) { return standin::CallPaths(api).size(); }

class AtomicFileStandinTest : public testing::StandinTest {};

TEST_F(AtomicFileStandinTest, ASuccessfulCreationMakesExactlyTheseCalls) {
  standin::AddDirectory(L"C:\\Roaming");
  EXPECT_EQ(VantideCreateFileAtomically(kTarget, kContents), kStatusOk);
  const std::vector<std::wstring> expected = {
      // C:\Roaming exists: only that 183 is followed by a look-up.
      Describe(Api::CreateDirectoryW, L"C:\\Roaming", L"", {}),
      Describe(Api::GetFileAttributesExW, L"C:\\Roaming", L"", {GetFileExInfoStandard}),
      Describe(Api::CreateDirectoryW, L"C:\\Roaming\\Vantide", L"", {}),
      Describe(Api::CreateFileW, kTemporary, L"",
               {GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT}),
      Describe(Api::WriteFile, kTemporary, L"", {7}),
      Describe(Api::FlushFileBuffers, kTemporary, L"", {}),
      Describe(Api::CloseHandle, kTemporary, L"", {}),
      Describe(Api::MoveFileExW, kTemporary, kTarget, {MOVEFILE_WRITE_THROUGH}),
  };
  EXPECT_EQ(RecordedCalls(), expected);
  EXPECT_EQ(standin::FileContents(kTarget), kContents);
  EXPECT_FALSE(standin::Exists(kTemporary));
}

// Whenever the process dies, the target is either absent or complete, and a
// reported success survives.
// A link planted at the temporary name is someone else's file: it is never
// written through, never deleted and never moved into place as the target.
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    standin::AddDirectory(L"C:\\Outside");
    c.plant();
    EXPECT_EQ(VantideCreateFileAtomically(kTarget, kContents), static_cast<HRESULT>(0x80070050U));
    EXPECT_FALSE(standin::Exists(c.leadsTo));
    EXPECT_FALSE(standin::Exists(kTarget));
    EXPECT_TRUE(standin::Exists(kTemporary));
    EXPECT_EQ(CountOf(Api::WriteFile), 0U);
    EXPECT_EQ(CountOf(Api::DeleteFileW), 0U);
  }
}

TEST_F(AtomicFileStandinTest, ACrashAtAnyPointLeavesNoTargetOrTheWholeTarget) {
  standin::AddDirectory(L"C:\\Roaming");
  ASSERT_EQ(VantideCreateFileAtomically(kTarget, kContents), kStatusOk);
  const std::size_t callCount = standin::Calls().size();
  for (std::size_t crashAfter = 0; crashAfter < callCount; ++crashAfter) {
    SCOPED_TRACE(crashAfter);
    standin::Reset();
    standin::AddDirectory(L"C:\\Roaming");
    standin::CrashAfterCall(crashAfter);
    const HRESULT status = VantideCreateFileAtomically(kTarget, kContents);
    standin::Restart();
    if (status >= 0 || standin::Exists(kTarget)) {
      EXPECT_EQ(standin::FileContents(kTarget), kContents);
    }
    if (crashAfter + 1 == callCount) {
      EXPECT_EQ(status, kStatusOk);
    }
  }
}

struct FailureCase {
  const char* what;
  std::vector<Fault> faults;
  HRESULT status;
  bool flushed;           // FlushFileBuffers was called
  bool moved;             // MoveFileExW was called
  bool deleted;           // DeleteFileW of the temporary file was called, as the last call
  const char* temporary;  // its contents afterwards; null: absent
  const char* target;     // its contents afterwards; null: absent
  void (*setup)() = nullptr;
};

// One row a case: the columns line up with FailureCase.
// clang-format off
const FailureCase kFailureCases[] = {
    {"an upper folder refuses creation but exists",
     {{.api = Api::CreateDirectoryW, .error = ERROR_ACCESS_DENIED, .path = L"C:\\Roaming"}},
     kStatusOk, true, true, false, nullptr, kContents},
    {"the target's folder cannot be made",
     {{.api = Api::CreateDirectoryW, .error = ERROR_ACCESS_DENIED, .path = L"C:\\Roaming\\Vantide"}},
     static_cast<HRESULT>(0x80070005U), false, false, false, nullptr, nullptr},
    {"the target's folder fails without a reason",
     {{.api = Api::CreateDirectoryW, .error = 0, .path = L"C:\\Roaming\\Vantide"}},
     static_cast<HRESULT>(0x80004005U), false, false, false, nullptr, nullptr},
    {"create refused", {{.api = Api::CreateFileW, .error = ERROR_ACCESS_DENIED}},
     static_cast<HRESULT>(0x80070005U), false, false, false, nullptr, nullptr},
    {"create fails without a reason", {{.api = Api::CreateFileW, .error = 0}},
     static_cast<HRESULT>(0x80004005U), false, false, false, nullptr, nullptr},
    {"write fails", {{.api = Api::WriteFile, .error = ERROR_DISK_FULL}},
     static_cast<HRESULT>(0x80070070U), false, false, true, nullptr, nullptr},
    {"write fails without a reason", {{.api = Api::WriteFile, .error = 0}},
     static_cast<HRESULT>(0x80004005U), false, false, true, nullptr, nullptr},
    {"short write", {{.api = Api::WriteFile, .shortBy = 1}},
     static_cast<HRESULT>(0x8007001DU), false, false, true, nullptr, nullptr},
    {"write fails part-way",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL, .shortBy = 1, .failAfterTransfer = true}},
     static_cast<HRESULT>(0x80070070U), false, false, true, nullptr, nullptr},
    {"flush fails", {{.api = Api::FlushFileBuffers, .error = 1117}},  // ERROR_IO_DEVICE
     static_cast<HRESULT>(0x8007045DU), true, false, true, nullptr, nullptr},
    {"flush fails without a reason", {{.api = Api::FlushFileBuffers, .error = 0}},
     static_cast<HRESULT>(0x80004005U), true, false, true, nullptr, nullptr},
    {"close fails", {{.api = Api::CloseHandle, .error = ERROR_DISK_FULL}},
     static_cast<HRESULT>(0x80070070U), true, false, true, nullptr, nullptr},
    {"close fails without a reason", {{.api = Api::CloseHandle, .error = 0}},
     static_cast<HRESULT>(0x80004005U), true, false, true, nullptr, nullptr},
    // The first failure decides; a failed write is never flushed.
    {"short write, then close fails",
     {{.api = Api::WriteFile, .shortBy = 1}, {.api = Api::CloseHandle, .error = ERROR_INVALID_HANDLE}},
     static_cast<HRESULT>(0x8007001DU), false, false, true, nullptr, nullptr},
    {"write fails, then close fails",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::CloseHandle, .error = ERROR_INVALID_HANDLE}},
     static_cast<HRESULT>(0x80070070U), false, false, true, nullptr, nullptr},
    {"flush fails, then close fails",
     {{.api = Api::FlushFileBuffers, .error = 1117}, {.api = Api::CloseHandle, .error = ERROR_DISK_FULL}},
     static_cast<HRESULT>(0x8007045DU), true, false, true, nullptr, nullptr},
    {"move refused", {{.api = Api::MoveFileExW, .error = ERROR_ACCESS_DENIED}},
     static_cast<HRESULT>(0x80070005U), true, true, true, nullptr, nullptr},
    {"move fails without a reason", {{.api = Api::MoveFileExW, .error = 0}},
     static_cast<HRESULT>(0x80004005U), true, true, true, nullptr, nullptr},
    // The clean-up's own failure changes nothing in the status.
    {"move refused, then the delete too",
     {{.api = Api::MoveFileExW, .error = ERROR_ACCESS_DENIED},
      {.api = Api::DeleteFileW, .error = ERROR_ACCESS_DENIED}},
     static_cast<HRESULT>(0x80070005U), true, true, true, kContents, nullptr},
    {"write fails, then the delete too",
     {{.api = Api::WriteFile, .error = ERROR_DISK_FULL},
      {.api = Api::DeleteFileW, .error = ERROR_SHARING_VIOLATION}},
     static_cast<HRESULT>(0x80070070U), false, false, true, "", nullptr},
    {"the target exists", {}, static_cast<HRESULT>(0x800700B7U), true, true, true, nullptr, "old",
     [] { standin::AddFile(kTarget, "old"); }},
    {"the temporary file of another run exists", {}, static_cast<HRESULT>(0x80070050U), false, false, false,
     "other", nullptr, [] { standin::AddFile(kTemporary, "other"); }},
};
// clang-format on

TEST_F(AtomicFileStandinTest, EachFailureIsReportedAndOurTemporaryFileRemoved) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    standin::AddDirectory(L"C:\\Roaming");
    if (c.setup != nullptr) c.setup();
    for (const Fault& fault : c.faults) standin::InjectFault(fault);

    EXPECT_EQ(VantideCreateFileAtomically(kTarget, kContents), c.status);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
    EXPECT_EQ(CountOf(Api::FlushFileBuffers), c.flushed ? 1U : 0U);
    EXPECT_EQ(CountOf(Api::MoveFileExW), c.moved ? 1U : 0U);
    if (c.deleted) {
      EXPECT_EQ(standin::CallPaths(Api::DeleteFileW), std::vector<std::wstring>{kTemporary});
      EXPECT_EQ(standin::Calls().back().api, Api::DeleteFileW);
    } else {
      EXPECT_EQ(CountOf(Api::DeleteFileW), 0U);
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

struct WalkCase {
  const wchar_t* dir;
  std::vector<std::wstring> attempted;  // CreateDirectoryW, in this order
  std::vector<std::wstring> existing;   // the attempts that meet a folder and look it up
};

// Each prefix ends just after a component, exactly as written. The root, and
// behind a device prefix the drive or the share, is never attempted.
const WalkCase kWalkCases[] = {
    {L"C:\\Users\\me\\AppData\\Roaming\\Vantide",
     {L"C:\\Users", L"C:\\Users\\me", L"C:\\Users\\me\\AppData", L"C:\\Users\\me\\AppData\\Roaming",
      L"C:\\Users\\me\\AppData\\Roaming\\Vantide"},
     {L"C:\\Users", L"C:\\Users\\me"}},
    {L"C:/new//deeper\\\\", {L"C:/new", L"C:/new//deeper"}, {}},
    {L"C:a\\b", {L"C:a", L"C:a\\b"}, {}},
    {L"\\x\\y", {L"\\x", L"\\x\\y"}, {}},
    {L"x\\y", {L"x", L"x\\y"}, {}},
    {L"\\\\server\\share\\d", {L"\\\\server\\share", L"\\\\server\\share\\d"}, {L"\\\\server\\share"}},
    {L"\\\\?\\C:\\x\\y", {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x\\y"}, {}},
    {L"\\\\.\\C:\\x", {L"\\\\.\\C:\\x"}, {}},
    {L"\\??\\C:\\x", {L"\\??\\C:\\x"}, {}},
    {L"\\\\?\\UNC\\server\\share\\x\\y",
     {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x\\y"},
     {}},
    {L"C:\\", {}, {}},
    {L"C:", {}, {}},
    {L"\\\\?\\C:\\", {}, {}},
    {L"\\\\?\\UNC\\server\\share", {}, {}},
    {L"\\\\?\\UNC\\server\\share\\", {}, {}},
};

TEST_F(AtomicFileStandinTest, DirectoryChainAttemptsEachPrefixAsWrittenFromTheTopDown) {
  for (const WalkCase& c : kWalkCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    standin::Reset();
    standin::AddDirectory(L"C:\\Users\\me");
    standin::AddDirectory(L"\\\\server\\share\\elsewhere");
    std::vector<std::wstring> expected;
    for (const std::wstring& prefix : c.attempted) {
      expected.push_back(Describe(Api::CreateDirectoryW, prefix, L"", {}));
      for (const std::wstring& existing : c.existing) {
        if (existing != prefix) continue;
        expected.push_back(Describe(Api::GetFileAttributesExW, prefix, L"", {GetFileExInfoStandard}));
      }
    }
    EXPECT_EQ(VantideCreateDirectoryChain(c.dir), 0U);
    EXPECT_EQ(RecordedCalls(), expected);
    if (!c.attempted.empty()) {
      EXPECT_TRUE(standin::IsDirectory(c.attempted.back()));
    }
  }
}

// Every prefix of a drive path below its root, in order.
std::vector<std::wstring> PrefixesOf(const std::wstring& dir) {
  std::vector<std::wstring> prefixes;
  for (std::size_t i = 3; i < dir.size(); ++i) {
    if (dir[i] == L'\\') prefixes.push_back(dir.substr(0, i));
  }
  if (dir.size() > 3) prefixes.push_back(dir);
  return prefixes;
}

struct ChainErrorCase {
  const char* what;
  const wchar_t* dir;
  std::vector<Fault> faults;
  DWORD error;
  void (*setup)() = nullptr;
  const wchar_t* folder = nullptr;  // a folder afterwards
};

Fault CreateFails(const wchar_t* path, DWORD error) {
  return {.api = Api::CreateDirectoryW, .error = error, .path = path};
}

// Not-found errors {2, 3, 53, 64, 123, 161, 267} only say that a folder above
// is missing: they never hide a telling error, and a telling error is only
// reported when the last step failed.
const ChainErrorCase kChainErrorCases[] = {
    {"empty", L"", {}, ERROR_PATH_NOT_FOUND},
    {"refused on an existing upper folder, the last step fine",
     L"C:\\a\\b",
     {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED)},
     0,
     [] { standin::AddDirectory(L"C:\\a"); },
     L"C:\\a\\b"},
    {"refused on a missing upper folder, not found below",
     L"C:\\a\\b\\c",
     {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED)},
     ERROR_ACCESS_DENIED},
    {"only not-found errors: the last step's",
     L"C:\\a\\b",
     {CreateFails(L"C:\\a", ERROR_BAD_NETPATH)},
     ERROR_PATH_NOT_FOUND},
    {"not found 2 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 2), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"not found 3 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 3), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"not found 53 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 53), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"not found 64 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 64), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"not found 123 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 123), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"not found 161 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 161), CreateFails(L"C:\\a\\b", 2)}, 2},
    {"not found 267 above", L"C:\\a\\b", {CreateFails(L"C:\\a", 267), CreateFails(L"C:\\a\\b", 161)}, 161},
    {"a telling error above a not-found one",
     L"C:\\a\\b",
     {CreateFails(L"C:\\a", ERROR_CANT_ACCESS_FILE), CreateFails(L"C:\\a\\b", 161)},
     ERROR_CANT_ACCESS_FILE},
    {"the most recent telling error wins",
     L"C:\\a\\b\\c",
     {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED), CreateFails(L"C:\\a\\b", ERROR_SHARING_VIOLATION)},
     ERROR_SHARING_VIOLATION},
    {"a telling error on the last step",
     L"C:\\a\\b",
     {CreateFails(L"C:\\a", ERROR_ACCESS_DENIED), CreateFails(L"C:\\a\\b", ERROR_DISK_FULL)},
     ERROR_DISK_FULL},
    {"a failure without a reason is telling", L"C:\\a\\b", {CreateFails(L"C:\\a", 0)}, 0x80004005U},
    {"a failure without a reason on the last step", L"C:\\a", {CreateFails(L"C:\\a", 0)}, 0x80004005U},
    {"a file in the middle",
     L"C:\\f\\sub",
     {},
     ERROR_ALREADY_EXISTS,
     [] { standin::AddFile(L"C:\\f", "x"); }},
    {"a file at the end", L"C:\\a\\f", {}, ERROR_ALREADY_EXISTS, [] { standin::AddFile(L"C:\\a\\f", "x"); }},
    {"a link to a file in the middle",
     L"C:\\fl\\sub",
     {},
     ERROR_ALREADY_EXISTS,
     [] {
       standin::AddFile(L"C:\\t", "x");
       standin::AddFileLink(L"C:\\fl", L"C:\\t");
     }},
    {"a link to a folder on the way",
     L"C:\\link\\new",
     {},
     0,
     [] {
       standin::AddDirectory(L"C:\\target");
       standin::AddDirectoryLink(L"C:\\link", L"C:\\target");
     },
     L"C:\\target\\new"},
    {"the look-up after 183 fails",
     L"C:\\a",
     {{.api = Api::GetFileAttributesExW, .error = ERROR_ACCESS_DENIED, .path = L"C:\\a"}},
     ERROR_ACCESS_DENIED,
     [] { standin::AddDirectory(L"C:\\a"); }},
    {"the look-up after 183 fails without a reason",
     L"C:\\a",
     {{.api = Api::GetFileAttributesExW, .error = 0, .path = L"C:\\a"}},
     0x80004005U,
     [] { standin::AddDirectory(L"C:\\a"); }},
    // 183, yet the look-up finds nothing: the look-up's error is the step's.
    {"183 for something that is gone",
     L"C:\\a",
     {CreateFails(L"C:\\a", ERROR_ALREADY_EXISTS)},
     ERROR_FILE_NOT_FOUND},
};

TEST_F(AtomicFileStandinTest, DirectoryChainNeverStopsAndReportsTheTellingError) {
  for (const ChainErrorCase& c : kChainErrorCases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    if (c.setup != nullptr) c.setup();
    for (const Fault& fault : c.faults) standin::InjectFault(fault);
    EXPECT_EQ(VantideCreateDirectoryChain(c.dir), c.error);
    EXPECT_EQ(standin::CallPaths(Api::CreateDirectoryW), PrefixesOf(c.dir));
    if (c.folder != nullptr) {
      EXPECT_TRUE(standin::IsDirectory(c.folder));
    }
  }
}

TEST_F(AtomicFileStandinTest, OnlyA183IsLookedUp) {
  standin::AddDirectory(L"C:\\a");
  standin::InjectFault(CreateFails(L"C:\\a", ERROR_ACCESS_DENIED));
  standin::InjectFault(CreateFails(L"C:\\a\\b", ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(VantideCreateDirectoryChain(L"C:\\a\\b\\c"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CountOf(Api::GetFileAttributesExW), 0U);
  EXPECT_EQ(standin::Calls().size(), 3U);
}

}  // namespace
}  // namespace van_tide
