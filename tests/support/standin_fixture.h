// Base fixture for tests that drive the product's failure paths through the
// stand-in: a fresh machine for every test, and a check that the code under
// test released every handle, every data-protection buffer and every
// environment copy, and closed nothing a failed open returned.
#pragma once

#include "platform/win32.h"
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide::testing {

// The call changes the disk, or opens something to change it: a folder or
// file created, a write or flush, a move, rename or deletion, an open with
// write or delete access.
inline bool ChangesDisk(const standin::Call& call) {
  using standin::Api;
  switch (call.api) {
    case Api::CreateDirectoryW:
    case Api::WriteFile:
    case Api::FlushFileBuffers:
    case Api::MoveFileExW:
    case Api::DeleteFileW:
    case Api::NtSetInformationFile:
      return true;
    case Api::CreateFileW:
      return (call.args.at(0) & (GENERIC_WRITE | DELETE)) != 0 || call.args.at(2) != OPEN_EXISTING;
    case Api::NtCreateFile:
      return (call.args.at(0) & (GENERIC_WRITE | DELETE)) != 0 || call.args.at(2) != FILE_OPEN;
    default:
      return false;
  }
}

// An open of the walk by handle: its start, opened by path, or a name opened
// relative to a folder. The fresh handles the walk's checks open on a folder
// they list (by the empty name, as a folder) are not counted.
inline bool IsWalkOpen(const standin::Call& call) {
  using standin::Api;
  if (call.api == Api::CreateFileW) return true;
  return call.api == Api::NtCreateFile &&
         !(call.args.at(2) == FILE_OPEN && (call.args.at(3) & FILE_DIRECTORY_FILE) != 0);
}

// One recorded call as a line a test can compare whole: the API, the path, a
// rename's target after " -> ", the arguments in braces:
// "NtCreateFile C:\\a {1048737,7,1,2097184}".
inline std::wstring DescribeCall(standin::Api api, const std::wstring& path,
                                 const std::vector<DWORD>& args = {}, const std::wstring& path2 = {}) {
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

// The whole call record, a line each.
inline std::vector<std::wstring> RecordedCalls() {
  std::vector<std::wstring> calls;
  for (const standin::Call& call : standin::Calls()) {
    calls.push_back(DescribeCall(call.api, call.path, call.args, call.path2));
  }
  return calls;
}

// Nothing in the call record wrote to the disk or opened anything to write.
inline void ExpectNothingWritten() {
  for (const standin::Call& call : standin::Calls()) {
    std::string path;
    for (wchar_t c : call.path) path += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    EXPECT_FALSE(ChangesDisk(call)) << standin::ApiName(call.api) << " " << path;
  }
}

class StandinTest : public ::testing::Test {
 protected:
  // The reset happens in the constructor, not in SetUp, so that members of a
  // derived fixture (a TestTree, say) are built on the fresh machine and are
  // not wiped again before the test runs.
  StandinTest() { standin::Reset(); }

  void TearDown() override {
    EXPECT_EQ(standin::OpenHandleCount(), 0U) << "handles left open, first: " << FirstOpenHandle();
    EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U)
        << "data-protection buffers not released with LocalFree";
    EXPECT_EQ(standin::OutstandingEnvCopies(), 0U) << "environment copies not released with FreeEnvCopy";
    EXPECT_EQ(standin::InvalidHandleCloses(), 0U)
        << "INVALID_HANDLE_VALUE, what a failed open returns, was closed";
  }

 private:
  static std::string FirstOpenHandle() {
    const auto paths = standin::OpenHandlePaths();
    if (paths.empty()) return "none";
    std::string text;
    for (wchar_t c : paths.front()) text += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return text;
  }
};

}  // namespace van_tide::testing
