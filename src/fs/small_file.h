#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <string>

namespace van_tide {

inline constexpr long long kVantideMaxSmallFileSize = 65536;

// Reads a whole file of 1 to 65,536 bytes with one read, refusing a file that
// is itself a reparse point. `*missing` is written only when the open fails:
// true for errors 2 and 3.
HRESULT VantideReadSmallFile(const Path& path, std::string* bytes, bool* missing);

}  // namespace van_tide
