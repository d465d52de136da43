#include "store/device_token.h"

#include <cstddef>

namespace van_tide {
namespace {

constexpr std::string_view kTokenPrefix = "van-tide-hud-";
constexpr std::size_t kTokenDigits = 32;

// Tested on the byte value, so no locale can widen what counts as a digit.
constexpr bool IsHexDigit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool VantideIsDeviceToken(std::string_view text) noexcept {
  if (text.size() != kTokenPrefix.size() + kTokenDigits) return false;
  if (text.substr(0, kTokenPrefix.size()) != kTokenPrefix) return false;
  for (const char c : text.substr(kTokenPrefix.size())) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

}  // namespace van_tide
