// Any bytes at all as a legacy identity file in a plain folder: the read gives
// one of its defined statuses and nothing else, a good status always carries a
// valid token, the file is never taken for absent, nothing stays open, and a
// well-formed file is never refused.
#include "fuzz_check.h"
#include "legacy/json_object.h"
#include "legacy/legacy_identity_file.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/device_token.h"
#include "support/open_folder.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using nlohmann::json;
using van_tide::kStatusFileTooLarge;
using van_tide::kStatusInvalidData;
using van_tide::kStatusOk;

constexpr wchar_t kFile[] =
    L"C:\\Users\\me\\AppData\\Roaming\\Adobe\\UXP\\PluginsStorage\\PHSP\\entry"
    L"\\External\\com.greywick.van-tide\\PluginData\\license-device.json";

// What a plain parse says the file names, read through the library's own
// accessors: the token when "version" is the integer 1 and "public_key" a
// token; empty otherwise.
std::string PlainReading(const json& document) {
  const auto version = document.find("version");
  const auto key = document.find("public_key");
  if (version == document.end() || key == document.end()) return {};
  const bool versionOne = (version->is_number_unsigned() && version->get<std::uint64_t>() == 1) ||
                          (version->is_number_integer() && version->get<std::int64_t>() == 1);
  if (!versionOne || !key->is_string()) return {};
  const std::string token = key->get<std::string>();
  return van_tide::VantideIsDeviceToken(token) ? token : std::string{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  van_tide::standin::Reset();
  van_tide::standin::AddFile(kFile, bytes);

  std::string token;
  bool missing = false;
  HRESULT status = 0;
  {
    // The folder is held while its file is read, as the scan holds it.
    const van_tide::testing::FileInFolder file = van_tide::testing::OpenFolderOf(kFile);
    VANTIDE_FUZZ_CHECK(file.folder.IsOpen());
    status = van_tide::VantideReadLegacyIdentityFile(file.folder, file.name, &token, &missing);
  }

  VANTIDE_FUZZ_CHECK_STATUS(
      status == kStatusOk || status == kStatusInvalidData || status == kStatusFileTooLarge, status);
  VANTIDE_FUZZ_CHECK_STATUS((status == kStatusFileTooLarge) == (size > 65536), status);
  VANTIDE_FUZZ_CHECK_STATUS(size != 0 || status == kStatusInvalidData, status);
  VANTIDE_FUZZ_CHECK(!missing);
  VANTIDE_FUZZ_CHECK(van_tide::standin::OpenHandleCount() == 0);
  VANTIDE_FUZZ_CHECK(van_tide::standin::OutstandingLocalBuffers() == 0);

  if (size == 0 || size > 65536) return 0;
  // Whether the text is one object under the decoding rules is the decoder's
  // own question (it has a fuzz target of its own); given its answer, the
  // file's verdict must match what the library's plain accessors read.
  json document;
  const bool decoded = van_tide::VantideDecodeJsonObject(bytes, &document);
  const std::string expected = decoded ? PlainReading(document) : std::string{};
  if (status == kStatusOk) {
    VANTIDE_FUZZ_CHECK(van_tide::VantideIsDeviceToken(token));
    VANTIDE_FUZZ_CHECK(token == expected);
  } else {
    VANTIDE_FUZZ_CHECK_STATUS(expected.empty(), status);
  }
  return 0;
}
