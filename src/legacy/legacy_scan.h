// The search for the plug-in's legacy identity files in the host
// application's plug-in storage, under both application-data folders.
#pragma once

#include "fs/folder_walk.h"
#include "platform/win32.h"

#include <string>

namespace van_tide {

// Reads every legacy identity file under the roaming folder (none when
// `roamingFolder` is null: it does not exist) and then under LOCALAPPDATA,
// and requires that all of them name the same token.
// Status 0: `*token` holds that token, or stays empty when no file exists.
// On failure `*token` is empty.
// 0x80070034 when two files disagree; 0x800700CB when LOCALAPPDATA is no
// usable folder; otherwise the first failure met.
// A storage folder that cannot be listed raises std::filesystem::filesystem_error
// whose error code holds the Win32 error of the listing.
HRESULT VantideScanLegacyIdentities(const VantideFolder* roamingFolder, std::string* token);

}  // namespace van_tide
