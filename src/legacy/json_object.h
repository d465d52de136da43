// Strict decoding of the small JSON texts the plug-in leaves behind: exactly
// one object, no member name twice within an object, bounded nesting.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace van_tide {

// Nesting deeper than this (as the JSON library counts depth in its parse
// events) is refused.
inline constexpr int kVantideMaxJsonDepth = 64;

// True when `text` is exactly one JSON object that keeps the rules above;
// `*out` then holds it. On false, `*out` is left exactly as it was. Never
// throws, whatever the input.
bool VantideDecodeJsonObject(std::string_view text, nlohmann::json* out) noexcept;

}  // namespace van_tide
