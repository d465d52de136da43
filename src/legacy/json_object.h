// Strict decoding of the small JSON texts the plug-in leaves behind: exactly
// one object, no member name twice within an object, bounded nesting.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace van_tide {

// A member name or a value with more containers than this around it is
// refused, and so is a container that would open there: the top-level object
// counts as one, so a container 65 levels down may exist but must be empty.
inline constexpr int kVantideMaxJsonDepth = 64;

// True when `text` is exactly one JSON object that keeps the rules above;
// `*out` then holds it, and its previous value is let go of as
// VantideDismantleJson does. On false, `*out` is left exactly as it was.
// Never throws and never ends the process, whatever the input, memory
// running out included: that is one more reason for false.
bool VantideDecodeJsonObject(std::string_view text, nlohmann::json* out) noexcept;

// Destroying a JSON object or array that still holds members allocates (the
// library flattens the tree onto a vector first), and an allocation failure in
// a destructor ends the process. This empties `value`, which allocates
// nothing, so that its destruction allocates nothing either. It takes a tree
// of any depth, not only what the decoder builds, in constant stack space.
void VantideDismantleJson(nlohmann::json& value) noexcept;

// Dismantles a document on every way out of the scope that owns it.
class VantideJsonDismantler {
 public:
  explicit VantideJsonDismantler(nlohmann::json& value) noexcept : value_(value) {}
  ~VantideJsonDismantler() { VantideDismantleJson(value_); }
  VantideJsonDismantler(const VantideJsonDismantler&) = delete;
  VantideJsonDismantler& operator=(const VantideJsonDismantler&) = delete;

 private:
  nlohmann::json& value_;
};

}  // namespace van_tide
