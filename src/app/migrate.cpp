#include "app/migrate.h"

#include "fs/atomic_file.h"
#include "legacy/legacy_scan.h"
#include "platform/status.h"
#include "store/protected_identity.h"

#include <string>
#include <utility>

namespace van_tide {

DeviceIdentityResult VantideMigrateLegacyIdentity(const Path& roamingFolder, const Path& storePath) {
  std::string token;
  const HRESULT scanStatus = VantideScanLegacyIdentities(roamingFolder, &token);
  if (scanStatus < 0) return {std::string(), scanStatus};
  // The tool never makes up an identity: with none to take over, nothing is
  // written, not even the store's folder, and the next run searches again.
  if (token.empty()) return {std::string(), kStatusNoIdentity};

  std::string storeBytes;
  const HRESULT sealStatus = VantideSealIdentity(token, &storeBytes);
  if (sealStatus < 0) return {std::string(), sealStatus};

  const HRESULT createStatus = VantideCreateFileAtomically(storePath, storeBytes);
  if (createStatus < 0) return {std::string(), createStatus};
  return {std::move(token), kStatusOk};
}

}  // namespace van_tide
