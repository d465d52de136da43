// The one-time move of the plug-in's legacy identity into the protected store.
#pragma once

#include "app/resolve.h"
#include "fs/path.h"

namespace van_tide {

// Scans the legacy files under `roamingFolder` and LOCALAPPDATA; when they
// agree on a token, seals it and creates `storePath` with it. Status 0 with
// the token once the store exists, 1 with nothing written when no legacy file
// holds an identity, else the failure's status and an empty token. Errors
// raised beneath it (listing failures, memory exhaustion) pass through to
// resolution, which turns them into statuses.
DeviceIdentityResult VantideMigrateLegacyIdentity(const Path& roamingFolder, const Path& storePath);

}  // namespace van_tide
