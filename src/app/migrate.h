// The one-time move of the plug-in's legacy identity into the protected store.
#pragma once

#include "app/resolve.h"
#include "fs/folder_walk.h"

#include <string>

namespace van_tide {

// The store's folder chain as the run found it, held open: what the migration
// scans and where it creates the store, without looking any folder up again.
struct VantideStoreChain {
  // The roaming application-data folder when all of it exists; otherwise the
  // deepest folder of it that does (empty when not even its root does).
  VantideFolder roaming;
  bool roamingExists = false;
  // The store's folder, when it exists.
  VantideFolder storeFolder;
  // The members of the chain that do not exist yet, below the deepest folder
  // that does, separated by backslashes.
  std::wstring missingFolders;

  [[nodiscard]] const VantideFolder& Deepest() const noexcept {
    return storeFolder.IsOpen() ? storeFolder : roaming;
  }
};

// Scans the legacy files under the roaming folder and LOCALAPPDATA; when they
// agree on a token, seals it, creates the missing folders of the chain and
// the store in the last of them. Status 0 with the token once the store
// exists, 1 with nothing written when no legacy file holds an identity, else
// the failure's status and an empty token. Errors raised beneath it (listing
// failures, memory exhaustion) pass through to resolution, which turns them
// into statuses.
DeviceIdentityResult VantideMigrateLegacyIdentity(const VantideStoreChain& chain);

}  // namespace van_tide
