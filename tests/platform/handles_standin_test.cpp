// The handle owner gives back what an open handed out, and nothing else.
#include "platform/handles.h"

#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace van_tide {
namespace {

using standin::Api;

class FileHandleStandinTest : public testing::StandinTest {};

TEST_F(FileHandleStandinTest, ClosesWhatAnOpenReturnedOnceAndNothingAfterAFailedOpen) {
  standin::AddFile(L"C:\\data\\file", "contents");
  const struct {
    const wchar_t* path;
    std::vector<Api> calls;
  } cases[] = {
      {L"C:\\data\\file", {Api::CreateFileW, Api::CloseHandle}},
      // INVALID_HANDLE_VALUE is the current process's pseudo-handle.
      {L"C:\\data\\absent", {Api::CreateFileW}},
      {L"C:\\absent\\file", {Api::CreateFileW}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    standin::Restart();
    {
      const VantideFileHandle file(
          CreateFileW(c.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::vector<Api> calls;
    for (const standin::Call& call : standin::Calls()) calls.push_back(call.api);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
    EXPECT_EQ(standin::InvalidHandleCloses(), 0U);
  }
}

}  // namespace
}  // namespace van_tide
