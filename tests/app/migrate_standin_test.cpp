// The first run on a machine without a store: what the migration takes over,
// what it refuses, and what it writes in each case.
#include "app/migrate.h"
#include "app/resolve.h"

#include "app/migration_machine.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using testing::kMachineLocal;
using testing::kMachineRoaming;
using testing::kMachineStore;
using testing::kMachineStoreFolder;
using testing::kMachineTemporary;
using testing::kTokenA;
using testing::kTokenACaseChanged;
using testing::LegacyPlace;
using testing::PlantLegacyFile;
using testing::SnapshotDisk;
using testing::UnsealedStore;

class MigrationTest : public testing::StandinTest {
 protected:
  MigrationTest() { testing::SetUpProfile(); }

  static DeviceIdentityResult Run() {
    standin::ClearCalls();
    return VantideResolveDeviceIdentity();
  }
  static bool Called(Api api) {
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == api) return true;
    }
    return false;
  }
};

TEST_F(MigrationTest, TakesTheIdentityOverFromAnyOfTheFourPlaces) {
  const struct {
    const char* name;
    const wchar_t* base;
    LegacyPlace place;
  } cases[] = {
      {"roaming, plug-in data folder", kMachineRoaming, LegacyPlace::kPluginData},
      {"roaming, beside it", kMachineRoaming, LegacyPlace::kDataFolder},
      {"local, plug-in data folder", kMachineLocal, LegacyPlace::kPluginData},
      {"local, beside it", kMachineLocal, LegacyPlace::kDataFolder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    testing::SetUpProfile();
    PlantLegacyFile(c.base, L"entry", c.place, kTokenA);
    const testing::DiskSnapshot before = SnapshotDisk();

    const DeviceIdentityResult first = Run();
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.token, kTokenA);
    EXPECT_EQ(UnsealedStore(), kTokenA);
    EXPECT_FALSE(standin::Exists(kMachineTemporary));
    // Only the store's folder and the store are new; nothing else changed.
    testing::DiskSnapshot after = SnapshotDisk();
    EXPECT_EQ(after.erase(kMachineStore), 1U);
    EXPECT_EQ(after.erase(kMachineStoreFolder), 1U);
    EXPECT_EQ(after, before);

    // Every later run reads the store and never the legacy files.
    const std::string store = standin::FileContents(kMachineStore);
    PlantLegacyFile(c.base, L"entry", c.place, testing::kTokenB);
    const DeviceIdentityResult second = Run();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.token, kTokenA);
    EXPECT_FALSE(Called(Api::FindFirstFileExW));
    testing::ExpectNothingWritten();
    EXPECT_EQ(standin::FileContents(kMachineStore), store);
  }
}

TEST_F(MigrationTest, WritesOnlyAfterEveryLegacyFileWasReadAndTheTokenSealed) {
  for (const wchar_t* base : {kMachineRoaming, kMachineLocal}) {
    PlantLegacyFile(base, L"a", LegacyPlace::kPluginData, kTokenA);
    PlantLegacyFile(base, L"a", LegacyPlace::kDataFolder, kTokenA);
    PlantLegacyFile(base, L"b", LegacyPlace::kDataFolder, kTokenA);
  }
  const DeviceIdentityResult outcome = Run();
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.token, kTokenA);

  // The writing calls, in order, come after the last read and the sealing.
  std::vector<Api> tail;
  bool sealed = false;
  std::size_t legacyReads = 0;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::ReadFile) {
      EXPECT_FALSE(sealed) << "a legacy file read after the sealing";
      ++legacyReads;
    }
    if (call.api == Api::CryptProtectData) sealed = true;
    if (sealed && call.api != Api::CloseHandle) tail.push_back(call.api);
  }
  EXPECT_EQ(legacyReads, 6U);
  // Only the store's folder is missing: it is created below the roaming
  // folder held since the walk, and judged like any member (attributes, its
  // path on the volume, the parent's listing through a fresh handle); then the temporary
  // file is made in it and found there before a byte is written, written,
  // flushed, found there once more, renamed by handle, flushed again, and
  // found under its new name.
  const std::vector<Api> judged = {Api::GetFileInformationByHandle, Api::GetFileInformationByHandleEx,
                                   Api::NtCreateFile, Api::GetFileInformationByHandle,
                                   Api::GetFileInformationByHandleEx};
  std::vector<Api> expected = {Api::CryptProtectData, Api::NtCreateFile};
  expected.insert(expected.end(), judged.begin(), judged.end());
  expected.push_back(Api::NtCreateFile);
  expected.insert(expected.end(), judged.begin(), judged.end());
  expected.insert(expected.end(), {Api::WriteFile, Api::FlushFileBuffers});
  expected.insert(expected.end(), judged.begin(), judged.end());
  expected.push_back(Api::NtSetInformationFile);
  expected.push_back(Api::FlushFileBuffers);
  expected.insert(expected.end(), judged.begin(), judged.end());
  EXPECT_EQ(tail, expected);
  EXPECT_EQ(UnsealedStore(), kTokenA);
}

// Every way the migration ends without a store: its status, and a disk left
// exactly as it was.
TEST_F(MigrationTest, EndsWithoutAStoreAndWithoutWriting) {
  const struct {
    const char* name;
    void (*arrange)();
    HRESULT status;
  } cases[] = {
      {"no legacy file anywhere", [] {}, 1},
      {"a storage entry without the plug-in",
       [] {
         standin::AddDirectory(std::wstring(kMachineLocal) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\other");
       },
       1},
      {"tokens differ in the case of one digit",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         PlantLegacyFile(kMachineLocal, L"b", LegacyPlace::kDataFolder, kTokenACaseChanged);
       },
       static_cast<HRESULT>(0x80070034U)},
      {"a malformed legacy file after a good one",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::AddFile(testing::LegacyPath(kMachineLocal, L"b", LegacyPlace::kDataFolder),
                          testing::LegacyFileWithVersion("2", kTokenA));
       },
       static_cast<HRESULT>(0x8007000DU)},
      {"LOCALAPPDATA unset",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::UnsetEnvironmentVariable(L"LOCALAPPDATA");
       },
       static_cast<HRESULT>(0x800700CBU)},
      {"LOCALAPPDATA relative",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::SetEnvironmentVariable(L"LOCALAPPDATA", L"Users\\me\\AppData\\Local");
       },
       static_cast<HRESULT>(0x800700CBU)},
      {"LOCALAPPDATA spelled through a folder that is not there",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::SetEnvironmentVariable(L"LOCALAPPDATA", L"C:\\Users\\me\\nothing\\..\\AppData\\Local");
       },
       static_cast<HRESULT>(0x800700CBU)},
      {"sealing fails",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::InjectFault({.api = Api::CryptProtectData, .error = ERROR_NOT_ENOUGH_MEMORY});
       },
       static_cast<HRESULT>(0x80070008U)},
      {"sealing fails without a reason",
       [] {
         PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kPluginData, kTokenA);
         standin::InjectFault({.api = Api::CryptProtectData, .error = 0});
       },
       static_cast<HRESULT>(0x80004005U)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    testing::SetUpProfile();
    c.arrange();
    const testing::DiskSnapshot before = SnapshotDisk();
    const DeviceIdentityResult outcome = Run();
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.token, "");
    testing::ExpectNothingWritten();
    EXPECT_EQ(SnapshotDisk(), before);  // not even the store's folder
  }
}

TEST_F(MigrationTest, ALeftoverTemporaryFileFailsTheRunAndStays) {
  PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
  standin::AddFile(kMachineTemporary, "half a store");
  for (int run = 0; run < 2; ++run) {
    const DeviceIdentityResult outcome = Run();
    EXPECT_EQ(outcome.status, static_cast<HRESULT>(0x80070050U));
    EXPECT_EQ(outcome.token, "");
    EXPECT_EQ(standin::FileContents(kMachineTemporary), "half a store");
    EXPECT_FALSE(standin::Exists(kMachineStore));
    EXPECT_FALSE(Called(Api::DeleteFileW));
  }
}

// Spellings of the roaming folder that the chain check would read differently
// from the file system must never let a link on the real chain through.
TEST_F(MigrationTest, NoSpellingOfTheRoamingFolderSkipsTheChainCheck) {
  std::string store;
  ASSERT_EQ(VantideSealIdentity(kTokenA, &store), kStatusOk);
  const struct {
    const char* name;
    const wchar_t* appData;
    const wchar_t* link;  // made a folder link to C:\elsewhere
    bool storeBehindLink;
    HRESULT status;
  } cases[] = {
      {"a missing folder and '..' before a linked store folder",
       L"C:\\Users\\me\\AppData\\nothing\\..\\Roaming", kMachineStoreFolder, true,
       static_cast<HRESULT>(0x800700CBU)},
      {"the same, with the store missing and a legacy file present",
       L"C:\\Users\\me\\AppData\\nothing\\..\\Roaming", kMachineStoreFolder, false,
       static_cast<HRESULT>(0x800700CBU)},
      {"'.' in the roaming folder", L"C:\\Users\\me\\AppData\\.\\Roaming", kMachineStoreFolder, true,
       static_cast<HRESULT>(0x800700CBU)},
      {"a share behind a device prefix, store folder linked", L"\\\\?\\UNC\\server\\share\\Roaming",
       L"\\\\server\\share\\Roaming\\Vantide", true, static_cast<HRESULT>(0x80070780U)},
      {"a share behind a device prefix, store missing, store folder linked",
       L"\\\\?\\UNC\\server\\share\\Roaming", L"\\\\server\\share\\Roaming\\Vantide", false,
       static_cast<HRESULT>(0x80070780U)},
      {"a drive behind a device prefix, store folder linked", L"\\\\?\\C:\\Users\\me\\AppData\\Roaming",
       kMachineStoreFolder, true, static_cast<HRESULT>(0x80070780U)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    testing::SetUpProfile();
    standin::AddDirectory(L"\\\\server\\share\\Roaming");
    standin::SetEnvironmentVariable(L"APPDATA", c.appData);
    PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
    standin::AddDirectory(L"C:\\elsewhere");
    if (c.storeBehindLink) standin::AddFile(L"C:\\elsewhere\\license-device.dat", store);
    standin::AddDirectoryLink(c.link, L"C:\\elsewhere");
    const testing::DiskSnapshot before = SnapshotDisk();
    const DeviceIdentityResult outcome = Run();
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.token, "");
    testing::ExpectNothingWritten();
    EXPECT_EQ(SnapshotDisk(), before);
    EXPECT_EQ(standin::ListNames(L"C:\\elsewhere").size(), c.storeBehindLink ? 1U : 0U);
  }
}

// A literal ("\\?\") base folder is read as written by everyone, and the walk
// opens it member by member whatever its length: the store is created there
// on the first run and read back on the next.
TEST_F(MigrationTest, LiteralBaseFoldersWorkWhereverTheStorageIs) {
  std::wstring deep = L"\\\\?\\C:\\Deep";
  while (deep.size() <= 300) deep += L"\\a folder name of some length";
  const struct {
    const char* name;
    std::wstring appData;
  } cases[] = {
      {"a drive", L"\\\\?\\C:\\Users\\me\\AppData\\Roaming"},
      {"past 260 characters", deep + L"\\Roaming"},
      {"a share", L"\\\\?\\UNC\\server\\share\\Roaming"},
      {"names only a literal path makes", L"\\\\?\\C:\\Users\\me. \\CON\\Roaming"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Reset();
    testing::SetUpProfile();
    standin::AddDirectory(c.appData);
    standin::SetEnvironmentVariable(L"APPDATA", c.appData);
    PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
    const std::wstring store = c.appData + L"\\Vantide\\license-device.dat";
    for (const char* run : {"first run migrates", "second run reads"}) {
      SCOPED_TRACE(run);
      const DeviceIdentityResult outcome = Run();
      EXPECT_EQ(outcome.status, 0);
      EXPECT_EQ(outcome.token, kTokenA);
      EXPECT_EQ(UnsealedStore(store), kTokenA);
    }
  }
}

TEST_F(MigrationTest, CreatesTheStoreOnAShareNamedBehindADevicePrefix) {
  standin::AddDirectory(L"\\\\server\\share\\Roaming");
  standin::SetEnvironmentVariable(L"APPDATA", L"\\\\?\\UNC\\server\\share\\Roaming");
  PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
  const DeviceIdentityResult outcome = Run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(UnsealedStore(L"\\\\server\\share\\Roaming\\Vantide\\license-device.dat"), kTokenA);
  // The walk starts at the share, opened by path; neither the device prefix
  // nor the share was ever opened as a member or created, and no folder below
  // the share was looked up twice.
  const std::wstring share = L"\\\\?\\UNC\\server\\share\\";
  std::vector<std::wstring> walked;
  for (const standin::Call& call : standin::Calls()) {
    if (testing::IsWalkOpen(call) && call.path.compare(0, share.size(), share) == 0) {
      walked.push_back(call.path.substr(share.size()));
    }
  }
  EXPECT_EQ(walked, (std::vector<std::wstring>{L"", L"Roaming", L"Roaming\\Vantide",  // the store's chain
                                               L"Roaming\\Adobe",                     // the legacy storage's
                                               L"Roaming\\Vantide",                   // the folder created
                                               L"Roaming\\Vantide\\license-device.dat.tmp"}));
}

TEST_F(MigrationTest, CalledDirectlyItTakesTheFoldersItIsGiven) {
  PlantLegacyFile(kMachineRoaming, L"a", LegacyPlace::kDataFolder, kTokenA);
  const std::wstring store = L"C:\\other\\deeper\\license-device.dat";
  standin::AddDirectory(L"C:\\other");
  VantideStoreChain chain;
  chain.roaming = testing::OpenFolder(kMachineRoaming);
  chain.roamingExists = true;
  chain.storeFolder = testing::OpenFolder(L"C:\\other");
  chain.missingFolders = L"deeper";
  const DeviceIdentityResult outcome = VantideMigrateLegacyIdentity(chain);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.token, kTokenA);
  EXPECT_EQ(UnsealedStore(store), kTokenA);
  EXPECT_FALSE(standin::Exists(kMachineStoreFolder));
}

}  // namespace
}  // namespace van_tide
