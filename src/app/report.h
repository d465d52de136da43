// The tool's only output: on failure, one line on standard error.
#pragma once

#include "app/resolve.h"

#include <cstdio>
#include <string>

namespace van_tide {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 3;

// The line for a failed outcome, line feed included.
std::string VantideReportLine(HRESULT status);

// Turns the outcome into the exit status and, on failure, writes the report
// line to `errorStream` piece by piece, flushing each. A failed write changes
// nothing: the exit status is 3 all the same.
int VantideFinishRun(const DeviceIdentityResult& outcome, std::FILE* errorStream) noexcept;

}  // namespace van_tide
