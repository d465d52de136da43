// The guards of the whole-file read, in their order, and every failed call.
#include "fs/small_file.h"

#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

constexpr wchar_t kPath[] = L"C:\\data\\file";

class SmallFileStandinTest : public testing::StandinTest {
 protected:
  HRESULT Read(const wchar_t* path = kPath) { return VantideReadSmallFile(path, &bytes_, &missing_); }
  std::vector<Api> CallSequence() const {
    std::vector<Api> apis;
    for (const standin::Call& call : standin::Calls()) apis.push_back(call.api);
    return apis;
  }
  std::string bytes_;
  bool missing_ = false;
};

TEST_F(SmallFileStandinTest, OpensForSharedReadingWithoutFollowingALink) {
  standin::AddFile(kPath, "contents");
  ASSERT_EQ(Read(), kStatusOk);
  const standin::Call& open = standin::Calls().front();
  EXPECT_EQ(open.api, Api::CreateFileW);
  EXPECT_EQ(open.path, kPath);
  EXPECT_EQ(open.args,
            (std::vector<DWORD>{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT}));
  EXPECT_EQ(CallSequence(), (std::vector<Api>{Api::CreateFileW, Api::GetFileInformationByHandle,
                                              Api::GetFileSizeEx, Api::ReadFile, Api::CloseHandle}));
}

TEST_F(SmallFileStandinTest, RefusesAFileLinkBeforeLookingAtItsSize) {
  standin::AddFile(L"C:\\data\\huge", std::string(70000, 'x'));
  standin::AddFileLink(L"C:\\data\\to-huge", L"C:\\data\\huge");
  standin::AddFileLink(L"C:\\data\\dangling", L"C:\\data\\nothing");
  for (const wchar_t* link : {L"C:\\data\\to-huge", L"C:\\data\\dangling"}) {
    SCOPED_TRACE(link);
    standin::ClearCalls();
    EXPECT_EQ(Read(link), kStatusCantAccessFile);
    EXPECT_EQ(CallSequence(),
              (std::vector<Api>{Api::CreateFileW, Api::GetFileInformationByHandle, Api::CloseHandle}));
  }
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
    {"size", {.api = Api::GetFileSizeEx, .error = ERROR_INVALID_HANDLE}, static_cast<HRESULT>(0x80070006U)},
    {"read", {.api = Api::ReadFile, .error = ERROR_READ_FAULT}, static_cast<HRESULT>(0x8007001EU)},
    {"read, no error", {.api = Api::ReadFile, .error = 0}, kStatusFailedWithoutReason},
    {"short read", {.api = Api::ReadFile, .shortBy = 1}, kStatusHandleEof},
};

TEST_F(SmallFileStandinTest, MapsEachFailedCallAndLeavesTheFlagAlone) {
  standin::AddFile(kPath, "contents");
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(c.name);
    standin::InjectFault(c.fault);
    missing_ = true;
    bytes_.clear();
    EXPECT_EQ(Read(), c.status);
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
    standin::InjectFault({.api = Api::CreateFileW, .error = c.error});
    missing_ = !c.missing;
    EXPECT_EQ(Read(), c.status);
    EXPECT_EQ(missing_, c.missing);
  }
}

TEST_F(SmallFileStandinTest, AWriterHoldingTheFileKeepsTheReadOut) {
  standin::AddFile(kPath, "contents");
  HANDLE writer = CreateFileW(kPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070020U));
  EXPECT_FALSE(missing_);
  CloseHandle(writer);
}

}  // namespace
}  // namespace van_tide
