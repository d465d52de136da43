// Sweeps over every platform call of a whole run: each call failing in turn,
// the process dying after each call, and another process acting at the worst
// moments. Whatever happens, the store is absent or complete, no file that
// existed is changed, and nothing is left open.
#include "app/resolve.h"

#include "app/migration_machine.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;
using testing::DiskSnapshot;
using testing::kMachineLocal;
using testing::kMachineRoaming;
using testing::kMachineStore;
using testing::kMachineStoreFolder;
using testing::kMachineTemporary;
using testing::kTokenA;
using testing::LegacyPlace;
using testing::Narrow;
using testing::PlantLegacyFile;

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000EU);
constexpr HRESULT kNoBaseFolder = static_cast<HRESULT>(0x800700CBU);
constexpr HRESULT kFailedWithoutReason = static_cast<HRESULT>(0x80004005U);
constexpr HRESULT kShortRead = static_cast<HRESULT>(0x80070026U);
constexpr HRESULT kShortWrite = static_cast<HRESULT>(0x8007001DU);
constexpr HRESULT kFileExists = static_cast<HRESULT>(0x80070050U);
constexpr HRESULT kAlreadyExists = static_cast<HRESULT>(0x800700B7U);

// A machine to run on, and what an undisturbed run on it ends with.
struct Scenario {
  const char* name;
  void (*arrange)();
  HRESULT status;     // of the undisturbed run
  const char* token;  // of the undisturbed run
};

void LegacyEverywhere() { testing::PlantLegacyFilesEverywhere(kTokenA); }

const Scenario kScenarios[] = {
    {"first migration", [] { LegacyEverywhere(); }, 0, kTokenA.c_str()},
    {"first migration, Vantide and the roaming folder missing",
     [] {
       standin::Remove(kMachineRoaming);
       PlantLegacyFile(kMachineLocal, L"a", LegacyPlace::kPluginData, kTokenA);
       PlantLegacyFile(kMachineLocal, L"b", LegacyPlace::kDataFolder, kTokenA);
     },
     0, kTokenA.c_str()},
    {"store present",
     [] {
       LegacyEverywhere();
       std::string store;
       VantideSealIdentity(kTokenA, &store);
       standin::AddFile(kMachineStore, store);
     },
     0, kTokenA.c_str()},
    {"no identity",
     [] {
       standin::AddDirectory(std::wstring(kMachineRoaming) +
                             L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\other\\External");
       standin::AddDirectory(std::wstring(kMachineLocal) + L"\\Adobe\\UXP\\PluginsStorage\\PHSP\\other");
     },
     1, ""},
};

void Arrange(const Scenario& scenario) {
  standin::Reset();
  testing::SetUpProfile();
  scenario.arrange();
}

DeviceIdentityResult RunFromStart() {
  standin::ClearCalls();
  return VantideResolveDeviceIdentity();
}

std::vector<standin::Call> UndisturbedCalls(const Scenario& scenario) {
  Arrange(scenario);
  const DeviceIdentityResult outcome = RunFromStart();
  EXPECT_EQ(outcome.status, scenario.status) << scenario.name;
  EXPECT_EQ(outcome.token, scenario.token) << scenario.name;
  return standin::Calls();
}

// What a typical failure of each call looks like, and its status.
struct TypicalFailure {
  Api api;
  DWORD error;
  HRESULT status;
};
const TypicalFailure kTypicalFailures[] = {
    {Api::CreateFileW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::ReadFile, ERROR_READ_FAULT, static_cast<HRESULT>(0x8007001EU)},
    {Api::WriteFile, ERROR_DISK_FULL, static_cast<HRESULT>(0x80070070U)},
    {Api::FlushFileBuffers, 1117 /* ERROR_IO_DEVICE */, static_cast<HRESULT>(0x8007045DU)},
    {Api::CloseHandle, ERROR_INVALID_HANDLE, static_cast<HRESULT>(0x80070006U)},
    {Api::GetFileInformationByHandle, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::GetFileSizeEx, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::GetFileAttributesW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::GetFileAttributesExW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::NtCreateFile, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::GetFinalPathNameByHandleW, ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
    {Api::GetFileInformationByHandleEx, ERROR_NETNAME_DELETED, static_cast<HRESULT>(0x80070040U)},
    {Api::NtSetInformationFile, ERROR_SHARING_VIOLATION, static_cast<HRESULT>(0x80070020U)},
    {Api::CryptProtectData, ERROR_NOT_ENOUGH_MEMORY, static_cast<HRESULT>(0x80070008U)},
    {Api::CryptUnprotectData, NTE_BAD_KEY_STATE, static_cast<HRESULT>(0x8009000BU)},
    {Api::WideDupEnv, ENOMEM, kOutOfMemory},
};

const TypicalFailure& TypicalFailureOf(Api api) {
  for (const TypicalFailure& failure : kTypicalFailures) {
    if (failure.api == api) return failure;
  }
  ADD_FAILURE() << "no typical failure for " << standin::ApiName(api);
  return kTypicalFailures[0];
}

enum class Variant { kTypical, kWithoutReason, kShort, kPartThenDiskFull };

const char* VariantName(Variant variant) {
  switch (variant) {
    case Variant::kTypical:
      return "typical";
    case Variant::kWithoutReason:
      return "error 0";
    case Variant::kShort:
      return "short";
    case Variant::kPartThenDiskFull:
      return "part, then disk full";
  }
  return "?";
}

std::vector<Variant> VariantsOf(Api api) {
  std::vector<Variant> variants{Variant::kTypical, Variant::kWithoutReason};
  if (api == Api::ReadFile || api == Api::WriteFile) variants.push_back(Variant::kShort);
  if (api == Api::WriteFile) variants.push_back(Variant::kPartThenDiskFull);
  return variants;
}

standin::Fault FaultFor(Api api, Variant variant) {
  standin::Fault fault;
  fault.error = TypicalFailureOf(api).error;
  if (variant == Variant::kWithoutReason) fault.error = 0;
  if (variant == Variant::kShort) fault.shortBy = 1;
  if (variant == Variant::kPartThenDiskFull) {
    fault.shortBy = 7;
    fault.failAfterTransfer = true;
    fault.error = ERROR_DISK_FULL;
  }
  return fault;
}

// The outcome the rules give a run whose call `call` failed this way.
HRESULT ExpectedStatus(const Scenario& scenario, const standin::Call& call, Variant variant) {
  // A close changes no result: the files read were read by then, and the
  // store was durably in place.
  if (call.api == Api::CloseHandle) return scenario.status;
  if (call.api == Api::WideDupEnv) return variant == Variant::kTypical ? kOutOfMemory : kNoBaseFolder;
  // A folder refused to be listed is opened again to be passed through, and
  // a check goes on without its listing, as Windows' handles allow; only the
  // plug-in storage, whose own handle the scan lists, then fails.
  const bool opensAFolderToList = (call.api == Api::CreateFileW || call.api == Api::NtCreateFile) &&
                                  (call.args.at(0) & FILE_LIST_DIRECTORY) != 0 &&
                                  (call.api == Api::CreateFileW || call.args.at(2) == FILE_OPEN);
  if (variant == Variant::kTypical && opensAFolderToList) {
    const bool storage = call.path.size() >= 4 && call.path.compare(call.path.size() - 4, 4, L"PHSP") == 0;
    return storage ? TypicalFailureOf(call.api).status : scenario.status;
  }
  switch (variant) {
    case Variant::kTypical:
      return TypicalFailureOf(call.api).status;
    case Variant::kWithoutReason:
      return kFailedWithoutReason;
    case Variant::kShort:
      return call.api == Api::ReadFile ? kShortRead : kShortWrite;
    case Variant::kPartThenDiskFull:
      return static_cast<HRESULT>(0x80070070U);
  }
  return 0;
}

std::string Short(const std::wstring& path) {
  const std::wstring prefix = L"C:\\Users\\me\\AppData\\";
  return Narrow(path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path);
}

std::string StoreState() {
  const std::string token = testing::UnsealedStore();
  if (token == kTokenA) return "complete";
  return token;
}

std::string Hex(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(status));
  return text;
}

// Every file and folder that existed is unchanged; what is new lies on the
// store's own way: its folders, the store, and (where allowed) the temporary
// file.
void ExpectOnlyTheStoreAdded(const DiskSnapshot& before, const DiskSnapshot& after) {
  for (const auto& [path, contents] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      ADD_FAILURE() << "removed: " << Narrow(path);
    } else if (found->second != contents) {
      ADD_FAILURE() << "changed: " << Narrow(path);
    }
  }
  for (const auto& [path, contents] : after) {
    if (before.contains(path)) continue;
    const bool onTheWay = path == kMachineRoaming || path == kMachineStoreFolder || path == kMachineStore ||
                          path == kMachineTemporary;
    EXPECT_TRUE(onTheWay) << "created: " << Narrow(path);
  }
}

void ExpectEverythingReleased() {
  EXPECT_EQ(standin::OpenHandleCount(), 0U);
  EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);
}

class SweepTest : public testing::StandinTest {};

TEST_F(SweepTest, EveryCallFailingInTurnEndsAsTheRulesSay) {
  std::size_t runs = 0;
  for (const Scenario& scenario : kScenarios) {
    const std::vector<standin::Call> record = UndisturbedCalls(scenario);
    std::printf("\nfault sweep: %s (%zu calls)\n", scenario.name, record.size());
    std::printf("%4s  %-26s %-62s %-20s %-9s %-9s %-10s %s\n", "k", "API", "path", "fault", "error",
                "outcome", "store", ".tmp");
    for (std::size_t k = 0; k < record.size(); ++k) {
      const standin::Call& call = record[k];
      for (const Variant variant : VariantsOf(call.api)) {
        SCOPED_TRACE(std::string(scenario.name) + ", call " + std::to_string(k) + " " +
                     standin::ApiName(call.api) + " " + Narrow(call.path) + ", " + VariantName(variant));
        Arrange(scenario);
        const DiskSnapshot before = testing::SnapshotDisk();
        const standin::Fault fault = FaultFor(call.api, variant);
        standin::ClearCalls();
        standin::InjectFaultAtCall(k, fault);
        const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
        ++runs;
        ExpectEverythingReleased();

        const HRESULT expected = ExpectedStatus(scenario, call, variant);
        EXPECT_EQ(Hex(outcome.status), Hex(expected));
        EXPECT_EQ(outcome.token, expected == 0 ? scenario.token : "");
        const std::string store = StoreState();
        if (expected == 0 && scenario.status == 0) {
          EXPECT_EQ(store, "complete");
        }
        EXPECT_TRUE(store == "complete" || store == "<absent>") << store;
        // No call of a successful run is a deletion, so no temporary file may
        // stay behind, whichever call failed.
        const bool temporaryLeft = standin::Exists(kMachineTemporary);
        EXPECT_FALSE(temporaryLeft);
        ExpectOnlyTheStoreAdded(before, testing::SnapshotDisk());
        std::printf("%4zu  %-26s %-62s %-20s %-9s %-9s %-10s %s\n", k, standin::ApiName(call.api),
                    Short(call.path).c_str(), VariantName(variant),
                    variant == Variant::kShort ? "-" : Hex(static_cast<HRESULT>(fault.error)).c_str(),
                    Hex(outcome.status).c_str(), store.c_str(), temporaryLeft ? "left" : "-");
      }
    }
  }
  std::printf("\nfault sweep: %zu runs\n", runs);
}

TEST_F(SweepTest, DyingAfterAnyCallLeavesAStoreThatIsAbsentOrComplete) {
  std::size_t runs = 0;
  for (const Scenario& scenario : kScenarios) {
    const std::vector<standin::Call> record = UndisturbedCalls(scenario);
    // From the flush after the rename on, the run has reported (or is about
    // to report) success: the store must survive any crash after it.
    std::size_t installed = record.size();
    bool renamed = false;
    for (std::size_t k = 0; k < record.size() && installed == record.size(); ++k) {
      renamed = renamed || record[k].api == Api::NtSetInformationFile;
      if (renamed && record[k].api == Api::FlushFileBuffers) installed = k;
    }
    std::printf("\ncrash sweep: %s (%zu calls)\n", scenario.name, record.size());
    std::printf("%4s  %-26s %-62s %-10s %-6s %s\n", "k", "died after", "path", "store", ".tmp", "next run");
    for (std::size_t k = 0; k < record.size(); ++k) {
      const standin::Call& call = record[k];
      SCOPED_TRACE(std::string(scenario.name) + ", died after call " + std::to_string(k) + " " +
                   standin::ApiName(call.api) + " " + Narrow(call.path));
      Arrange(scenario);
      const DiskSnapshot before = testing::SnapshotDisk();
      standin::ClearCalls();
      standin::CrashAfterCall(k);
      VantideResolveDeviceIdentity();  // the dead process's outcome is nobody's
      ++runs;
      EXPECT_TRUE(standin::Crashed());
      standin::Restart();
      ExpectEverythingReleased();

      const std::string storeAfterCrash = StoreState();
      EXPECT_TRUE(storeAfterCrash == "complete" || storeAfterCrash == "<absent>") << storeAfterCrash;
      if (k >= installed) {
        EXPECT_EQ(storeAfterCrash, "complete") << "a reported success did not survive";
      }
      const bool temporaryLeft = standin::Exists(kMachineTemporary);
      const std::string leftover = standin::FileContents(kMachineTemporary);
      ExpectOnlyTheStoreAdded(before, testing::SnapshotDisk());

      // The next run works on what the disk holds.
      standin::Restart();
      const DeviceIdentityResult next = RunFromStart();
      ExpectEverythingReleased();
      if (temporaryLeft) {
        EXPECT_EQ(Hex(next.status), Hex(kFileExists));
        EXPECT_EQ(next.token, "");
        EXPECT_EQ(standin::FileContents(kMachineTemporary), leftover);  // the leftover is left alone
        EXPECT_EQ(StoreState(), "<absent>");
      } else {
        EXPECT_EQ(next.status, scenario.status);
        EXPECT_EQ(next.token, scenario.token);
        if (scenario.status == 0) {
          EXPECT_EQ(StoreState(), "complete");
        }
      }
      std::printf("%4zu  %-26s %-62s %-10s %-6s %s\n", k, standin::ApiName(call.api),
                  Short(call.path).c_str(), storeAfterCrash.c_str(), temporaryLeft ? "left" : "-",
                  Hex(next.status).c_str());
    }
  }
  std::printf("\ncrash sweep: %zu runs\n", runs);
}

std::size_t IndexOf(const std::vector<standin::Call>& record, Api api, const std::wstring& path) {
  for (std::size_t k = 0; k < record.size(); ++k) {
    if (record[k].api == api && record[k].path == path) return k;
  }
  ADD_FAILURE() << standin::ApiName(api) << " " << Narrow(path) << " is not in the record";
  return record.size();
}

// Another run that gets there first wins, and its files are never touched.
TEST_F(SweepTest, AnotherProcessActingMidRunIsNeverOverruled) {
  const Scenario& scenario = kScenarios[0];
  const std::vector<standin::Call> record = UndisturbedCalls(scenario);
  const std::size_t move = IndexOf(record, Api::NtSetInformationFile, kMachineTemporary);
  const std::size_t open = IndexOf(record, Api::NtCreateFile, kMachineTemporary);
  const struct {
    const char* name;
    std::size_t before;  // the call the other process acts before
    void (*act)();
    HRESULT status;
    const char* storeAfter;      // null: absent
    const char* temporaryAfter;  // null: absent
    bool deletesTemporary;
  } cases[] = {
      {"a store appears just before the move", move,
       [] { standin::AddFile(kMachineStore, "another run's store"); }, kAlreadyExists, "another run's store",
       nullptr, true},
      {"a temporary file appears just before ours is made", open,
       [] { standin::AddFile(kMachineTemporary, "another run's bytes"); }, kFileExists, nullptr,
       "another run's bytes", false},
      {"another run holds its temporary file open, unshared", open,
       [] {
         standin::AddFile(kMachineTemporary, "being written");
         standin::HoldOpen(kMachineTemporary, GENERIC_WRITE, 0);
       },
       kFileExists, nullptr, "being written", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Arrange(scenario);
    standin::ClearCalls();
    standin::RunBeforeCall(c.before, c.act);
    const DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
    EXPECT_EQ(Hex(outcome.status), Hex(c.status));
    EXPECT_EQ(outcome.token, "");
    EXPECT_EQ(standin::Exists(kMachineStore), c.storeAfter != nullptr);
    if (c.storeAfter != nullptr) {
      EXPECT_EQ(standin::FileContents(kMachineStore), c.storeAfter);
    }
    EXPECT_EQ(standin::Exists(kMachineTemporary), c.temporaryAfter != nullptr);
    if (c.temporaryAfter != nullptr) {
      EXPECT_EQ(standin::FileContents(kMachineTemporary), c.temporaryAfter);
    }
    // Only our own temporary file is ever deleted, by its handle, and only
    // once it was ours.
    std::vector<std::wstring> deleted;
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::NtSetInformationFile && call.args.at(0) == FileDispositionInformation) {
        deleted.push_back(call.path);
      }
    }
    EXPECT_EQ(deleted, c.deletesTemporary ? std::vector<std::wstring>{kMachineTemporary}
                                          : std::vector<std::wstring>{});
    standin::ReleaseHeld();
  }
}

}  // namespace
}  // namespace van_tide
