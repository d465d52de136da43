// Documents deeper than the decoder would ever build, for the code that must
// let go of whatever a caller hands it.
#pragma once

#include <nlohmann/json.hpp>

#include <utility>

namespace van_tide::testing {

// Where the way down sits in each container of a deep tree: the library's
// order of members decides which slot is first.
enum class Way { kFirstMember, kLastMember, kMiddleElement, kOnlyElement, kMixed };

// `levels` containers, one inside the other, each with leaves beside the way
// down where there is room; built without recursion.
inline nlohmann::json DeepTree(int levels, Way way) {
  nlohmann::json inner = nlohmann::json::object();
  for (int level = 0; level < levels; ++level) {
    Way here = way;
    if (way == Way::kMixed) here = static_cast<Way>(level % 4);
    nlohmann::json outer;
    switch (here) {
      case Way::kFirstMember:
        outer["a"] = std::move(inner);
        outer["b"] = "leaf";
        break;
      case Way::kLastMember:
        outer["a"] = nlohmann::json::array({1, 2});
        outer["z"] = std::move(inner);
        break;
      case Way::kMiddleElement:
        outer = nlohmann::json::array({true, nullptr});
        outer.push_back(std::move(inner));
        outer.push_back("leaf");
        break;
      default:
        outer = nlohmann::json::array();
        outer.push_back(std::move(inner));
        break;
    }
    inner = std::move(outer);
  }
  return inner;
}

}  // namespace van_tide::testing
