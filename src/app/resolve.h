#pragma once

#include "platform/win32.h"

#include <string>

namespace van_tide {

// Outcome of resolution and of the migration. status: 0 an identity exists
// (token holds it), 1 no identity anywhere, negative failure (token empty).
struct DeviceIdentityResult {
  std::string token;
  HRESULT status = 0;
};

inline constexpr HRESULT kStatusNoIdentity = 1;

DeviceIdentityResult VantideResolveDeviceIdentity() noexcept;

// The status of the error being handled, for use inside a catch handler: a
// file-system error becomes its Win32 code as a result (E_FAIL when it carries
// no Win32 code), memory exhaustion 0x8007000E, anything else E_UNEXPECTED.
HRESULT VantideStatusOfCurrentException() noexcept;

}  // namespace van_tide
