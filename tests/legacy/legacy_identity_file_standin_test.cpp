// Legacy identity files: what is touched, and failures that only the stand-in
// can bring about.
#include "legacy/legacy_identity_file.h"

#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using testing::kTokenA;
using testing::LegacyFile;

constexpr wchar_t kFolder[] = L"C:\\Plugin\\PluginData";
constexpr wchar_t kFile[] = L"C:\\Plugin\\PluginData\\license-device.json";

class LegacyIdentityFileStandinTest : public testing::StandinTest {
 protected:
  HRESULT Read(const wchar_t* path = kFile) {
    standin::ClearCalls();
    token_.clear();
    missing_ = false;
    return VantideReadLegacyIdentityFile(path, &token_, &missing_);
  }
  std::string token_;
  bool missing_ = false;
};

TEST_F(LegacyIdentityFileStandinTest, ChecksTheFoldersBeforeOpeningTheFileAndOnlyReadsIt) {
  standin::AddFile(kFile, LegacyFile(kTokenA));
  ASSERT_EQ(Read(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);
  const std::vector<std::wstring> queried = standin::CallPaths(Api::GetFileAttributesW);
  EXPECT_EQ(queried, (std::vector<std::wstring>{L"C:\\Plugin", kFolder}));
  ASSERT_EQ(standin::CallPaths(Api::CreateFileW), std::vector<std::wstring>{kFile});
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::CreateFileW) {
      EXPECT_EQ(call.args.at(0), GENERIC_READ);
    }
    EXPECT_NE(call.api, Api::WriteFile);
  }
}

TEST_F(LegacyIdentityFileStandinTest, AMissingFolderStopsBeforeTheFileIsOpened) {
  EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);
  EXPECT_TRUE(standin::CallPaths(Api::CreateFileW).empty());
}

TEST_F(LegacyIdentityFileStandinTest, OnlyNotFoundErrorsCountAsMissing) {
  const struct {
    Api api;
    DWORD error;
    HRESULT status;
    bool missing;
  } cases[] = {
      // The file went away between the folder check and the open.
      {Api::CreateFileW, ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), true},
      {Api::CreateFileW, ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), true},
      {Api::CreateFileW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
      {Api::CreateFileW, ERROR_SHARING_VIOLATION, static_cast<HRESULT>(0x80070020U), false},
      {Api::GetFileAttributesW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
      {Api::GetFileAttributesW, ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), true},
      {Api::ReadFile, ERROR_READ_FAULT, static_cast<HRESULT>(0x8007001EU), false},
  };
  standin::AddFile(kFile, LegacyFile(kTokenA));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(standin::ApiName(c.api)) + " error " + std::to_string(c.error));
    standin::InjectFault({c.api, c.error, c.api == Api::GetFileAttributesW ? kFolder : L""});
    EXPECT_EQ(Read(), c.status);
    EXPECT_EQ(missing_, c.missing);
  }
}

TEST_F(LegacyIdentityFileStandinTest, AFileLinkIsRefusedWhateverItPointsTo) {
  standin::AddFile(L"C:\\Elsewhere\\license-device.json", LegacyFile(kTokenA));
  standin::AddFileLink(kFile, L"C:\\Elsewhere\\license-device.json");
  EXPECT_EQ(Read(), kStatusCantAccessFile);
  EXPECT_FALSE(missing_);
}

}  // namespace
}  // namespace van_tide
