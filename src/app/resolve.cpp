#include "app/resolve.h"

#include "app/migrate.h"
#include "fs/base_folder.h"
#include "fs/directory_chain.h"
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
  const Path roamingFolder = VantideGetBaseFolder(L"APPDATA");
  if (roamingFolder.empty()) return Failure(kStatusEnvironmentVariableNotFound);

  const Path storePath = VantideJoinPath(VantideJoinPath(roamingFolder, L"Vantide"), L"license-device.dat");

  // Always checked, and before the store is opened: a redirected folder above
  // the store must never let a store elsewhere stand in for ours.
  bool missing = false;
  const HRESULT chainStatus = VantideCheckDirectoryChain(VantideParentPath(storePath), &missing);
  if (chainStatus < 0 && !missing) return Failure(chainStatus);

  missing = false;
  std::string token;
  const HRESULT readStatus = VantideReadProtectedIdentity(storePath, &token, &missing);
  // The store does not exist (its own failure status says only that): the one
  // point at which a legacy identity is taken over.
  if (missing) return VantideMigrateLegacyIdentity(roamingFolder, storePath);
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
