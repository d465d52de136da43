#include "legacy/json_object.h"

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace van_tide {

namespace {

using ParseEvent = nlohmann::json::parse_event_t;

// The messages only stop the parse; nobody ever sees them.
constexpr const char* kTooDeep = "JSON nesting is too deep";
constexpr const char* kDuplicateField = "duplicate JSON field";

}  // namespace

bool VantideDecodeJsonObject(std::string_view text, nlohmann::json* out) noexcept {
  if (out == nullptr) return false;
  // The library takes a NUL byte between tokens for the end of the input, so
  // "{}" followed by NUL and anything at all would pass as one object. No JSON
  // text holds a raw NUL anywhere (inside strings it must be escaped), so
  // refusing it up front changes no answer for valid JSON.
  if (text.find('\0') != std::string_view::npos) return false;

  try {
    // The number of member names met in each object that is open at the
    // current point of the parse, innermost last. The library files a member
    // under its name as soon as the name is read, so a name given twice takes
    // the slot it had: an object that ends with fewer members than names met
    // repeated one. Counting costs nothing per name; a set of names would cost
    // a copy and a node for each. Arrays carry no names, so they have no count.
    std::vector<std::size_t> openObjectNames;
    openObjectNames.reserve(kVantideMaxJsonDepth + 1);

    const nlohmann::json::parser_callback_t callback = [&openObjectNames](int depth, ParseEvent event,
                                                                          nlohmann::json& parsed) -> bool {
      // Checked before anything else, so that no event of a too-deep
      // container, key or value gets any further.
      if (depth > kVantideMaxJsonDepth) throw std::runtime_error(kTooDeep);
      switch (event) {
        case ParseEvent::object_start:
          openObjectNames.push_back(0);
          break;
        case ParseEvent::key:
          // The name arrives with its escapes decoded, so "a" and "\u0061"
          // land in the same slot as they should.
          ++openObjectNames.back();
          break;
        case ParseEvent::object_end:
          if (parsed.size() != openObjectNames.back()) throw std::runtime_error(kDuplicateField);
          openObjectNames.pop_back();
          break;
        case ParseEvent::array_start:
        case ParseEvent::array_end:
        case ParseEvent::value:
          break;
      }
      // Never drop an element: what the parse accepts is kept whole.
      return true;
    };

    nlohmann::json parsed = nlohmann::json::parse(text, callback, /*allow_exceptions=*/false,
                                                  /*ignore_comments=*/false);
    // A syntax error yields the discarded value, which is no object either.
    if (!parsed.is_object()) return false;
    *out = std::move(parsed);
    return true;
  } catch (const std::exception&) {
    // Our own two refusals, the library's errors and running out of memory
    // all mean the same thing to the caller: not a valid object.
    return false;
  }
}

void VantideDismantleJson(nlohmann::json& value) noexcept {
  // Members are emptied before their container lets go of them, so each one
  // is a leaf by the time it is destroyed: no flattening, no allocation.
  if (auto* members = value.get_ptr<nlohmann::json::object_t*>()) {
    for (auto& member : *members) VantideDismantleJson(member.second);
    members->clear();
  } else if (auto* elements = value.get_ptr<nlohmann::json::array_t*>()) {
    for (auto& element : *elements) VantideDismantleJson(element);
    elements->clear();
  }
}

}  // namespace van_tide
