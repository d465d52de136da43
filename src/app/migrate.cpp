#include "app/migrate.h"

#include "fs/atomic_file.h"
#include "legacy/legacy_scan.h"
#include "platform/status.h"
#include "store/protected_identity.h"

#include <string>
#include <utility>

namespace van_tide {

DeviceIdentityResult VantideMigrateLegacyIdentity(const VantideStoreChain& chain) {
  std::string token;
  const HRESULT scanStatus =
      VantideScanLegacyIdentities(chain.roamingExists ? &chain.roaming : nullptr, &token);
  if (scanStatus < 0) return {std::string(), scanStatus};
  // The tool never makes up an identity: with none to take over, nothing is
  // written, not even the store's folder, and the next run searches again.
  if (token.empty()) return {std::string(), kStatusNoIdentity};

  std::string storeBytes;
  const HRESULT sealStatus = VantideSealIdentity(token, &storeBytes);
  if (sealStatus < 0) return {std::string(), sealStatus};

  // Not even the root of the roaming folder exists: there is nothing to
  // create the store's folders in.
  if (!chain.Deepest().IsOpen()) return {std::string(), VantideFailureFromWin32(ERROR_PATH_NOT_FOUND)};
  VantideFolder created;
  if (!chain.missingFolders.empty()) {
    const HRESULT folderStatus = VantideCreateFoldersBelow(chain.Deepest(), chain.missingFolders, &created);
    if (folderStatus < 0) return {std::string(), folderStatus};
  }
  const VantideFolder& storeFolder = created.IsOpen() ? created : chain.Deepest();
  const HRESULT createStatus = VantideCreateFileAtomically(storeFolder, kVantideStoreName, storeBytes);
  if (createStatus < 0) return {std::string(), createStatus};
  return {std::move(token), kStatusOk};
}

}  // namespace van_tide
