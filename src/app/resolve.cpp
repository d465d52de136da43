#include "app/resolve.h"

#include "app/migrate.h"
#include "fs/base_folder.h"
#include "fs/folder_walk.h"
#include "fs/path.h"
#include "platform/status.h"
#include "store/protected_identity.h"

#include <cstdint>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

namespace van_tide {
namespace {

constexpr HRESULT kStatusUnexpected = static_cast<HRESULT>(0x8000FFFFU);  // E_UNEXPECTED

DeviceIdentityResult Failure(HRESULT status) noexcept { return {std::string(), status}; }

DeviceIdentityResult Resolve() {
  const Path roamingPath = VantideGetBaseFolder(L"APPDATA");
  if (roamingPath.empty()) return Failure(kStatusEnvironmentVariableNotFound);

  // Always walked, and before the store is opened: a redirected folder above
  // the store must never let a store elsewhere stand in for ours. The walk
  // keeps every folder it reached open for what follows.
  VantideStoreChain chain;
  bool missing = false;
  HRESULT chainStatus = VantideOpenFolderPath(roamingPath, &chain.roaming, &missing, &chain.missingFolders);
  chain.roamingExists = chainStatus >= 0;
  if (chain.roamingExists) {
    chainStatus = VantideOpenFolderBelow(chain.roaming, kVantideStoreFolder, &chain.storeFolder, &missing,
                                         &chain.missingFolders);
  } else if (missing) {
    chain.missingFolders.append(chain.missingFolders.empty() ? L"" : L"\\").append(kVantideStoreFolder);
  }
  if (chainStatus < 0 && !missing) return Failure(chainStatus);

  // The store does not exist (its own failure status says only that): the one
  // point at which a legacy identity is taken over.
  if (!chain.storeFolder.IsOpen()) return VantideMigrateLegacyIdentity(chain);
  missing = false;
  std::string token;
  const HRESULT readStatus =
      VantideReadProtectedIdentity(chain.storeFolder, kVantideStoreName, &token, &missing);
  if (missing) return VantideMigrateLegacyIdentity(chain);
  // A store that exists but cannot be read is never replaced and never leads
  // to the legacy files.
  if (readStatus < 0) return Failure(readStatus);
  return {std::move(token), kStatusOk};
}

}  // namespace

HRESULT VantideStatusOfCurrentException() noexcept {
  try {
    throw;
  } catch (const std::filesystem::filesystem_error& error) {
    // The folder listing raises these with the Win32 code of the failed call.
    // A code of another category (an errno value, say) is no Win32 code and
    // would map to a wrong one: the listing failed, reason unknown.
    if (error.code().category() != std::system_category()) return kStatusFailedWithoutReason;
    return VantideFailureFromWin32(static_cast<std::uint32_t>(error.code().value()));
  } catch (const std::bad_alloc&) {
    return kStatusOutOfMemory;
  } catch (...) {
    // Nothing else is raised beneath resolution; should that ever change, the
    // run must still end in the report line rather than a terminate.
    return kStatusUnexpected;
  }
}

DeviceIdentityResult VantideResolveDeviceIdentity() noexcept {
  try {
    return Resolve();
  } catch (...) {
    return Failure(VantideStatusOfCurrentException());
  }
}

}  // namespace van_tide
