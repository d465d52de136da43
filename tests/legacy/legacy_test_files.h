// Tokens and legacy identity file texts shared by the legacy import tests.
#pragma once

#include "platform/win32.h"

#include <string>
#include <string_view>

namespace van_tide::testing {

inline const std::string kTokenA = "van-tide-hud-0123456789abcdef0123456789ABCDEF";
// kTokenA with one digit in the other case: a different token.
inline const std::string kTokenACaseChanged = "van-tide-hud-0123456789abcdef0123456789aBCDEF";
inline const std::string kTokenB = "van-tide-hud-ffffffffffffffffFFFFFFFFFFFFFFFF";

// The smallest well-formed legacy identity file for `token`.
inline std::string LegacyFile(std::string_view token) {
  return "{\"version\":1,\"public_key\":\"" + std::string(token) + "\"}";
}

inline std::string LegacyFileWithVersion(std::string_view version, std::string_view token) {
  return "{\"version\":" + std::string(version) + ",\"public_key\":\"" + std::string(token) + "\"}";
}

}  // namespace van_tide::testing
