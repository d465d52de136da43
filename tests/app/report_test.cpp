#include "app/report.h"

#include "platform/status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

}  // namespace
}  // namespace van_tide
