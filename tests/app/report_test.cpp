#include "app/report.h"

#include "platform/status.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <sys/types.h>
#endif

namespace van_tide {
namespace {

struct ReportCase {
  HRESULT status;
  const char* line;
};

// Only the duplicate-name status has a message of its own; every other
// failure, whatever produced it, shares the migration message.
const ReportCase kReportCases[] = {
    {static_cast<HRESULT>(0x800700CBU), "device identity owner rejected migration (HRESULT=0x800700cb)\n"},
    {static_cast<HRESULT>(0x80070034U), "conflicting legacy device identities (HRESULT=0x80070034)\n"},
    {static_cast<HRESULT>(0x8007000DU), "device identity owner rejected migration (HRESULT=0x8007000d)\n"},
    {static_cast<HRESULT>(0x80070035U), "device identity owner rejected migration (HRESULT=0x80070035)\n"},
    // A refused name, by the status the tool gives it: the troubleshooting
    // table's line.
    {kStatusInvalidName, "device identity owner rejected migration (HRESULT=0x8007007b)\n"},
    {static_cast<HRESULT>(0x8009000BU), "device identity owner rejected migration (HRESULT=0x8009000b)\n"},
    {static_cast<HRESULT>(0x80000000U), "device identity owner rejected migration (HRESULT=0x80000000)\n"},
    {static_cast<HRESULT>(0xFFFFFFFFU), "device identity owner rejected migration (HRESULT=0xffffffff)\n"},
};

std::string RunAndCapture(const DeviceIdentityResult& outcome, int* exitStatus) {
  std::FILE* stream = std::tmpfile();
  if (stream == nullptr) return "<no temporary file>";
  *exitStatus = VantideFinishRun(outcome, stream);
  std::string written;
  std::rewind(stream);
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) written.push_back(static_cast<char>(c));
  std::fclose(stream);
  return written;
}

TEST(Report, AFailureWritesExactlyOneLineAndExitsThree) {
  for (const ReportCase& c : kReportCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(VantideReportLine(c.status), c.line);
    int exitStatus = -1;
    EXPECT_EQ(RunAndCapture({"", c.status}, &exitStatus), c.line);
    EXPECT_EQ(exitStatus, 3);
  }
}

TEST(Report, IdentityAndNoIdentityAreBothSilentSuccess) {
  for (const DeviceIdentityResult& outcome :
       {DeviceIdentityResult{"van-tide-hud-00000000000000000000000000000000", 0},
        DeviceIdentityResult{"", kStatusNoIdentity}}) {
    int exitStatus = -1;
    EXPECT_EQ(RunAndCapture(outcome, &exitStatus), "");
    EXPECT_EQ(exitStatus, 0);
  }
}

#if defined(__GLIBC__)
// A stream that keeps everything in its buffer until flushed, and records each
// write that reaches the device: each piece of the line must have left the
// process before the next is written, so that a run cut short still leaves
// what was written so far.
ssize_t RecordWrite(void* cookie, const char* data, std::size_t size) {
  static_cast<std::vector<std::string>*>(cookie)->emplace_back(data, size);
  return static_cast<ssize_t>(size);
}

TEST(Report, EachPieceOfTheLineIsFlushedOnItsOwn) {
  std::vector<std::string> writes;
  cookie_io_functions_t functions{};
  functions.write = RecordWrite;
  std::FILE* stream = fopencookie(&writes, "w", functions);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::setvbuf(stream, nullptr, _IOFBF, 1 << 16), 0);
  EXPECT_EQ(VantideFinishRun({"", static_cast<HRESULT>(0x8007000DU)}, stream), 3);
  const std::vector<std::string> beforeClose = writes;
  std::fclose(stream);
  EXPECT_EQ(beforeClose, (std::vector<std::string>{"device identity owner rejected migration", " (HRESULT=0x",
                                                   "8007000d", ")\n"}));
}
#endif

}  // namespace
}  // namespace van_tide
