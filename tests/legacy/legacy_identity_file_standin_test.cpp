// Legacy identity files: what is touched, and failures that only the stand-in
// can bring about.
#include "legacy/legacy_identity_file.h"

#include "legacy/legacy_test_files.h"
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
using testing::kTokenA;
using testing::kTokenB;
using testing::LegacyFile;

constexpr wchar_t kFolder[] = L"C:\\Plugin\\PluginData";
constexpr wchar_t kName[] = L"license-device.json";
constexpr wchar_t kFile[] = L"C:\\Plugin\\PluginData\\license-device.json";

class LegacyIdentityFileStandinTest : public testing::StandinTest {
 protected:
  // The folder is held open for the whole test, as the scan holds it before
  // it reads, so the record of a read holds the read alone.
  LegacyIdentityFileStandinTest() {
    standin::AddDirectory(kFolder);
    folder_ = testing::OpenFolder(kFolder);
  }
  void TearDown() override {
    folder_ = VantideFolder();
    StandinTest::TearDown();
  }
  HRESULT Read() {
    EXPECT_TRUE(folder_.IsOpen());
    standin::ClearCalls();
    token_.clear();
    missing_ = false;
    return VantideReadLegacyIdentityFile(folder_, kName, &token_, &missing_);
  }
  VantideFolder folder_;
  std::string token_;
  bool missing_ = false;
};

// The folder is held: the file is opened by its name below it, for reading
// alone, and nothing is looked up by path.
TEST_F(LegacyIdentityFileStandinTest, OpensOnlyTheFileBelowItsFolderAndOnlyReadsIt) {
  standin::AddFile(kFile, LegacyFile(kTokenA));
  ASSERT_EQ(Read(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
  std::vector<std::wstring> opened;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::NtCreateFile && testing::IsWalkOpen(call)) opened.push_back(call.path);
  }
  ASSERT_EQ(opened, std::vector<std::wstring>{kFile});
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::NtCreateFile && call.path == kFile) {
      const DWORD options = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
      EXPECT_EQ(call.args, (std::vector<DWORD>{GENERIC_READ | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                               FILE_SHARE_READ, FILE_OPEN, options}));
    }
    EXPECT_NE(call.api, Api::CreateFileW);
    EXPECT_NE(call.api, Api::GetFileAttributesW);
  }
  EXPECT_EQ(standin::CallPaths(Api::ReadFile), std::vector<std::wstring>{kFile});
  testing::ExpectNothingWritten();
}

TEST_F(LegacyIdentityFileStandinTest, AMissingFileEndsWithItsOpen) {
  EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);
  ASSERT_EQ(standin::Calls().size(), 1U);
  EXPECT_EQ(standin::Calls().front().api, Api::NtCreateFile);
}

// Only a failed open can say the file is absent. Once it is open, a "not
// found" from a later call (the file deleted or moved meanwhile) is a failure
// like any other: an existing store taken for absent would be replaced.
TEST_F(LegacyIdentityFileStandinTest, OnlyNotFoundErrorsOfTheOpenCountAsMissing) {
  const struct {
    Api api;
    DWORD error;
    HRESULT status;
    bool missing;
  } cases[] = {
      {Api::NtCreateFile, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), true},
      {Api::NtCreateFile, ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), true},
      {Api::NtCreateFile, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
      {Api::NtCreateFile, ERROR_SHARING_VIOLATION, static_cast<HRESULT>(0x80070020U), false},
      {Api::GetFileInformationByHandle, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
      {Api::GetFileInformationByHandleEx, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), false},
      {Api::GetFileInformationByHandleEx, ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), false},
      {Api::GetFileSizeEx, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), false},
      {Api::ReadFile, ERROR_READ_FAULT, static_cast<HRESULT>(0x8007001EU), false},
  };
  standin::AddFile(kFile, LegacyFile(kTokenA));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(standin::ApiName(c.api)) + " error " + std::to_string(c.error));
    // Named by the file's path: the folder's own opening is left alone.
    standin::InjectFault({c.api, c.error, kFile});
    EXPECT_EQ(Read(), c.status);
    EXPECT_EQ(missing_, c.missing);
  }
}

// Whatever a link at the name points to is never read: the handle is the
// link itself on Windows and its target under Wine, and either is refused.
TEST_F(LegacyIdentityFileStandinTest, ALinkAtTheNameIsRefusedWhateverItPointsTo) {
  standin::AddFile(L"C:\\Elsewhere\\license-device.json", LegacyFile(kTokenB));
  standin::AddDirectory(L"C:\\Elsewhere\\folder");
  const struct {
    const char* name;
    bool fileLink;
    bool handlesFollowLinks;
    HRESULT status;
  } cases[] = {
      {"file link", true, false, kStatusCantAccessFile},
      {"file link, handles follow links", true, true, kStatusCantAccessFile},
      // A folder is no file to read, through a link or not.
      {"folder link", false, false, static_cast<HRESULT>(0x80070005U)},
      {"folder link, handles follow links", false, true, static_cast<HRESULT>(0x80070005U)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fileLink) {
      standin::AddFileLink(kFile, L"C:\\Elsewhere\\license-device.json");
    } else {
      standin::AddDirectoryLink(kFile, L"C:\\Elsewhere\\folder");
    }
    standin::SetHandlesFollowLinks(c.handlesFollowLinks);
    EXPECT_EQ(Read(), c.status);
    EXPECT_FALSE(missing_);
    EXPECT_EQ(token_, "");
    EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
  }
}

}  // namespace
}  // namespace van_tide
