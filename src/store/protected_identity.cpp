#include "store/protected_identity.h"

#include "fs/small_file.h"
#include "platform/handles.h"
#include "platform/status.h"
#include "store/device_token.h"

#include <limits>

namespace van_tide {
namespace {

constexpr wchar_t kBlobDescription[] = L"Vantide license device";

}  // namespace

HRESULT VantideReadProtectedIdentity(const VantideFolder& folder, std::wstring_view name, std::string* token,
                                     bool* missing) {
  std::string bytes;
  const HRESULT readStatus = VantideReadSmallFile(folder, name, &bytes, missing);
  if (readStatus < 0) return readStatus;

  // The blob must hold at least one byte: a bare magic is as damaged as a
  // wrong one.
  if (bytes.size() <= kVantideStoreMagic.size() ||
      std::string_view{bytes}.substr(0, kVantideStoreMagic.size()) != kVantideStoreMagic) {
    return kStatusInvalidData;
  }

  DATA_BLOB sealed{static_cast<DWORD>(bytes.size() - kVantideStoreMagic.size()),
                   reinterpret_cast<BYTE*>(bytes.data() + kVantideStoreMagic.size())};
  DATA_BLOB plain{0, nullptr};
  const BOOL unsealed =
      CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain);
  const HRESULT unsealStatus = unsealed ? kStatusOk : VantideFailureFromLastError();
  const VantideLocalBuffer release(plain.pbData);
  if (unsealStatus < 0) return unsealStatus;

  token->assign(reinterpret_cast<const char*>(plain.pbData), plain.cbData);
  return VantideIsDeviceToken(*token) ? kStatusOk : kStatusInvalidData;
}

HRESULT VantideSealIdentity(const std::string& token, std::string* bytes) {
  // The service takes a 32-bit length; a longer text would be sealed cut short.
  if (token.size() > std::numeric_limits<DWORD>::max()) {
    return VantideFailureFromWin32(ERROR_INVALID_PARAMETER);
  }
  DATA_BLOB plain{static_cast<DWORD>(token.size()), reinterpret_cast<BYTE*>(const_cast<char*>(token.data()))};
  DATA_BLOB sealed{0, nullptr};
  const BOOL protectedOk = CryptProtectData(&plain, kBlobDescription, nullptr, nullptr, nullptr,
                                            CRYPTPROTECT_UI_FORBIDDEN, &sealed);
  const HRESULT sealStatus = protectedOk ? kStatusOk : VantideFailureFromLastError();
  const VantideLocalBuffer release(sealed.pbData);
  if (sealStatus < 0) return sealStatus;

  // Built aside so that `bytes` stays as it was if the copy runs out of memory.
  std::string contents;
  contents.reserve(kVantideStoreMagic.size() + sealed.cbData);
  contents.append(kVantideStoreMagic);
  contents.append(reinterpret_cast<const char*>(sealed.pbData), sealed.cbData);
  *bytes = std::move(contents);
  return kStatusOk;
}

}  // namespace van_tide
