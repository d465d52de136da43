// The protected store file: the magic "VANTIDE-DPAPI-1\n" followed by one
// data-protection blob that seals the token for the current Windows user.
#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <string>
#include <string_view>

namespace van_tide {

inline constexpr std::string_view kVantideStoreMagic{"VANTIDE-DPAPI-1\n", 16};

HRESULT VantideReadProtectedIdentity(const Path& path, std::string* token, bool* missing);
HRESULT VantideSealIdentity(const std::string& token, std::string* bytes);

}  // namespace van_tide
