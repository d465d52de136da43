#pragma once

#include <string_view>

namespace van_tide {

// True exactly when `text` is "van-tide-hud-" followed by 32 hexadecimal
// digits of either case: 45 bytes, nothing trimmed.
bool VantideIsDeviceToken(std::string_view text) noexcept;

}  // namespace van_tide
