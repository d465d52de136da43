#include "app/resolve.h"

#include "fs/base_folder.h"
#include "fs/directory_chain.h"
#include "fs/path.h"
#include "platform/status.h"
#include "store/protected_identity.h"

#include <cstdint>
#include <filesystem>
#include <new>
#include <utility>

namespace van_tide {
namespace {

// Anything that escapes the program's own statuses is a fault, not an
// outcome; it must still end in the report line rather than a terminate.
constexpr HRESULT kStatusUnexpected = static_cast<HRESULT>(0x8000FFFFU);

DeviceIdentityResult Failure(HRESULT status) noexcept { return {std::string(), status}; }

DeviceIdentityResult Resolve() {
  const Path roamingFolder = VantideGetBaseFolder(L"APPDATA");
  if (roamingFolder.empty()) return Failure(kStatusEnvironmentVariableNotFound);

  const Path storePath =
      VantideJoinPath(VantideJoinPath(roamingFolder, L"Vantide"), L"license-device.dat");

  // Always checked, and before the store is opened: a redirected folder above
  // the store must never let a store elsewhere stand in for ours.
  bool missing = false;
  const HRESULT chainStatus = VantideCheckDirectoryChain(VantideParentPath(storePath), &missing);
  if (chainStatus < 0 && !missing) return Failure(chainStatus);

  missing = false;
  std::string token;
  const HRESULT readStatus = VantideReadProtectedIdentity(storePath, &token, &missing);
  if (missing) {
    // The store does not exist, and no legacy identity is migrated yet: there
    // is no identity, and nothing is written.
    return Failure(kStatusNoIdentity);
  }
  // A store that exists but cannot be read is never replaced and never leads
  // to the legacy files.
  if (readStatus < 0) return Failure(readStatus);
  return {std::move(token), kStatusOk};
}

}  // namespace

DeviceIdentityResult VantideResolveDeviceIdentity() noexcept {
  try {
    return Resolve();
  } catch (const std::filesystem::filesystem_error& error) {
    return Failure(VantideFailureFromWin32(static_cast<std::uint32_t>(error.code().value())));
  } catch (const std::bad_alloc&) {
    return Failure(kStatusOutOfMemory);
  } catch (const std::exception&) {
    return Failure(kStatusUnexpected);
  }
}

}  // namespace van_tide
