// Memory running out at every allocation of a run in turn, once or for good: a
// first migration, and a run that finds its store; and the strict JSON decoder on documents it
// refuses, with memory failing once or for good. This binary replaces the
// global allocation functions, so it stands apart from the other tests.
#include "app/resolve.h"
#include "legacy/json_object.h"
#include "store/protected_identity.h"

#include "app/migration_machine.h"
#include "platform/status.h"
#include "standin/standin.h"
#include "support/deep_json.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Counts the product's own allocations while armed and makes the chosen one
// fail. The stand-in's allocations never fail: a real Win32 call does not
// raise a C++ error.
struct AllocationPlan {
  bool armed = false;
  std::size_t count = 0;
  std::size_t failAt = 0;          // 1-based; 0: none fails
  bool persistent = false;         // every allocation from failAt on fails, not just that one
  std::size_t callsAtFailure = 0;  // the size of the call record when it failed
  bool failed = false;
};
AllocationPlan plan;

// Counting starts afresh; with `failAt` 0 nothing fails, only the count runs.
void ArmPlan(std::size_t failAt, bool persistent) {
  plan = AllocationPlan{};
  plan.failAt = failAt;
  plan.persistent = persistent;
  plan.armed = true;
}

bool ShouldFail() {
  if (!plan.armed || van_tide::standin::InPlatformCall()) return false;
  ++plan.count;
  if (plan.failAt == 0 || plan.count < plan.failAt) return false;
  if (plan.count > plan.failAt && !plan.persistent) return false;
  plan.failed = true;
  plan.callsAtFailure = van_tide::standin::Calls().size();
  return true;
}

void* Allocate(std::size_t size, bool mayThrow) {
  if (ShouldFail()) {
    if (mayThrow) throw std::bad_alloc();
    return nullptr;
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr && mayThrow) throw std::bad_alloc();
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size, true); }
void* operator new[](std::size_t size) { return Allocate(size, true); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, false); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, false); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace van_tide {
namespace {

using standin::Api;
using testing::kMachineTemporary;
using testing::kTokenA;
using testing::Narrow;

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000EU);
constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000DU);

void ArrangeFirstMigration() {
  standin::Reset();
  testing::SetUpProfile();
  testing::PlantLegacyFilesEverywhere(kTokenA);
}

void ArrangeStorePresent() {
  ArrangeFirstMigration();
  std::string store;
  ASSERT_EQ(VantideSealIdentity(kTokenA, &store), 0);
  standin::AddFile(testing::kMachineStore, store);
}

// A machine to sweep: how it is set up, and whether it holds a store before
// the run (else none may exist after a failed run).
struct Machine {
  const char* name;
  void (*arrange)();
  bool storePlanted;
};

const Machine kMachines[] = {
    {"first migration", ArrangeFirstMigration, false},
    {"store present", ArrangeStorePresent, true},
};

DeviceIdentityResult RunFailingAllocation(std::size_t failAt, bool persistent) {
  standin::ClearCalls();
  ArmPlan(failAt, persistent);
  DeviceIdentityResult outcome = VantideResolveDeviceIdentity();
  plan.armed = false;
  return outcome;
}

// Right after a legacy file was read and closed, the only work is decoding
// it, which reports any failure of its own, running out of memory included,
// as malformed content; the copy of its token out of the document and the
// next path after it report memory exhaustion as such.
bool WhileDecodingALegacyFile(std::size_t callsAtFailure) {
  if (callsAtFailure == 0) return false;
  const standin::Call& last = standin::Calls().at(callsAtFailure - 1);
  return last.api == Api::CloseHandle && last.path.ends_with(L"license-device.json");
}

class AllocationSweepTest : public testing::StandinTest {};

void SweepAllocations(const Machine& machine, bool persistent) {
  machine.arrange();
  const DeviceIdentityResult undisturbed = RunFailingAllocation(0, false);
  ASSERT_EQ(undisturbed.status, 0);
  const std::size_t total = plan.count;
  ASSERT_GT(total, 0U);

  std::size_t asInvalidData = 0;
  std::printf("\nallocation sweep: %s, %zu allocations of the product's own, failing %s\n", machine.name,
              total, persistent ? "from the N-th on" : "only the N-th");
  std::printf("%5s  %-8s %-26s %-62s %s\n", "N", "outcome", "last call before", "its path", "written after");
  for (std::size_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    machine.arrange();
    const testing::DiskSnapshot before = testing::SnapshotDisk();
    const DeviceIdentityResult outcome = RunFailingAllocation(n, persistent);
    ASSERT_TRUE(plan.failed);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
    EXPECT_EQ(standin::OutstandingLocalBuffers(), 0U);

    const bool decoding = WhileDecodingALegacyFile(plan.callsAtFailure);
    if (decoding && outcome.status == kInvalidData) {
      ++asInvalidData;
    } else {
      EXPECT_EQ(outcome.status, kOutOfMemory);
    }
    EXPECT_EQ(outcome.token, "");
    bool writtenAfter = false;
    for (std::size_t k = plan.callsAtFailure; k < standin::Calls().size(); ++k) {
      writtenAfter = writtenAfter || testing::ChangesDisk(standin::Calls()[k]);
    }
    EXPECT_FALSE(writtenAfter) << "something was written after the failure";
    EXPECT_EQ(standin::Exists(testing::kMachineStore), machine.storePlanted);
    EXPECT_FALSE(standin::Exists(kMachineTemporary));
    // Folders created before the failure may stay; files are untouched.
    const testing::DiskSnapshot after = testing::SnapshotDisk();
    for (const auto& [path, contents] : before) EXPECT_EQ(after.at(path), contents) << Narrow(path);

    const standin::Call* last =
        plan.callsAtFailure == 0 ? nullptr : &standin::Calls()[plan.callsAtFailure - 1];
    char status[16];
    std::snprintf(status, sizeof status, "%08x", static_cast<unsigned>(outcome.status));
    std::printf("%5zu  %-8s %-26s %-62s %s\n", n, status,
                last == nullptr ? "(none)" : standin::ApiName(last->api),
                last == nullptr ? "" : Narrow(last->path).c_str(), writtenAfter ? "yes" : "no");
  }
  std::printf("allocation sweep: %zu failures, %zu reported as malformed content while decoding\n", total,
              asInvalidData);
}

TEST_F(AllocationSweepTest, RunningOutOfMemoryAnywhereFailsCleanly) {
  for (const Machine& machine : kMachines) {
    SCOPED_TRACE(machine.name);
    SweepAllocations(machine, false);
    SweepAllocations(machine, true);
  }
}

// The decoder holds trees of its own while it works: whatever it refuses, an
// allocation failing on the way must end in a false answer with the caller's
// document untouched, never in a destructor that runs out of memory (which
// ends the process).
std::string Nested(int levels, std::string_view innermost) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "{\"a\":[1,";
  text += innermost;
  for (int i = 0; i < levels; ++i) text += "]}";
  return text;
}

struct Document {
  const char* name;
  std::string text;
  bool accepted;
};

const Document kDocuments[] = {
    {"top-level array", "[1,2,3]", false},
    {"top-level array of objects", R"([{"a":[1]},{"b":{"c":2}}])", false},
    {"repeated member name", R"({"x":[1,2,3],"y":{"z":"long enough to be allocated"},"x":0})", false},
    {"repeated name deep down", R"({"x":[1,{"y":{"a":[1,2],"a":3}}],"z":4})", false},
    {"nesting 70 deep", Nested(35, "2"), false},
    {"too deep, then more", Nested(35, "2") + R"(,"b":[1,2])", false},
    {"cut short", R"({"x":[1,2,3],"y":{"z":"long enough to be allocated")", false},
    {"text after the object", R"({"x":[1,2,3],"y":{"z":true}} trailing)", false},
    {"broken escape late", R"({"x":[1,2,3],"y":"\uD800"})", false},
    {"accepted", R"({"version":1,"x":[1,{"y":null}],"z":"long enough to be allocated"})", true},
};

struct DecodeRun {
  bool decoded;
  bool failed;
};

DecodeRun DecodeFailing(const Document& document, std::size_t failAt, bool persistent, nlohmann::json* out) {
  ArmPlan(failAt, persistent);
  const bool decoded = VantideDecodeJsonObject(document.text, out);
  plan.armed = false;
  return {decoded, plan.failed};
}

// Memory failing once at each allocation in turn, then failing for good from
// each allocation on. The number of runs is printed as it goes, so a run that
// ends the process names its allocation.
void SweepDecoding(const Document& document, bool persistent) {
  // The caller's document holds a tree, so that letting go of it on success
  // is counted and swept too.
  nlohmann::json undisturbed = {{"keep", nlohmann::json::array({1, 2})}};
  ASSERT_EQ(DecodeFailing(document, 0, false, &undisturbed).decoded, document.accepted);
  const std::size_t total = plan.count;
  ASSERT_GT(total, 0U);

  // However deep the caller's old document, letting go of it adds no
  // allocation, so none can fail there; and while memory fails, it stays
  // exactly where it was.
  nlohmann::json deep;
  deep["old"] = testing::DeepTree(100'000, testing::Way::kMixed);
  const void* deepRoot = &deep.get_ref<nlohmann::json::object_t&>();
  const std::size_t deepMembers = deep.size();
  if (document.accepted) {
    nlohmann::json replaced;
    replaced["old"] = testing::DeepTree(100'000, testing::Way::kMixed);
    ASSERT_TRUE(DecodeFailing(document, 0, false, &replaced).decoded);
    EXPECT_EQ(plan.count, total) << "letting go of a deep old document allocated";
  }

  for (std::size_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    std::printf("\r  %-30s %-10s failing at %3zu of %zu", document.name, persistent ? "for good" : "once", n,
                total);
    std::fflush(stdout);
    nlohmann::json out = {{"keep", nlohmann::json::array({1, 2})}};
    const nlohmann::json before = out;
    const DecodeRun run = DecodeFailing(document, n, persistent, &out);
    EXPECT_TRUE(run.failed);
    EXPECT_FALSE(run.decoded);
    EXPECT_EQ(out, before);
    EXPECT_FALSE(DecodeFailing(document, n, persistent, &deep).decoded);
    EXPECT_EQ(&deep.get_ref<nlohmann::json::object_t&>(), deepRoot);
    EXPECT_EQ(deep.size(), deepMembers);
  }
  std::printf("\r  %-30s %-10s %3zu runs, each ended in false\n", document.name,
              persistent ? "for good" : "once", total);
}

std::ostream& operator<<(std::ostream& os, const Document& document) { return os << document.name; }

// On the stand-in's fixture only so that the stand-in exists before the
// first allocation asks it whether a platform call is under way.
class AllocationSweepDecoding : public testing::StandinTest,
                                public ::testing::WithParamInterface<Document> {};

TEST_P(AllocationSweepDecoding, RunningOutOfMemoryEndsInARefusal) {
  std::printf("\n");
  SweepDecoding(GetParam(), false);
  SweepDecoding(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Documents, AllocationSweepDecoding, ::testing::ValuesIn(kDocuments),
                         [](const ::testing::TestParamInfo<Document>& param) {
                           std::string name;
                           for (const char c : std::string_view(param.param.name)) {
                             if (c != ' ' && c != ',' && c != '-') name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace van_tide
