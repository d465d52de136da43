// One legacy identity file of the plug-in: a small JSON object that names the
// device token in "public_key" under "version" 1.
#pragma once

#include "fs/folder_walk.h"
#include "platform/win32.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace van_tide {

// The value of member `name` (matched byte for byte) of `value`; null when
// `value` is no object or has no such member. Never inserts anything.
const nlohmann::json* VantideFindJsonMember(const nlohmann::json& value, const char* name) noexcept;

// Reads the file `name` of `folder` and returns its token. `*missing` becomes
// true only when the file does not exist; every other failure leaves it
// false. `*token` is meaningful only on status 0.
HRESULT VantideReadLegacyIdentityFile(const VantideFolder& folder, std::wstring_view name, std::string* token,
                                      bool* missing);

}  // namespace van_tide
