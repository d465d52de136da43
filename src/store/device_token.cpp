#include "store/device_token.h"

#include <algorithm>
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
  const std::string_view digits = text.substr(kTokenPrefix.size());
  return std::all_of(digits.begin(), digits.end(), IsHexDigit);
}

}  // namespace van_tide
