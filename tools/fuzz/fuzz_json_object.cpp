// The strict decoder against a second opinion: a small handler of our own
// that builds nothing and only applies the three rules (one object, no name
// twice within an object, bounded nesting) to the library's SAX events,
// keeping a set of the names of each open object. The decoder must answer exactly as the two together
// do, keep `*out` untouched when it refuses, and hand back the very object a
// plain parse builds when it accepts.
#include "fuzz_check.h"
#include "legacy/json_object.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

using nlohmann::json;

class RuleCheckingSax {
 public:
  // True when the text was one JSON value, its top is an object and no rule
  // was broken on the way.
  bool Accepted() const { return !refused_ && sawTopObject_; }

  bool null() { return Scalar(); }
  bool boolean(bool) { return Scalar(); }
  bool number_integer(json::number_integer_t) { return Scalar(); }
  bool number_unsigned(json::number_unsigned_t) { return Scalar(); }
  bool number_float(json::number_float_t, const json::string_t&) { return Scalar(); }
  bool string(json::string_t&) { return Scalar(); }
  bool binary(json::binary_t&) { return Scalar(); }

  bool start_object(std::size_t) {
    if (!StartContainer()) return false;
    if (open_.size() == 1) sawTopObject_ = true;
    return true;
  }
  bool key(json::string_t& name) {
    // A member of a container at level 65 is one level too deep.
    if (open_.size() > kMaxDepth) return Refuse();
    if (!open_.back().insert(name).second) return Refuse();
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) { return StartContainer(); }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return Refuse(); }

 private:
  static constexpr std::size_t kMaxDepth = 64;

  bool Scalar() {
    if (open_.empty()) return Refuse();  // a top-level scalar is no object
    if (open_.size() > kMaxDepth) return Refuse();
    return true;
  }
  bool StartContainer() {
    if (open_.size() > kMaxDepth) return Refuse();
    open_.emplace_back();
    return true;
  }
  bool Refuse() {
    refused_ = true;
    return false;
  }

  // The member names of every open container, innermost last (an array's
  // set stays empty).
  std::vector<std::unordered_set<std::string>> open_;
  bool refused_ = false;
  bool sawTopObject_ = false;
};

bool SecondOpinion(std::string_view text) {
  // The library reads a raw NUL as the end of its input; no JSON text holds
  // one, so a text with a NUL is never an object.
  if (text.find('\0') != std::string_view::npos) return false;
  RuleCheckingSax sax;
  const bool parsed = json::sax_parse(text, &sax, json::input_format_t::json, /*strict=*/true,
                                      /*ignore_comments=*/false);
  return parsed && sax.Accepted();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const json sentinel = {{"sentinel", {1, "two", nullptr}}};
  json out = sentinel;
  const bool accepted = van_tide::VantideDecodeJsonObject(text, &out);

  VANTIDE_FUZZ_CHECK(accepted == SecondOpinion(text));
  if (accepted) {
    VANTIDE_FUZZ_CHECK(out.is_object());
    const json plain = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    VANTIDE_FUZZ_CHECK(out == plain);
  } else {
    VANTIDE_FUZZ_CHECK(out == sentinel);
  }
  VANTIDE_FUZZ_CHECK(!van_tide::VantideDecodeJsonObject(text, nullptr));
  return 0;
}
