#include "legacy/legacy_identity_file.h"

#include "fs/small_file.h"
#include "legacy/json_object.h"
#include "platform/status.h"
#include "store/device_token.h"

#include <cstdint>
#include <new>
#include <string_view>

namespace van_tide {
namespace {

constexpr char kVersionMember[] = "version";
constexpr char kTokenMember[] = "public_key";

// Only the bare number 1 will do. The library keeps a number written without
// fraction or exponent as an integer (signed when it has a minus sign), and
// everything else as floating point, so 1.0, 1e0 and -0 all fall out here.
bool IsVersionOne(const nlohmann::json* version) noexcept {
  if (version == nullptr) return false;
  if (version->is_number_unsigned()) {
    return *version->get_ptr<const nlohmann::json::number_unsigned_t*>() == 1;
  }
  if (version->is_number_integer()) {
    return *version->get_ptr<const nlohmann::json::number_integer_t*>() == 1;
  }
  return false;
}

}  // namespace

const nlohmann::json* VantideFindJsonMember(const nlohmann::json& value, const char* name) noexcept {
  const auto* members = value.get_ptr<const nlohmann::json::object_t*>();
  if (name == nullptr || members == nullptr) return nullptr;
  // The member map compares transparently, so the lookup needs no copy of
  // the name and cannot run out of memory.
  const auto found = members->find(std::string_view{name});
  return found == members->end() ? nullptr : &found->second;
}

HRESULT VantideReadLegacyIdentityFile(const VantideFolder& folder, std::wstring_view name, std::string* token,
                                      bool* missing) {
  if (token == nullptr) return VantideFailureFromWin32(ERROR_INVALID_PARAMETER);

  std::string bytes;
  const HRESULT status = VantideReadSmallFile(folder, name, &bytes, missing);
  if (status < 0) return status;

  nlohmann::json document;
  const VantideJsonDismantler dismantle(document);
  if (!VantideDecodeJsonObject(bytes, &document)) return kStatusInvalidData;
  if (!IsVersionOne(VantideFindJsonMember(document, kVersionMember))) return kStatusInvalidData;

  const nlohmann::json* member = VantideFindJsonMember(document, kTokenMember);
  const auto* text = member == nullptr ? nullptr : member->get_ptr<const nlohmann::json::string_t*>();
  if (text == nullptr) return kStatusInvalidData;

  try {
    *token = *text;
  } catch (const std::bad_alloc&) {
    // Past the decoding nothing else raises; report the copy's failure the
    // way the rest of the system reports running out of memory.
    return kStatusOutOfMemory;
  }
  // The check applies to the unescaped text, exactly as the plug-in wrote it:
  // nothing is trimmed and no case is changed.
  return VantideIsDeviceToken(*token) ? kStatusOk : kStatusInvalidData;
}

}  // namespace van_tide
