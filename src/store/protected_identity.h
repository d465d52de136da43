// The protected store file: the magic "VANTIDE-DPAPI-1\n" followed by one
// data-protection blob that seals the token for the current Windows user.
#pragma once

#include "fs/folder_walk.h"
#include "platform/win32.h"

#include <string>
#include <string_view>

namespace van_tide {

inline constexpr std::string_view kVantideStoreMagic{"VANTIDE-DPAPI-1\n", 16};

// Where the store lives: this folder below the roaming application-data
// folder, and this name in it.
inline constexpr wchar_t kVantideStoreFolder[] = L"Vantide";
inline constexpr wchar_t kVantideStoreName[] = L"license-device.dat";

// Reads and unseals the store `name` of `folder`. `*missing` as for
// VantideReadSmallFile.
HRESULT VantideReadProtectedIdentity(const VantideFolder& folder, std::wstring_view name, std::string* token,
                                     bool* missing);
HRESULT VantideSealIdentity(const std::string& token, std::string* bytes);

}  // namespace van_tide
