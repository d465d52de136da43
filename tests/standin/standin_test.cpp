// The stand-in's own mechanics: faults, the call record, crashes, durability,
// hooks, files held by other processes, Restart and Reset, and the few answers
// only the stand-in can give (shares, a second drive, another user). How it
// answers like Windows is held to the real API by win32_behaviour_test.cpp,
// which runs on both builds.
#include "platform/win32.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"
#include "support/test_tree.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

using namespace testing::win32;  // the tables read as plain calls

std::vector<Api> CallSequence() {
  std::vector<Api> apis;
  for (const standin::Call& call : standin::Calls()) apis.push_back(call.api);
  return apis;
}

// A small machine: a folder with a file, links of both kinds (one dangling),
// and a share.
class StandinMachineTest : public testing::StandinTest {
 protected:
  void SetUp() override {
    standin::AddFile(L"C:\\a\\f.txt", "abc");
    standin::AddDirectory(L"C:\\a\\sub");
    standin::AddDirectoryLink(L"C:\\link", L"C:\\a");
    standin::AddFileLink(L"C:\\flink", L"C:\\a\\f.txt");
    standin::AddDirectoryLink(L"C:\\dangling", L"C:\\missing");
    standin::AddFileLink(L"C:\\fdangling", L"C:\\a\\gone.txt");
    standin::AddDirectory(L"\\\\srv\\share\\x");
  }
};

// ---------------------------------------------------------------------------
// Paths only the stand-in can give: shares and a second drive
// ---------------------------------------------------------------------------

TEST_F(StandinMachineTest, SharesAndOtherDrivesAnswerLikeWindows) {
  standin::AddDrive(L'D');
  standin::AddFile(L"D:\\top.txt", "d");
  const struct {
    const wchar_t* path;
    Outcome expected;
  } cases[] = {
      {L"\\\\srv\\share", Is(kDir)},
      {L"\\\\SRV\\Share\\x\\", Is(kDir)},
      {L"\\\\?\\UNC\\srv\\share\\x", Is(kDir)},
      {L"\\\\srv\\share\\missing\\x", Fails(ERROR_PATH_NOT_FOUND)},
      {L"\\\\srv\\other\\x", Fails(ERROR_BAD_NET_NAME)},
      {L"\\\\nobody\\share", Fails(ERROR_BAD_NETPATH)},
      {L"\\\\?\\UNC\\srv\\share\\x\\..\\x", Fails(ERROR_INVALID_NAME)},
      {L"D:top.txt", Is(kFile)},  // another drive: against its root
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Attributes(c.path), c.expected);
  }
  SetLastError(kPlanted);
  EXPECT_FALSE(CreateDirectoryW(L"\\\\srv\\share", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  SetLastError(kPlanted);
  EXPECT_FALSE(MoveFileExW(L"C:\\a\\f.txt", L"\\\\srv\\share\\f.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
  EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "abc");
}

// Answers where Windows' own is not established here (Wine gives another, and
// neither Windows' documentation nor a probe settles it): the stand-in refuses
// what it does not model rather than guessing a success. A colon after the
// drive would be NTFS stream syntax; "/" after \\?\ is part of a name, so
// "C:/..." names nothing; a folder cannot be moved below itself.
TEST_F(StandinMachineTest, RefusesWhatItDoesNotModel) {
  // Named streams are not kept: one is never found.
  EXPECT_EQ(Attributes(L"C:\\a\\f.txt:y"), Fails(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Attributes(L"C:\\a\\x:y\\z"), Fails(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Attributes(L"\\\\?\\C:/a"), Fails(ERROR_PATH_NOT_FOUND));
  SetLastError(kPlanted);
  EXPECT_FALSE(MoveFileExW(L"C:\\a", L"C:\\a\\sub\\inner", 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(standin::IsDirectory(L"C:\\a"));
}

// Stricter than Windows on purpose: code that reads the last error after a
// success is caught reading a stale value. CreateFileW, which always sets it,
// is checked on both builds.
TEST_F(StandinMachineTest, SuccessfulCallsLeaveTheLastErrorAlone) {
  const HANDLE file = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetLastError(4242);
  EXPECT_EQ(GetFileAttributesW(L"C:\\a"), kDir);
  EXPECT_EQ(ReadAll(file), "abc");
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\new", nullptr));
  EXPECT_EQ(GetLastError(), 4242U);
}

// ---------------------------------------------------------------------------
// Handles and listing, as the stand-in keeps them
// ---------------------------------------------------------------------------
TEST_F(StandinMachineTest, HandlesAreSmallDistinctValuesAndCloseOnce) {
  const HANDLE first = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  const HANDLE second = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  for (const HANDLE handle : {first, second}) {
    EXPECT_NE(handle, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
  }
  EXPECT_NE(first, second);
  EXPECT_EQ(standin::OpenHandleCount(), 2U);
  EXPECT_EQ(standin::OpenHandlePaths(), (std::vector<std::wstring>{L"C:\\a\\f.txt", L"C:\\a\\f.txt"}));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(standin::OpenHandleCount(), 0U);

  for (const HANDLE bad : {first, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
    SetLastError(kPlanted);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  DWORD read = 0;
  char byte = 0;
  EXPECT_FALSE(ReadFile(first, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // Only the value a failed open returns counts as a fault the fixture
  // reports, whichever close is given it; a new process starts without any.
  EXPECT_EQ(standin::InvalidHandleCloses(), 1U);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(standin::InvalidHandleCloses(), 2U);
  standin::Restart();
  EXPECT_EQ(standin::InvalidHandleCloses(), 0U);
}

// The inspection the other stand-in tests rely on gives the listing order.
TEST_F(StandinMachineTest, ListNamesFollowsTheListingOrder) {
  for (const wchar_t* name : {L"zebra", L"\u00e4rger", L"_x", L"\U0001F600", L"\uff21", L"A"}) {
    standin::AddFile(std::wstring(L"C:\\d\\") + name, "");
  }
  std::vector<std::wstring> listed;
  WIN32_FIND_DATAW data{};
  const HANDLE find =
      FindFirstFileExW(L"C:\\d\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") listed.push_back(name);
  } while (FindNextFileW(find, &data));
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(listed,
            (std::vector<std::wstring>{L"A", L"zebra", L"_x", L"\u00e4rger", L"\U0001F600", L"\uff21"}));
  EXPECT_EQ(standin::ListNames(L"C:\\d"), listed);
}

// Listings that put the dot entries elsewhere, or leave them out, as other
// file systems do; a pattern still decides whether they match at all.
TEST_F(StandinMachineTest, ListsTheDotEntriesWhereItIsTold) {
  standin::AddFile(L"C:\\d\\b", "");
  standin::AddFile(L"C:\\d\\a", "");
  const struct {
    standin::DotEntries where;
    const wchar_t* pattern;
    std::vector<std::wstring> listed;
  } cases[] = {
      {standin::DotEntries::kFirst, L"C:\\d\\*", {L".", L"..", L"a", L"b"}},
      {standin::DotEntries::kNone, L"C:\\d\\*", {L"a", L"b"}},
      {standin::DotEntries::kLast, L"C:\\d\\*", {L"a", L"b", L".", L".."}},
      {standin::DotEntries::kLast, L"C:\\d\\?", {L"a", L"b", L"."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    standin::SetDotEntries(c.where);
    std::vector<std::wstring> listed;
    WIN32_FIND_DATAW data{};
    const HANDLE find =
        FindFirstFileExW(c.pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
      listed.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(listed, c.listed);
  }
  // A root has none, wherever they would go.
  WIN32_FIND_DATAW data{};
  const HANDLE root = FindFirstFileExW(L"C:\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  do {
    EXPECT_NE(data.cFileName[0], L'.');
  } while (FindNextFileW(root, &data));
  EXPECT_TRUE(FindClose(root));
  // An empty folder without dot entries lists nothing at all.
  standin::SetDotEntries(standin::DotEntries::kNone);
  standin::AddDirectory(L"C:\\empty");
  EXPECT_EQ(FindFirstFileExW(L"C:\\empty\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  standin::Reset();
  standin::AddDirectory(L"C:\\empty");
  const HANDLE find =
      FindFirstFileExW(L"C:\\empty\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);  // a fresh machine lists them first again
  EXPECT_EQ(std::wstring(data.cFileName), L".");
  EXPECT_TRUE(FindClose(find));
}

// ---------------------------------------------------------------------------
// Data protection
// ---------------------------------------------------------------------------

class StandinDataProtectionTest : public testing::StandinTest {
 protected:
  const std::string token_ = "van-tide-hud-0123456789abcdef0123456789ABCDEF";
};

TEST_F(StandinDataProtectionTest, OpensForTheSameUserOnly) {
  const std::string blob = Seal(token_);
  std::string plain;
  EXPECT_EQ(Unseal(blob, &plain), 0U);
  EXPECT_EQ(plain, token_);

  standin::SetCurrentUser(L"S-1-5-21-2002");
  plain.clear();
  EXPECT_EQ(Unseal(blob, &plain), NTE_BAD_KEY_STATE);
  EXPECT_TRUE(plain.empty());
}

// Bytes after the blob are an alteration too (Windows' answer is not
// established here; Wine ignores them).
TEST_F(StandinDataProtectionTest, RefusesABlobWithBytesAppended) {
  std::string plain;
  EXPECT_EQ(Unseal(Seal(token_) + '\0', &plain), ERROR_INVALID_DATA);
  EXPECT_TRUE(plain.empty());
}

TEST_F(StandinDataProtectionTest, CountsEveryBufferUntilLocalFree) {
  std::string blob = Seal(token_);
  DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
  DATA_BLOB out{0, nullptr};
  LPWSTR description = nullptr;
  ASSERT_TRUE(
      CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 2U);
  EXPECT_EQ(LocalFree(description), nullptr);
  EXPECT_EQ(LocalFree(out.pbData), nullptr);
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);

  // Freeing what the service never gave fails without harm and returns the
  // pointer, as LocalFree does.
  int unrelated = 0;
  EXPECT_EQ(LocalFree(&unrelated), &unrelated);
}

TEST_F(StandinDataProtectionTest, RecordsDescriptionFlagsAndNullArguments) {
  Seal(token_);
  BYTE salt[] = {1};
  DATA_BLOB entropy{1, salt};
  Seal(token_, &entropy);
  // LocalFree stays out of the record.
  EXPECT_EQ(CallSequence(), (std::vector<Api>{Api::CryptProtectData, Api::CryptProtectData}));
  const std::vector<standin::Call>& calls = standin::Calls();
  EXPECT_EQ(calls[0].description, L"Vantide license device");
  EXPECT_EQ(calls[0].args, (std::vector<DWORD>{CRYPTPROTECT_UI_FORBIDDEN}));
  EXPECT_TRUE(calls[0].path.empty());
  EXPECT_TRUE(calls[0].nullArguments);
  EXPECT_FALSE(calls[1].nullArguments);

  std::string blob = Seal(token_);
  standin::ClearCalls();
  DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
  DATA_BLOB out{0, nullptr};
  LPWSTR description = nullptr;
  ASSERT_TRUE(
      CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
  LocalFree(description);
  LocalFree(out.pbData);
  EXPECT_EQ(standin::Calls().front().api, Api::CryptUnprotectData);
  EXPECT_FALSE(standin::Calls().front().nullArguments);  // the description output was asked for
}

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------

TEST_F(StandinMachineTest, EnvironmentCopiesAreRecordedAndFailAsPlanned) {
  standin::SetEnvironmentVariable(L"EMPTY", L"");
  wchar_t* buffer = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"appdata"), 0);
  EXPECT_EQ(buffer, nullptr);

  standin::InjectFault({.api = Api::WideDupEnv, .error = ENOMEM, .path = L"EMPTY"});
  count = 5;
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"EMPTY"), ENOMEM);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(count, 0U);
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"EMPTY"), 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(count, 1U);
  // Counted until given back; only a copy it made is released, once.
  EXPECT_EQ(standin::OutstandingEnvCopies(), 1U);
  wchar_t unrelated[1] = {};
  platform::FreeEnvCopy(unrelated);
  platform::FreeEnvCopy(nullptr);
  EXPECT_EQ(standin::OutstandingEnvCopies(), 1U);
  platform::FreeEnvCopy(buffer);
  EXPECT_EQ(standin::OutstandingEnvCopies(), 0U);
  EXPECT_EQ(standin::CallPaths(Api::WideDupEnv), (std::vector<std::wstring>{L"appdata", L"EMPTY", L"EMPTY"}));
}

// ---------------------------------------------------------------------------
// Faults and the call record
// ---------------------------------------------------------------------------

TEST_F(StandinMachineTest, FaultsSkipThenFailForTheirCount) {
  const struct {
    const char* name;
    standin::Fault fault;
    std::vector<bool> fails;  // for five calls on C:\a
  } cases[] = {
      {"first call", {.api = Api::GetFileAttributesW, .error = 5}, {true, false, false, false, false}},
      {"skip one, fail two",
       {.api = Api::GetFileAttributesW, .error = 5, .skip = 1, .count = 2},
       {false, true, true, false, false}},
      {"all after two",
       {.api = Api::GetFileAttributesW, .error = 5, .skip = 2, .count = -1},
       {false, false, true, true, true}},
      {"another path never fires",
       {.api = Api::GetFileAttributesW, .error = 5, .path = L"C:\\b"},
       {false, false, false, false, false}},
      {"this path",
       {.api = Api::GetFileAttributesW, .error = 5, .path = L"C:\\a", .count = 2},
       {true, true, false, false, false}},
      {"another api never fires",
       {.api = Api::GetFileAttributesExW, .error = 5},
       {false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    standin::AddDirectory(L"C:\\a");
    standin::InjectFault(c.fault);
    for (std::size_t i = 0; i < c.fails.size(); ++i) {
      SetLastError(kPlanted);
      EXPECT_EQ(Attributes(L"C:\\a"), c.fails[i] ? Fails(5) : Is(kDir)) << "call " << i;
    }
    EXPECT_EQ(standin::CallPaths(Api::GetFileAttributesW).size(), 5U);
  }
}

TEST_F(StandinMachineTest, AFaultWithErrorZeroStillFails) {
  const struct {
    Api api;
    bool (*call)();
  } cases[] = {
      {Api::CreateFileW,
       [] {
         return Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE;
       }},
      {Api::GetFileAttributesW, [] { return GetFileAttributesW(L"C:\\a") != INVALID_FILE_ATTRIBUTES; }},
      {Api::CreateDirectoryW, [] { return CreateDirectoryW(L"C:\\n", nullptr) != FALSE; }},
      {Api::MoveFileExW, [] { return MoveFileExW(L"C:\\a\\f.txt", L"C:\\a\\g", 0) != FALSE; }},
      {Api::DeleteFileW, [] { return DeleteFileW(L"C:\\a\\f.txt") != FALSE; }},
      {Api::FindFirstFileExW,
       [] {
         WIN32_FIND_DATAW data{};
         return FindFirstFileExW(L"C:\\a\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0) !=
                INVALID_HANDLE_VALUE;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::ApiName(c.api));
    standin::InjectFault({.api = c.api, .error = 0});
    SetLastError(kPlanted);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), 0U);
  }
  EXPECT_TRUE(standin::Exists(L"C:\\a\\f.txt")) << "a failed call must not act";
  EXPECT_FALSE(standin::Exists(L"C:\\n"));
}

TEST_F(StandinMachineTest, HandleCallsFailOnTheirPathAndShortTransfersSucceed) {
  standin::InjectFault({.api = Api::ReadFile, .path = L"C:\\a\\f.txt", .shortBy = 1});
  standin::InjectFault({.api = Api::WriteFile, .path = L"C:\\a\\n", .shortBy = 10});
  standin::InjectFault({.api = Api::FlushFileBuffers, .error = ERROR_WRITE_FAULT});
  standin::InjectFault({.api = Api::CloseHandle, .error = ERROR_INVALID_HANDLE, .path = L"C:\\a\\n"});

  const HANDLE reader = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  char buffer[3] = {};
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(reader, buffer, 3, &count, nullptr));
  EXPECT_EQ(count, 2U);
  EXPECT_TRUE(CloseHandle(reader));

  const HANDLE writer = Open(L"C:\\a\\n", GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_TRUE(WriteFile(writer, "hello", 5, &count, nullptr));
  EXPECT_EQ(count, 0U);
  EXPECT_FALSE(FlushFileBuffers(writer));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  // A close that reports failure still gives the handle back.
  EXPECT_FALSE(CloseHandle(writer));
  EXPECT_EQ(standin::OpenHandleCount(), 0U);
  EXPECT_EQ(standin::FileContents(L"C:\\a\\n"), "");
}

TEST_F(StandinMachineTest, RecordsEveryCallWithItsArguments) {
  standin::InjectFault({.api = Api::DeleteFileW, .error = ERROR_ACCESS_DENIED});
  const HANDLE file =
      Open(L"C:/a/f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  char buffer[8];
  DWORD count = 0;
  ReadFile(file, buffer, 8, &count, nullptr);
  CloseHandle(file);
  MoveFileExW(L"C:\\a\\f.txt", L"C:\\a\\g.txt", MOVEFILE_WRITE_THROUGH);
  DeleteFileW(L"C:\\a\\g.txt");
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileExW(L"C:\\a\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH);
  FindNextFileW(find, &data);
  FindClose(find);

  EXPECT_EQ(CallSequence(),
            (std::vector<Api>{Api::CreateFileW, Api::ReadFile, Api::CloseHandle, Api::MoveFileExW,
                              Api::DeleteFileW, Api::FindFirstFileExW, Api::FindNextFileW, Api::FindClose}));
  const std::vector<standin::Call>& calls = standin::Calls();
  EXPECT_EQ(calls[0].path, L"C:/a/f.txt");
  EXPECT_EQ(calls[0].args,
            (std::vector<DWORD>{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT}));
  EXPECT_EQ(calls[1].path, L"C:/a/f.txt");  // handle calls carry the text it was opened with
  EXPECT_EQ(calls[1].args, (std::vector<DWORD>{8}));
  EXPECT_EQ(calls[2].path, L"C:/a/f.txt");
  EXPECT_EQ(calls[3].path, L"C:\\a\\f.txt");
  EXPECT_EQ(calls[3].path2, L"C:\\a\\g.txt");
  EXPECT_EQ(calls[3].args, (std::vector<DWORD>{MOVEFILE_WRITE_THROUGH}));
  EXPECT_EQ(calls[4].path, L"C:\\a\\g.txt");  // recorded though it failed
  EXPECT_EQ(calls[5].args,
            (std::vector<DWORD>{FindExInfoBasic, FindExSearchNameMatch, FIND_FIRST_EX_LARGE_FETCH}));
  EXPECT_EQ(calls[6].path, L"C:\\a\\*");
  EXPECT_EQ(standin::CallPaths(Api::CloseHandle), (std::vector<std::wstring>{L"C:/a/f.txt"}));

  standin::ClearCalls();
  EXPECT_TRUE(standin::Calls().empty());
  EXPECT_TRUE(standin::Exists(L"C:\\a\\g.txt"));
}

TEST_F(StandinMachineTest, ResetGivesAFreshMachine) {
  standin::SetEnvironmentVariable(L"APPDATA", L"x");
  standin::SetCurrentUser(L"S-1-5-21-9");
  standin::SetCurrentFolder(L"C:\\a");
  standin::InjectFault({.api = Api::GetFileAttributesW, .error = 5, .count = -1});
  const HANDLE leaked = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(leaked, INVALID_HANDLE_VALUE);
  SetLastError(7);

  standin::Reset();
  EXPECT_EQ(GetLastError(), 0U);
  EXPECT_TRUE(standin::Calls().empty());
  EXPECT_EQ(standin::OpenHandleCount(), 0U);
  EXPECT_EQ(standin::ListNames(L"C:\\"), std::vector<std::wstring>{});
  EXPECT_FALSE(standin::Exists(L"\\\\srv\\share"));
  EXPECT_EQ(Attributes(L"C:\\"), Is(kDir));  // no fault left, current folder back at C:\ .
  standin::AddDirectory(L"C:\\a");
  EXPECT_EQ(Attributes(L"a"), Is(kDir));
  wchar_t* buffer = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"APPDATA"), 0);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(StandinMachineTest, SetupRejectsWhatItCannotPlace) {
  EXPECT_THROW(standin::AddFile(L"Q:\\x", ""), std::invalid_argument);
  EXPECT_THROW(standin::AddFile(L"C:\\a\\f.txt\\x", ""), std::invalid_argument);
  EXPECT_THROW(standin::AddDirectory(L"C:\\bad|name"), std::invalid_argument);
  EXPECT_THROW(standin::SetCurrentFolder(L"C:\\a\\f.txt"), std::invalid_argument);
  // Adding through a folder link places the item in the target.
  standin::AddFile(L"C:\\link\\via.txt", "v");
  EXPECT_EQ(standin::FileContents(L"C:\\a\\via.txt"), "v");
  standin::Remove(L"C:\\a");
  EXPECT_FALSE(standin::Exists(L"C:\\a"));
  EXPECT_TRUE(standin::Exists(L"C:\\link"));
}

// ---------------------------------------------------------------------------
// Faults by position, partial transfers, crashes and other processes
// ---------------------------------------------------------------------------

// What one call of a short, fixed run reported.
struct Step {
  bool ok;
  DWORD error;
  bool operator==(const Step&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Step& step) {
  return out << (step.ok ? "ok" : "failed") << " (error " << step.error << ")";
}

constexpr Step kOk{true, kPlanted};

// Five calls of different APIs and paths, each reported on its own.
std::vector<Step> RunFiveCalls() {
  std::vector<Step> steps;
  const auto note = [&](bool ok) { steps.push_back({ok, GetLastError()}); };
  SetLastError(kPlanted);
  note(CreateDirectoryW(L"C:\\n", nullptr) != FALSE);
  SetLastError(kPlanted);
  const HANDLE file = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  note(file != INVALID_HANDLE_VALUE);
  char buffer[3];
  DWORD count = 0;
  SetLastError(kPlanted);
  note(ReadFile(file, buffer, 3, &count, nullptr) != FALSE);
  SetLastError(kPlanted);
  note(CloseHandle(file) != FALSE);
  SetLastError(kPlanted);
  note(GetFileAttributesW(L"C:\\a") != INVALID_FILE_ATTRIBUTES);
  return steps;
}

// The five steps when nothing fails: a successful open sets the last error to 0.
std::vector<Step> AllFiveGoThrough() { return {kOk, {true, ERROR_SUCCESS}, kOk, kOk, kOk}; }

TEST_F(StandinMachineTest, AFaultByPositionHitsExactlyThatCall) {
  const struct {
    std::size_t index;
    Api api;  // what the call at that position is
  } cases[] = {
      {0, Api::CreateDirectoryW},
      {2, Api::ReadFile},
      {3, Api::CloseHandle},  // still gives the handle back
      {4, Api::GetFileAttributesW},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::ApiName(c.api));
    standin::Remove(L"C:\\n");
    standin::ClearCalls();  // positions count from here
    // api and path are ignored: the position alone decides.
    standin::InjectFaultAtCall(c.index,
                               {.api = Api::DeleteFileW, .error = ERROR_WRITE_FAULT, .path = L"C:\\x"});
    std::vector<Step> expected = AllFiveGoThrough();
    expected[c.index] = {false, ERROR_WRITE_FAULT};
    EXPECT_EQ(RunFiveCalls(), expected);
    ASSERT_EQ(standin::Calls().size(), 5U);
    EXPECT_EQ(standin::Calls()[c.index].api, c.api);
    EXPECT_EQ(standin::Exists(L"C:\\n"), c.index != 0) << "a failed call must not act";
    // Fired once: a second run goes through.
    standin::Remove(L"C:\\n");
    standin::ClearCalls();
    EXPECT_EQ(RunFiveCalls(), AllFiveGoThrough());
  }
}

TEST_F(StandinMachineTest, AFaultByPositionWinsOverOneByNameWhichStillCounts) {
  // By name: the second and third attribute queries fail with 5.
  standin::InjectFault({.api = Api::GetFileAttributesW, .error = ERROR_ACCESS_DENIED, .skip = 1, .count = 2});
  standin::InjectFaultAtCall(1, {.error = ERROR_WRITE_FAULT});
  standin::InjectFaultAtCall(3, {.error = ERROR_WRITE_FAULT});
  const Outcome expected[] = {Is(kDir), Fails(ERROR_WRITE_FAULT), Fails(ERROR_ACCESS_DENIED),
                              Fails(ERROR_WRITE_FAULT), Is(kDir)};
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(Attributes(L"C:\\a"), expected[i]) << "call " << i;
  }
}

// A fault of either kind, planted for the next call on C:\a\f.txt.
struct PartialFault {
  const char* name;
  void (*plant)(const standin::Fault& fault);
};
const PartialFault kPartialFaults[] = {
    {"by name", [](const standin::Fault& fault) { standin::InjectFault(fault); }},
    {"by position",
     [](const standin::Fault& fault) { standin::InjectFaultAtCall(standin::Calls().size(), fault); }},
};

TEST_F(StandinMachineTest, APartialWriteLandsItsShortCountThenFails) {
  for (const PartialFault& kind : kPartialFaults) {
    SCOPED_TRACE(kind.name);
    standin::AddFile(L"C:\\a\\f.txt", "abc");
    const HANDLE file = Open(L"C:\\a\\f.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
    kind.plant({.api = Api::WriteFile, .error = ERROR_DISK_FULL, .shortBy = 2, .failAfterTransfer = true});
    DWORD written = 99;
    SetLastError(kPlanted);
    EXPECT_FALSE(WriteFile(file, "hello", 5, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 3U);
    EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "hel");
    // The position moved past what landed.
    EXPECT_TRUE(WriteFile(file, "XY", 2, &written, nullptr));
    EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "helXY");
    EXPECT_TRUE(CloseHandle(file));
  }
}

TEST_F(StandinMachineTest, APartialReadFillsItsShortCountThenFails) {
  for (const PartialFault& kind : kPartialFaults) {
    SCOPED_TRACE(kind.name);
    const HANDLE file = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    kind.plant({.api = Api::ReadFile, .error = ERROR_READ_FAULT, .shortBy = 1, .failAfterTransfer = true});
    char buffer[3] = {'-', '-', '-'};
    DWORD read = 99;
    SetLastError(kPlanted);
    EXPECT_FALSE(ReadFile(file, buffer, 3, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
    EXPECT_EQ(read, 2U);
    EXPECT_EQ(std::string(buffer, 3), "ab-");
    EXPECT_EQ(ReadAll(file), "c");  // the position moved past what was read
    EXPECT_TRUE(CloseHandle(file));
  }
}

TEST_F(StandinMachineTest, APartialTransferStillChecksTheHandleFirst) {
  standin::InjectFault(
      {.api = Api::WriteFile, .error = ERROR_DISK_FULL, .shortBy = 1, .failAfterTransfer = true});
  const HANDLE reader = Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(reader, "xy", 2, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(written, 0U);
  EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "abc");
  EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(StandinMachineTest, ACrashKeepsItsCallThenNothingActsOrIsRecorded) {
  BYTE plain = 'x';
  DATA_BLOB in{1, &plain};
  DATA_BLOB sealed{0, nullptr};
  standin::CrashAfterCall(2);
  const HANDLE locked = Open(L"C:\\a\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);  // 0
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &sealed));  // 1
  EXPECT_FALSE(standin::Crashed());
  EXPECT_TRUE(CreateDirectoryW(L"C:\\a\\made", nullptr));  // 2: returns normally, then the process dies
  EXPECT_TRUE(standin::Crashed());
  EXPECT_TRUE(standin::Exists(L"C:\\a\\made"));
  EXPECT_EQ(standin::OpenHandleCount(), 0U);

  char buffer[4];
  DWORD count = 0;
  WIN32_FIND_DATAW data{};
  const struct {
    const char* name;
    std::function<bool()> call;
  } later[] = {
      {"CreateDirectoryW", [] { return CreateDirectoryW(L"C:\\a\\later", nullptr) != FALSE; }},
      {"CreateFileW",
       [] { return Open(L"C:\\a\\new", GENERIC_WRITE, 0, CREATE_NEW) != INVALID_HANDLE_VALUE; }},
      {"WriteFile",
       [&] {
         count = 99;
         const bool ok = WriteFile(locked, "zz", 2, &count, nullptr) != FALSE;
         EXPECT_EQ(count, 0U);
         return ok;
       }},
      {"ReadFile",
       [&] {
         count = 99;
         const bool ok = ReadFile(locked, buffer, 4, &count, nullptr) != FALSE;
         EXPECT_EQ(count, 0U);
         return ok;
       }},
      {"FlushFileBuffers", [&] { return FlushFileBuffers(locked) != FALSE; }},
      {"MoveFileExW",
       [] { return MoveFileExW(L"C:\\a\\f.txt", L"C:\\a\\g.txt", MOVEFILE_WRITE_THROUGH) != FALSE; }},
      {"DeleteFileW", [] { return DeleteFileW(L"C:\\a\\f.txt") != FALSE; }},
      {"GetFileAttributesW", [] { return GetFileAttributesW(L"C:\\a") != INVALID_FILE_ATTRIBUTES; }},
      {"FindFirstFileExW",
       [&] {
         return FindFirstFileExW(L"C:\\a\\*", FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0) !=
                INVALID_HANDLE_VALUE;
       }},
      {"CryptUnprotectData",
       [&] {
         DATA_BLOB out{0, nullptr};
         return CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, 0, &out) != FALSE;
       }},
      {"CloseHandle", [&] { return CloseHandle(locked) != FALSE; }},
  };
  for (const auto& c : later) {
    SCOPED_TRACE(c.name);
    SetLastError(kPlanted);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  standin::SetEnvironmentVariable(L"APPDATA", L"x");
  wchar_t* value = nullptr;
  std::size_t length = 5;
  EXPECT_EQ(platform::WideDupEnv(&value, &length, L"APPDATA"), EINVAL);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(length, 0U);
  // The dead process can still give back its buffer.
  EXPECT_EQ(LocalFree(sealed.pbData), nullptr);
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);

  EXPECT_EQ(CallSequence(),
            (std::vector<Api>{Api::CreateFileW, Api::CryptProtectData, Api::CreateDirectoryW}));
  EXPECT_EQ(standin::ListNames(L"C:\\a"), (std::vector<std::wstring>{L"f.txt", L"made", L"sub"}));
  EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "abc");

  // The share lock died with the process.
  standin::Restart();
  EXPECT_FALSE(standin::Crashed());
  const HANDLE again = Open(L"C:\\a\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(again));
}

// The process dies after its next call (a harmless query).
void CrashNow() {
  standin::CrashAfterCall(standin::Calls().size());
  GetFileAttributesW(L"C:\\");
  ASSERT_TRUE(standin::Crashed());
}

void WriteAndClose(const wchar_t* path, DWORD disposition, const std::string& bytes, bool flush) {
  const HANDLE file = Open(path, GENERIC_WRITE, 0, disposition);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  if (flush) {
    EXPECT_TRUE(FlushFileBuffers(file));
  }
  EXPECT_TRUE(CloseHandle(file));
}

void FlushAnyHandle(const wchar_t* path) {
  const HANDLE file = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_TRUE(FlushFileBuffers(file));
  EXPECT_TRUE(CloseHandle(file));
}

// The files of a folder with their contents, in listing order.
using Listing = std::vector<std::pair<std::wstring, std::string>>;
Listing FilesIn(const std::wstring& folder) {
  Listing files;
  for (const std::wstring& name : standin::ListNames(folder)) {
    files.emplace_back(name, standin::FileContents(folder + L"\\" + name));
  }
  return files;
}

TEST_F(StandinMachineTest, ACrashKeepsOnlyWhatReachedTheDisk) {
  const auto replace = [](DWORD flags) {
    EXPECT_TRUE(MoveFileExW(L"C:\\d\\tmp", L"C:\\d\\f", MOVEFILE_REPLACE_EXISTING | flags));
  };
  const Listing before = {{L"f", "old"}, {L"tmp", "new"}};
  const struct {
    const char* name;
    std::function<void()> run;
    Listing after;  // C:\d once the machine is back
  } cases[] = {
      {"written, not flushed", [] { WriteAndClose(L"C:\\d\\f", OPEN_EXISTING, "NEW", false); }, before},
      {"written and flushed",
       [] { WriteAndClose(L"C:\\d\\f", OPEN_EXISTING, "NEW", true); },
       {{L"f", "NEW"}, {L"tmp", "new"}}},
      {"written after the flush",
       [] {
         const HANDLE file = Open(L"C:\\d\\f", GENERIC_WRITE, 0, OPEN_EXISTING);
         DWORD written = 0;
         EXPECT_TRUE(WriteFile(file, "N", 1, &written, nullptr));
         EXPECT_TRUE(FlushFileBuffers(file));
         EXPECT_TRUE(WriteFile(file, "EW", 2, &written, nullptr));
         EXPECT_TRUE(CloseHandle(file));
       },
       {{L"f", "Nld"}, {L"tmp", "new"}}},
      {"created, never flushed",
       [] { WriteAndClose(L"C:\\d\\g", CREATE_NEW, "fresh", false); },
       {{L"f", "old"}, {L"g", ""}, {L"tmp", "new"}}},
      {"truncated on open, never flushed",
       [] { WriteAndClose(L"C:\\d\\f", CREATE_ALWAYS, "NEW", false); },
       {{L"f", ""}, {L"tmp", "new"}}},
      {"moved without write-through", [&] { replace(0); }, before},
      {"moved with write-through", [&] { replace(MOVEFILE_WRITE_THROUGH); }, {{L"f", "new"}}},
      {"moved, then a flush on the volume",
       [&] {
         replace(0);
         FlushAnyHandle(L"C:\\other");
       },
       {{L"f", "new"}}},
      {"moved, then a flush on another volume",
       [&] {
         replace(0);
         FlushAnyHandle(L"D:\\other");
       },
       before},
      {"moved, then the old name taken",
       [&] {
         replace(0);
         WriteAndClose(L"C:\\d\\tmp", CREATE_NEW, "x", false);
       },
       {{L"f", "new"}, {L"tmp", ""}}},
      {"moved twice without write-through",
       [&] {
         replace(0);
         EXPECT_TRUE(MoveFileExW(L"C:\\d\\f", L"C:\\d\\g", 0));
       },
       before},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    standin::AddDrive(L'D');
    standin::AddFile(L"C:\\d\\f", "old");
    standin::AddFile(L"C:\\d\\tmp", "new");
    standin::AddFile(L"C:\\other", "");
    standin::AddFile(L"D:\\other", "");
    c.run();
    CrashNow();
    standin::Restart();
    EXPECT_EQ(FilesIn(L"C:\\d"), c.after);
  }
}

TEST_F(StandinMachineTest, AHookActsJustBeforeItsCallAndOutsideTheRecord) {
  int runs = 0;
  standin::RunBeforeCall(1, [&] {
    ++runs;
    EXPECT_EQ(standin::Calls().size(), 2U) << "runs once its call is recorded, not after the earlier one";
    standin::AddFile(L"C:\\a\\g.txt", "theirs");
    EXPECT_NE(GetFileAttributesW(L"C:\\a\\g.txt"), INVALID_FILE_ATTRIBUTES);  // not recorded
  });
  standin::InjectFaultAtCall(1, {.error = ERROR_WRITE_FAULT});  // faults come after the hook
  EXPECT_EQ(Attributes(L"C:\\a\\g.txt"), Fails(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(Attributes(L"C:\\a\\g.txt"), Fails(ERROR_WRITE_FAULT));
  EXPECT_EQ(runs, 1);
  standin::ClearCalls();
  standin::RunBeforeCall(0, [] { standin::AddFile(L"C:\\a\\h.txt", "theirs"); });
  SetLastError(kPlanted);
  EXPECT_FALSE(MoveFileExW(L"C:\\a\\f.txt", L"C:\\a\\h.txt", MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(standin::FileContents(L"C:\\a\\h.txt"), "theirs");
  EXPECT_EQ(CallSequence(), std::vector<Api>{Api::MoveFileExW});
}

TEST_F(StandinMachineTest, AFileHeldByAnotherProcessMeetsSharingMovesAndDeletes) {
  const auto opens = [](DWORD access, DWORD share) {
    return [=] { return Open(L"C:\\a\\f.txt", access, share, OPEN_EXISTING) != INVALID_HANDLE_VALUE; };
  };
  const struct {
    const char* name;
    DWORD heldShare;
    std::function<bool()> call;
    DWORD error;  // 0: succeeds
  } cases[] = {
      {"read, shared with none", 0, opens(GENERIC_READ, 7), ERROR_SHARING_VIOLATION},
      {"read, shared for reading", FILE_SHARE_READ, opens(GENERIC_READ, FILE_SHARE_READ), 0},
      {"write, shared for reading", FILE_SHARE_READ, opens(GENERIC_WRITE, FILE_SHARE_READ),
       ERROR_SHARING_VIOLATION},
      {"delete, shared for reading", FILE_SHARE_READ, [] { return DeleteFileW(L"C:\\a\\f.txt") != FALSE; },
       ERROR_SHARING_VIOLATION},
      {"move, shared for reading", FILE_SHARE_READ,
       [] { return MoveFileExW(L"C:\\a\\f.txt", L"C:\\a\\g.txt", 0) != FALSE; }, ERROR_SHARING_VIOLATION},
      {"replace it, shared for deletion", FILE_SHARE_READ | FILE_SHARE_DELETE,
       [] {
         standin::AddFile(L"C:\\a\\g.txt", "g");
         return MoveFileExW(L"C:\\a\\g.txt", L"C:\\a\\f.txt", MOVEFILE_REPLACE_EXISTING) != FALSE;
       },
       ERROR_ACCESS_DENIED},  // an open file is never replaced
      {"delete, shared for deletion", FILE_SHARE_READ | FILE_SHARE_DELETE,
       [] { return DeleteFileW(L"C:\\a\\f.txt") != FALSE; }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Restart();  // closes what a case opened
    standin::AddFile(L"C:\\a\\f.txt", "abc");
    standin::HoldOpen(L"C:\\a\\f.txt", GENERIC_READ, c.heldShare);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
    EXPECT_TRUE(standin::OpenHandlePaths().empty());
    SetLastError(kPlanted);
    EXPECT_EQ(c.call(), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(standin::Calls().size(), 1U) << "holding is not a call";
  }
  standin::Restart();
  standin::AddFile(L"C:\\a\\f.txt", "abc");
  standin::HoldOpen(L"C:\\a\\f.txt", GENERIC_READ | GENERIC_WRITE, 0);
  standin::ReleaseHeld();
  const HANDLE file = Open(L"C:\\a\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_THROW(standin::HoldOpen(L"C:\\a\\missing", GENERIC_READ, 0), std::invalid_argument);
}

// Another process swapping a folder for a link: the folder moves aside whole,
// a path through its name now leads to the link's target, and what the
// process under test holds open stays on the real item.
TEST_F(StandinMachineTest, AFolderExchangedForALinkMovesAsideWithWhatItHolds) {
  standin::AddFile(L"C:\\bait\\f.txt", "bait");
  const HANDLE before =
      Open(L"C:\\a\\f.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  standin::ClearCalls();
  SetLastError(kPlanted);
  EXPECT_TRUE(standin::ExchangeWithLink(L"C:\\A", L"C:\\bait", L"C:\\aside\\real"));
  EXPECT_EQ(GetLastError(), kPlanted);
  EXPECT_TRUE(standin::Calls().empty());
  EXPECT_EQ(Attributes(L"C:\\a"), Is(kDir | kLink));
  const std::vector<std::wstring> root = standin::ListNames(L"C:");
  EXPECT_NE(std::find(root.begin(), root.end(), L"a"), root.end()) << "the link keeps the folder's own name";
  EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), "bait");
  EXPECT_EQ(standin::FileContents(L"C:\\aside\\real\\f.txt"), "abc");
  EXPECT_TRUE(standin::IsDirectory(L"C:\\aside\\real\\sub"));
  EXPECT_EQ(ReadAll(before), "abc");
  EXPECT_TRUE(CloseHandle(before));

  // Nothing at the name yet: the link alone appears, nothing is moved.
  EXPECT_TRUE(standin::ExchangeWithLink(L"C:\\aside\\real\\new", L"C:\\bait", L"C:\\aside2\\x"));
  EXPECT_EQ(Attributes(L"C:\\aside\\real\\new"), Is(kDir | kLink));
  EXPECT_FALSE(standin::Exists(L"C:\\aside2"));
}

TEST_F(StandinMachineTest, AFolderIsNotExchangedWhileItCannotBeMoved) {
  const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const struct {
    const char* name;
    const wchar_t* path;
    std::function<void()> arrange;
    bool exchanged;
  } cases[] = {
      {"opened without sharing deletion", L"C:\\a",
       [] {
         Open(L"C:\\a", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
              FILE_FLAG_BACKUP_SEMANTICS);
       },
       false},
      {"opened sharing deletion", L"C:\\a",
       [=] { Open(L"C:\\a", GENERIC_READ, shareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS); }, true},
      {"held by another process without sharing deletion", L"C:\\a",
       [] { standin::HoldOpen(L"C:\\a", GENERIC_READ, FILE_SHARE_READ); }, false},
      {"its folder missing", L"C:\\missing\\x", [] {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Restart();  // closes what a case opened
    standin::Remove(L"C:\\aside");
    standin::Remove(L"C:\\a");
    standin::AddFile(L"C:\\a\\f.txt", "abc");
    c.arrange();
    EXPECT_EQ(standin::ExchangeWithLink(c.path, L"C:\\bait", L"C:\\aside\\real"), c.exchanged);
    EXPECT_EQ(standin::Exists(L"C:\\aside"), c.exchanged);
    EXPECT_EQ(standin::FileContents(L"C:\\a\\f.txt"), c.exchanged ? "" : "abc");
    EXPECT_FALSE(standin::Exists(L"C:\\missing"));
  }
  standin::Restart();
}

TEST_F(StandinMachineTest, AnExchangeRefusesPlacesItCannotUse) {
  const struct {
    const wchar_t* path;
    const wchar_t* aside;
  } cases[] = {
      {L"C:", L"C:\\aside"},                 // a root
      {L"C:\\a", L"\\\\srv\\share\\aside"},  // another volume
      {L"C:\\a", L"C:\\A\\sub\\aside"},      // inside the item
      {L"C:\\a", L"C:\\link\\aside"},        // inside it through a link
      {L"C:\\a", L"C:\\flink"},              // taken
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::win32::Shown(c.aside));
    EXPECT_THROW(standin::ExchangeWithLink(c.path, L"C:\\bait", c.aside), std::invalid_argument);
    EXPECT_EQ(Attributes(L"C:\\a"), Is(kDir));
  }
}

// A hook runs inside the call it precedes, so it is where a test can look
// from inside; outside every call, and after one whatever its end, the answer
// is no.
TEST_F(StandinMachineTest, InPlatformCallTellsWhetherAStandinCallRuns) {
  std::vector<bool> inside;
  const auto look = [&] { inside.push_back(standin::InPlatformCall()); };
  look();
  standin::RunBeforeCall(0, look);
  standin::RunBeforeCall(1, look);
  standin::InjectFaultAtCall(1, {.error = ERROR_WRITE_FAULT});
  standin::RunBeforeCall(2, look);
  standin::CrashAfterCall(2);
  GetFileAttributesW(L"C:\\a");
  look();
  GetFileAttributesW(L"C:\\a");  // fails by plan
  look();
  GetFileAttributesW(L"C:\\a");  // the process dies after it
  look();
  GetFileAttributesW(L"C:\\a");  // dead
  look();
  EXPECT_EQ(inside, (std::vector<bool>{false, true, false, true, false, true, false, false}));
}

TEST_F(StandinMachineTest, RestartKeepsTheDiskAndStartsANewProcess) {
  standin::SetEnvironmentVariable(L"APPDATA", L"C:\\Users\\me");
  standin::SetCurrentFolder(L"C:\\a");
  standin::InjectFault({.api = Api::GetFileAttributesW, .error = 5, .count = -1});
  // Planned past the five calls made before the restart.
  standin::InjectFaultAtCall(5, {.error = 5});
  standin::CrashAfterCall(5);
  bool hookRan = false;
  standin::RunBeforeCall(5, [&] { hookRan = true; });
  standin::HoldOpen(L"C:\\a\\f.txt", GENERIC_READ, 0);
  const HANDLE leaked = Open(L"C:\\a\\sub", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(leaked, INVALID_HANDLE_VALUE);
  BYTE plain = 'x';
  DATA_BLOB in{1, &plain};
  DATA_BLOB sealed{0, nullptr};
  ASSERT_TRUE(CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &sealed));
  WriteAndClose(L"C:\\a\\n.txt", CREATE_NEW, "unflushed", false);
  SetLastError(7);

  standin::Restart();
  EXPECT_EQ(GetLastError(), 0U);
  EXPECT_TRUE(standin::Calls().empty());
  EXPECT_EQ(standin::OpenHandleCount(), 0U);
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);
  // The disk as it was, unflushed contents too: no crash happened.
  EXPECT_EQ(standin::FileContents(L"C:\\a\\n.txt"), "unflushed");
  EXPECT_EQ(Attributes(L"f.txt"), Is(kFile));  // the current folder stays; no fault left
  wchar_t* value = nullptr;
  std::size_t count = 0;
  ASSERT_EQ(platform::WideDupEnv(&value, &count, L"APPDATA"), 0);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::wstring(value), L"C:\\Users\\me");
  platform::FreeEnvCopy(value);
  const HANDLE file = Open(L"f.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);  // nothing held
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  for (int call = 4; call <= 6; ++call) EXPECT_EQ(Attributes(L"sub"), Is(kDir)) << "call " << call;
  EXPECT_EQ(standin::Calls().size(), 7U);
  EXPECT_FALSE(hookRan);
  EXPECT_FALSE(standin::Crashed());
}

// ---------------------------------------------------------------------------
// The native test tree
// ---------------------------------------------------------------------------

TEST(StandinTestTree, LivesInAFreshScratchFolder) {
  standin::AddDirectory(L"C:\\leftover");
  const testing::TestTree tree;
  EXPECT_EQ(tree.Root(), L"C:\\scratch");
  EXPECT_FALSE(standin::Exists(L"C:\\leftover"));
  EXPECT_TRUE(standin::IsDirectory(L"C:\\scratch"));
  EXPECT_EQ(tree.PathOf(L"x/y"), L"C:\\scratch\\x/y");
  EXPECT_EQ(testing::TestTree::FreeDriveLetter(), L'Q');
  EXPECT_FALSE(testing::TestTree::UnderWine());
}

TEST(StandinTestTree, MakesFoldersFilesAndLinks) {
  testing::TestTree tree;
  tree.WriteFile(L"a/b/c.txt", std::string("\0\xff", 2));
  EXPECT_TRUE(tree.IsDirectory(L"a\\b"));
  EXPECT_EQ(tree.ReadFile(L"a\\b\\c.txt"), std::string("\0\xff", 2));
  ASSERT_TRUE(tree.MakeDirectoryLink(L"link", L"a"));
  EXPECT_EQ(GetFileAttributesW(tree.PathOf(L"link").c_str()), kDir | kLink);
  EXPECT_EQ(tree.ReadFile(L"link\\b\\c.txt"), std::string("\0\xff", 2));
  ASSERT_TRUE(tree.MakeFileLink(L"flink", L"a\\b\\c.txt"));
  EXPECT_EQ(GetFileAttributesW(tree.PathOf(L"flink").c_str()), kFile | kLink);
  EXPECT_EQ(tree.ReadFile(L"flink"), std::string("\0\xff", 2));
  // Links to what is not there are made as well.
  ASSERT_TRUE(tree.MakeFileLink(L"fdangling", L"gone"));
  ASSERT_TRUE(tree.MakeDirectoryLink(L"dangling", L"gone"));
  EXPECT_EQ(GetFileAttributesW(tree.PathOf(L"fdangling").c_str()), kFile | kLink);
  EXPECT_EQ(GetFileAttributesW(tree.PathOf(L"dangling").c_str()), kDir | kLink);
  EXPECT_FALSE(tree.Exists(L"missing"));

  testing::TestTree::SetEnvironment(L"LOCALAPPDATA", L"");
  wchar_t* buffer = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"LocalAppData"), 0);
  EXPECT_EQ(count, 1U);
  platform::FreeEnvCopy(buffer);
  testing::TestTree::SetEnvironment(L"LOCALAPPDATA", nullptr);
  EXPECT_EQ(platform::WideDupEnv(&buffer, &count, L"LOCALAPPDATA"), 0);
  EXPECT_EQ(buffer, nullptr);
}

// The current folder moves into the tree and back to C:\ when the tree goes.
TEST(StandinTestTree, SetsTheCurrentFolderUntilItGoes) {
  {
    testing::TestTree tree;
    tree.MakeDirectory(L"a\\b");
    tree.SetCurrentFolder(L"a");
    EXPECT_EQ(GetFileAttributesW(L"b"), kDir);
  }
  standin::AddDirectory(L"C:\\b");
  EXPECT_EQ(GetFileAttributesW(L"b"), kDir);
}

}  // namespace
}  // namespace van_tide
