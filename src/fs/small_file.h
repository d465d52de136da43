#pragma once

#include "fs/folder_walk.h"
#include "platform/win32.h"

#include <string>
#include <string_view>

namespace van_tide {

inline constexpr long long kVantideMaxSmallFileSize = 65536;

// Reads the whole file `name` of `folder`, 1 to 65,536 bytes, with one read,
// refusing a file that is a reparse point or was reached through a
// redirection (0x80070780). `*missing` is written only when the open fails:
// true for errors 2 and 3.
HRESULT VantideReadSmallFile(const VantideFolder& folder, std::wstring_view name, std::string* bytes,
                             bool* missing);

}  // namespace van_tide
