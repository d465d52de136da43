#include "legacy/json_object.h"

#include <cstddef>
#include <exception>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace van_tide {

namespace {

using Json = nlohmann::json;

// Builds the document from the library's SAX events, applying the rules as
// each event arrives, in a tree of its own. The library holds no part of the
// tree at any time, so however a parse ends (a refusal, a syntax error or
// memory running out in the middle of it) the only tree left to let go of is
// this one, and it is dismantled first: letting go of it allocates nothing.
//
// Every `false` below stops the parse at once; the document is then refused.
class StrictDocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  // One slot more than the limit: a container with the limit around it may
  // open (it must stay empty), so the stack never grows during the parse.
  StrictDocumentBuilder() { open_.reserve(kVantideMaxJsonDepth + 1); }
  ~StrictDocumentBuilder() { VantideDismantleJson(root_); }
  StrictDocumentBuilder(const StrictDocumentBuilder&) = delete;
  StrictDocumentBuilder& operator=(const StrictDocumentBuilder&) = delete;

  // The document once the parse has succeeded. Whatever it holds when the
  // builder goes is dismantled, so the caller may swap its old value in.
  Json& Document() noexcept { return root_; }

  bool null() { return AddValue(nullptr); }
  bool boolean(bool value) { return AddValue(value); }
  bool number_integer(number_integer_t value) { return AddValue(value); }
  bool number_unsigned(number_unsigned_t value) { return AddValue(value); }
  bool number_float(number_float_t value, const string_t& /*text*/) { return AddValue(value); }
  bool string(string_t& value) { return AddValue(value); }
  // JSON text has no binary values; here for the library's interface only.
  bool binary(binary_t& value) { return AddValue(std::move(value)); }

  bool start_object(std::size_t /*size*/) { return Open(Json::value_t::object); }
  bool start_array(std::size_t /*size*/) { return Open(Json::value_t::array); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(string_t& name) {
    if (TooDeep()) return false;
    // The name arrives with its escapes decoded, so "a" and "\u0061" meet in
    // the same slot, as they should: a slot that is already there is a name
    // given twice.
    auto [slot, added] = open_.back()->get_ref<Json::object_t&>().try_emplace(name);
    if (!added) return false;
    member_ = &slot->second;
    return true;
  }

  static bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                          const Json::exception& /*error*/) {
    return false;
  }

 private:
  // A value or a member name with more containers than the limit around it.
  [[nodiscard]] bool TooDeep() const noexcept {
    return open_.size() > static_cast<std::size_t>(kVantideMaxJsonDepth);
  }

  // Puts `value` where the parse stands: after the innermost array's last
  // element, or into the slot of the member name just read. On a failed
  // allocation nothing is half added: the array is as it was, the slot null.
  template <typename Value>
  Json* Place(Value&& value) {
    Json& container = *open_.back();
    if (container.is_array())
      return &container.get_ref<Json::array_t&>().emplace_back(std::forward<Value>(value));
    *member_ = Json(std::forward<Value>(value));
    return member_;
  }

  template <typename Value>
  bool AddValue(Value&& value) {
    // At the top, anything but an object is refused before it is built.
    if (open_.empty() || TooDeep()) return false;
    Place(std::forward<Value>(value));
    return true;
  }

  bool Open(Json::value_t type) {
    if (open_.empty()) {
      if (type != Json::value_t::object) return false;
      root_ = Json(type);
      open_.push_back(&root_);
      return true;
    }
    if (TooDeep()) return false;
    // Within the reserved capacity: the push allocates nothing.
    open_.push_back(Place(type));
    return true;
  }

  bool Close() noexcept {
    open_.pop_back();
    return true;
  }

  Json root_;
  // The containers open at the current point of the parse, innermost last.
  std::vector<Json*> open_;
  // The slot of the member name just read in the innermost object.
  Json* member_ = nullptr;
};

}  // namespace

bool VantideDecodeJsonObject(std::string_view text, nlohmann::json* out) noexcept {
  if (out == nullptr) return false;
  // The library takes a NUL byte between tokens for the end of the input, so
  // "{}" followed by NUL and anything at all would pass as one object. No JSON
  // text holds a raw NUL anywhere (inside strings it must be escaped), so
  // refusing it up front changes no answer for valid JSON.
  if (text.find('\0') != std::string_view::npos) return false;

  try {
    StrictDocumentBuilder builder;
    // Strict: the object must be all there is, white space aside.
    if (!Json::sax_parse(text, &builder, Json::input_format_t::json, /*strict=*/true,
                         /*ignore_comments=*/false)) {
      return false;
    }
    if (!builder.Document().is_object()) return false;
    // The previous value goes to the builder, which dismantles it.
    out->swap(builder.Document());
    return true;
  } catch (const std::exception&) {
    // Running out of memory anywhere in the parse means the same thing to
    // the caller as any refusal: not a valid object. The builder, and with
    // it the partial tree, is gone by now, dismantled.
    return false;
  }
}

namespace {

// A container's slots, whichever kind it is. Each answer is only asked of a
// container that holds at least one.
bool IsFilledContainer(const Json& value) noexcept { return value.is_structured() && !value.empty(); }

Json& FirstSlot(Json& container) noexcept {
  if (auto* members = container.get_ptr<Json::object_t*>()) return members->begin()->second;
  return container.get_ptr<Json::array_t*>()->front();
}

Json& LastSlot(Json& container) noexcept {
  if (auto* members = container.get_ptr<Json::object_t*>()) return members->rbegin()->second;
  return container.get_ptr<Json::array_t*>()->back();
}

// Only ever asked of a slot that holds a leaf or an empty container, whose
// destruction frees and allocates nothing.
void DropLastSlot(Json& container) noexcept {
  if (auto* members = container.get_ptr<Json::object_t*>()) {
    members->erase(std::prev(members->end()));
  } else {
    container.get_ptr<Json::array_t*>()->pop_back();
  }
}

}  // namespace

void VantideDismantleJson(nlohmann::json& value) noexcept {
  // A tree handed in may be as deep as memory allows, so this walks it with
  // no recursion and no stack of its own: the path back up is kept in the
  // tree itself. `pending` owns the innermost container taken out of the
  // tree; its first slot owns the next one out, and so on, and the outermost
  // one's first slot holds null, where `value` itself takes over. A
  // container taken out gives the child in its first slot to the slot it
  // was taken from, so nothing is lost and nothing needs new room: every
  // step moves a value (which allocates nothing) or destroys a leaf or an
  // empty container (which frees, and allocates nothing). Each container is
  // taken out at most once and each value destroyed once, so the time is
  // linear in the size of the tree.
  // Null to begin with, made by moving rather than by the null constructor,
  // which the static analysis takes for one that may throw.
  Json pending = std::move(value);
  pending.swap(value);
  for (;;) {
    const bool atTop = pending.is_null();
    Json& top = atTop ? value : pending;
    if (atTop ? !IsFilledContainer(top) : top.size() == 1) {
      if (atTop) return;
      // All that is left of the innermost container is the link out.
      Json next = std::move(FirstSlot(pending));
      pending.clear();
      pending = std::move(next);
      continue;
    }
    Json& slot = LastSlot(top);
    Json child = std::move(slot);
    if (!IsFilledContainer(child)) {
      DropLastSlot(top);
      continue;
    }
    slot = std::move(FirstSlot(child));
    FirstSlot(child) = std::move(pending);
    pending = std::move(child);
  }
}

}  // namespace van_tide
