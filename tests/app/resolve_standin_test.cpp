// Resolution's outcomes, and what it touches on the way to each.
#include "app/resolve.h"

#include "legacy/legacy_scan.h"
#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "store/protected_identity.h"
#include "support/open_folder.h"
#include "support/standin_fixture.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <filesystem>
#include <ios>
#include <new>
#include <stdexcept>
#include <system_error>
#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

constexpr wchar_t kRoaming[] = L"C:\\Users\\me\\AppData\\Roaming";
constexpr wchar_t kVantide[] = L"C:\\Users\\me\\AppData\\Roaming\\Vantide";
constexpr wchar_t kStore[] = L"C:\\Users\\me\\AppData\\Roaming\\Vantide\\license-device.dat";
constexpr wchar_t kLegacyFile[] =
    L"C:\\Users\\me\\AppData\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\p\\External\\com.greywick.van-tide"
    L"\\license-device.json";
const std::string kToken = "van-tide-hud-0123456789abcdef0123456789ABCDEF";

class ResolveTest : public testing::StandinTest {
 protected:
  void SetUp() override {
    StandinTest::SetUp();
    standin::SetEnvironmentVariable(L"APPDATA", kRoaming);
    standin::SetEnvironmentVariable(L"LOCALAPPDATA", L"C:\\Users\\me\\AppData\\Local");
    standin::AddDirectory(kRoaming);
  }
  static std::string SealedStore(const std::string& token = kToken) {
    std::string bytes;
    EXPECT_EQ(VantideSealIdentity(token, &bytes), kStatusOk);
    return bytes;
  }
  DeviceIdentityResult Resolve() {
    standin::ClearCalls();
    return VantideResolveDeviceIdentity();
  }
};

TEST_F(ResolveTest, AValidStoreYieldsItsTokenAndIsOnlyRead) {
  standin::AddFile(kStore, SealedStore());
  const DeviceIdentityResult outcome = Resolve();
  EXPECT_EQ(outcome.status, kStatusOk);
  EXPECT_EQ(outcome.token, kToken);
  testing::ExpectNothingWritten();
  // The folders above the store are walked, each once and from the top down,
  // the root by path and every other relative to the one above (the record
  // names a relative open by its folder's path and its name), and all before
  // the store is opened.
  std::vector<std::wstring> sequence;
  for (const standin::Call& call : standin::Calls()) {
    if (testing::IsWalkOpen(call)) sequence.push_back(call.path);
  }
  EXPECT_EQ(sequence, (std::vector<std::wstring>{L"C:\\", L"C:\\Users", L"C:\\Users\\me",
                                                 L"C:\\Users\\me\\AppData", kRoaming, kVantide, kStore}));
}

TEST_F(ResolveTest, AnUnusableRoamingFolderStopsBeforeAnyFileIsTouched) {
  const struct {
    const char* name;
    const wchar_t* value;  // null: unset
  } cases[] = {{"unset", nullptr}, {"empty", L""}, {"relative", L"Users\\me"}, {"drive only", L"C:"}};
  standin::AddFile(kStore, SealedStore());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTree::SetEnvironment(L"APPDATA", c.value);  // null unsets
    const DeviceIdentityResult outcome = Resolve();
    EXPECT_EQ(outcome.status, kStatusEnvironmentVariableNotFound);
    EXPECT_EQ(outcome.token, "");
    // One environment lookup, of APPDATA alone: LOCALAPPDATA is not consulted.
    ASSERT_EQ(standin::Calls().size(), 1U);
    EXPECT_EQ(standin::Calls()[0].api, Api::WideDupEnv);
    EXPECT_EQ(standin::Calls()[0].path, L"APPDATA");
  }
}

TEST_F(ResolveTest, AMissingStoreOrStoreFolderMeansNoIdentity) {
  for (const bool withFolder : {false, true}) {
    SCOPED_TRACE(withFolder);
    if (withFolder) standin::AddDirectory(kVantide);
    const DeviceIdentityResult outcome = Resolve();
    EXPECT_EQ(outcome.status, kStatusNoIdentity);
    EXPECT_EQ(outcome.token, "");
    testing::ExpectNothingWritten();
  }
  EXPECT_FALSE(standin::Exists(kStore));
}

TEST_F(ResolveTest, ARoamingFolderThatDoesNotExistIsAMissingStoreToo) {
  standin::Remove(kRoaming);
  EXPECT_EQ(Resolve().status, kStatusNoIdentity);
  testing::ExpectNothingWritten();
}

TEST_F(ResolveTest, ARefusedChainFailsEvenWithAValidStoreBehindIt) {
  standin::AddFile(L"C:\\elsewhere\\license-device.dat", SealedStore());
  const struct {
    const char* name;
    void (*arrange)();
    HRESULT status;
  } cases[] = {
      {"Vantide is a junction", [] { standin::AddDirectoryLink(kVantide, L"C:\\elsewhere"); },
       kStatusCantAccessFile},
      {"the roaming folder is a junction",
       [] {
         standin::Remove(kRoaming);
         standin::AddDirectory(L"C:\\elsewhere2\\Vantide");
         standin::AddDirectoryLink(kRoaming, L"C:\\elsewhere2");
       },
       kStatusCantAccessFile},
      {"Vantide is a file", [] { standin::AddFile(kVantide, "x"); }, kStatusNotADirectory},
      {"Vantide cannot be queried",
       [] {
         standin::AddDirectory(kVantide);
         // Refused with list access, then to pass through as well.
         standin::InjectFault(
             {.api = Api::NtCreateFile, .error = ERROR_ACCESS_DENIED, .path = kVantide, .count = 2});
       },
       static_cast<HRESULT>(0x80070005U)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Remove(kRoaming);
    standin::AddDirectory(kRoaming);
    c.arrange();
    const DeviceIdentityResult outcome = Resolve();
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.token, "");
    const std::vector<std::wstring> opened = standin::CallPaths(Api::NtCreateFile);
    EXPECT_EQ(std::count(opened.begin(), opened.end(), std::wstring(kStore)),
              0);  // the store is never opened
  }
}

TEST_F(ResolveTest, AStoreThatCannotBeReadIsReportedAndLeftAlone) {
  std::string tampered = SealedStore();
  tampered.back() = static_cast<char>(tampered.back() ^ 0x40);
  std::string otherUser;
  standin::SetCurrentUser(L"S-1-5-21-2002");
  otherUser = SealedStore();
  standin::SetCurrentUser(L"S-1-5-21-1001");
  const struct {
    const char* name;
    std::string contents;
    HRESULT status;
  } cases[] = {
      {"empty", "", kStatusInvalidData},
      {"magic only", std::string(kVantideStoreMagic), kStatusInvalidData},
      {"wrong magic", "VANTIDE-DPAPI-2\n" + SealedStore().substr(16), kStatusInvalidData},
      {"malformed token", SealedStore(kToken + "\n"), kStatusInvalidData},
      {"tampered", tampered, static_cast<HRESULT>(0x8007000DU)},
      {"another user's", otherUser, static_cast<HRESULT>(NTE_BAD_KEY_STATE)},
      {"too large", std::string(65537, 'x'), kStatusFileTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::AddFile(kStore, c.contents);
    const DeviceIdentityResult outcome = Resolve();
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.token, "");  // never a token with a failure, not even the one unsealed
    EXPECT_EQ(standin::FileContents(kStore), c.contents);
    testing::ExpectNothingWritten();
  }
}

// Only an open that finds no store means "no store": a store that fails
// after its open is reported, and never passed off as absent, which would
// start the migration beside a store that exists.
TEST_F(ResolveTest, AStoreThatFailsAfterItsOpenIsNeverTakenForAbsent) {
  const std::string store = SealedStore();
  standin::AddFile(kStore, store);
  standin::AddFile(kLegacyFile, testing::LegacyFile(kToken));
  for (const Api failing :
       {Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx, Api::GetFileSizeEx}) {
    SCOPED_TRACE(standin::ApiName(failing));
    standin::InjectFault({.api = failing, .error = ERROR_FILE_NOT_FOUND, .path = kStore});
    const DeviceIdentityResult outcome = Resolve();
    EXPECT_EQ(outcome.status, static_cast<HRESULT>(0x80070002U));
    EXPECT_EQ(outcome.token, "");
    // The legacy storage was never opened.
    for (const std::wstring& path : standin::CallPaths(Api::NtCreateFile)) {
      EXPECT_EQ(path.find(L"Adobe"), std::wstring::npos);
    }
    testing::ExpectNothingWritten();
    EXPECT_EQ(standin::FileContents(kStore), store);
  }
}

TEST_F(ResolveTest, RunningOutOfMemoryBecomesAStatus) {
  standin::InjectFault({.api = Api::WideDupEnv, .error = ENOMEM});
  const DeviceIdentityResult outcome = Resolve();
  EXPECT_EQ(outcome.status, kStatusOutOfMemory);
  EXPECT_EQ(outcome.token, "");
}

// What is raised beneath resolution reaches the entry as a status.
TEST(RaisedErrorStatus, TurnsTheRaisedErrorIntoItsStatus) {
  const struct {
    const char* name;
    void (*raise)();
    HRESULT status;
  } cases[] = {
      {"listing denied",
       [] { throw std::filesystem::filesystem_error("listing", std::error_code(5, std::system_category())); },
       static_cast<HRESULT>(0x80070005U)},
      {"listing failed without a code",
       [] { throw std::filesystem::filesystem_error("listing", std::error_code()); },
       kStatusFailedWithoutReason},
      {"system category, code 0",
       [] { throw std::filesystem::filesystem_error("listing", std::error_code(0, std::system_category())); },
       static_cast<HRESULT>(0x80004005U)},
      // Only the system category holds Win32 codes; errno values and the like
      // would pass for unrelated Win32 errors (ENOENT is 2, as is
      // ERROR_FILE_NOT_FOUND).
      {"errno ENOENT",
       [] {
         throw std::filesystem::filesystem_error("listing", std::error_code(ENOENT, std::generic_category()));
       },
       static_cast<HRESULT>(0x80004005U)},
      {"errno EACCES",
       [] {
         throw std::filesystem::filesystem_error("listing", std::error_code(EACCES, std::generic_category()));
       },
       static_cast<HRESULT>(0x80004005U)},
      {"stream error",
       [] { throw std::filesystem::filesystem_error("listing", std::make_error_code(std::io_errc::stream)); },
       static_cast<HRESULT>(0x80004005U)},
      {"out of memory", [] { throw std::bad_alloc(); }, kStatusOutOfMemory},
      {"anything else", [] { throw std::runtime_error("unexpected"); }, static_cast<HRESULT>(0x8000FFFFU)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HRESULT status = 0;
    try {
      c.raise();
    } catch (...) {
      status = VantideStatusOfCurrentException();
    }
    EXPECT_EQ(status, c.status);
  }
}

TEST_F(ResolveTest, AStorageFolderThatCannotBeListedBecomesItsWin32Status) {
  standin::AddDirectory(L"C:\\Users\\me\\AppData\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\entry");
  const VantideFolder roaming = testing::OpenFolder(kRoaming);
  // The storage folder's first query by handle is its name, as the walk
  // judges it; the listing comes after.
  standin::InjectFault({.api = Api::GetFileInformationByHandleEx,
                        .error = ERROR_ACCESS_DENIED,
                        .path = std::wstring(kRoaming) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP",
                        .skip = 1});
  HRESULT status = 0;
  std::string token;
  try {
    VantideScanLegacyIdentities(&roaming, &token);
  } catch (...) {
    status = VantideStatusOfCurrentException();
  }
  EXPECT_EQ(status, static_cast<HRESULT>(0x80070005U));
}

}  // namespace
}  // namespace van_tide
