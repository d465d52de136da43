// Base fixture for tests that drive the product's failure paths through the
// stand-in: a fresh machine for every test, and a check that the code under
// test released every handle, every data-protection buffer and every
// environment copy, and closed nothing a failed open returned.
#pragma once

#include "platform/win32.h"
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide::testing {

// Nothing in the call record wrote to the disk: no folder, no write, no move,
// no deletion, and every file opened for reading only.
inline void ExpectNothingWritten() {
  using standin::Api;
  for (const standin::Call& call : standin::Calls()) {
    std::string path;
    for (wchar_t c : call.path) path += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    EXPECT_NE(call.api, Api::CreateDirectoryW) << path;
    EXPECT_NE(call.api, Api::WriteFile) << path;
    EXPECT_NE(call.api, Api::MoveFileExW) << path;
    EXPECT_NE(call.api, Api::DeleteFileW) << path;
    if (call.api == Api::CreateFileW) {
      EXPECT_EQ(call.args.at(0), GENERIC_READ) << path;
    }
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
