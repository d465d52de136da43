// Any bytes at all as the store file: the read gives one of its defined
// statuses, a good status always carries a valid token, the token is left
// alone whenever nothing was unsealed, and every handle and every buffer of
// the data-protection service is given back.
//
// A mutated blob almost never passes the service's integrity check, so the
// same input is also sealed as the plaintext of a fresh store and read back:
// the unseal must return exactly what was sealed, and the read must accept it
// exactly when it is a token.
#include "fuzz_check.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "store/device_token.h"
#include "store/protected_identity.h"
#include "support/open_folder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using van_tide::kStatusFileTooLarge;
using van_tide::kStatusInvalidData;
using van_tide::kStatusOk;

constexpr wchar_t kStore[] = L"C:\\Users\\me\\AppData\\Roaming\\Vantide\\license-device.dat";
constexpr std::size_t kMaxFile = 65536;
const std::string kUntouched = "untouched";

// The service's own refusals: a damaged blob, and one sealed for another user.
constexpr HRESULT kDamagedBlob = static_cast<HRESULT>(0x8007000DU);
constexpr HRESULT kOtherUsersBlob = static_cast<HRESULT>(0x8009000BU);

bool HasFrame(std::string_view bytes) {
  return bytes.size() > van_tide::kVantideStoreMagic.size() &&
         bytes.substr(0, van_tide::kVantideStoreMagic.size()) == van_tide::kVantideStoreMagic;
}

void CheckNothingHeld() {
  VANTIDE_FUZZ_CHECK(van_tide::standin::OpenHandleCount() == 0);
  VANTIDE_FUZZ_CHECK(van_tide::standin::OutstandingLocalBuffers() == 0);
}

// The store's folder is held while the store is read, as resolution holds it,
// and let go of before anything is checked.
HRESULT ReadStore(std::string_view contents, std::string* token, bool* missing) {
  van_tide::standin::AddFile(kStore, contents);
  *token = kUntouched;
  *missing = false;
  const van_tide::testing::FileInFolder store = van_tide::testing::OpenFolderOf(kStore);
  VANTIDE_FUZZ_CHECK(store.folder.IsOpen());
  return van_tide::VantideReadProtectedIdentity(store.folder, store.name, token, missing);
}

void ReadAsStoreFile(std::string_view input) {
  std::string token;
  bool missing = false;
  const HRESULT status = ReadStore(input, &token, &missing);

  VANTIDE_FUZZ_CHECK_STATUS(status == kStatusOk || status == kStatusInvalidData ||
                                status == kStatusFileTooLarge || status == kDamagedBlob ||
                                status == kOtherUsersBlob,
                            status);
  VANTIDE_FUZZ_CHECK_STATUS((status == kStatusFileTooLarge) == (input.size() > kMaxFile), status);
  VANTIDE_FUZZ_CHECK(!missing);
  if (status == kStatusOk) VANTIDE_FUZZ_CHECK(van_tide::VantideIsDeviceToken(token));
  // Without a frame nothing reaches the service, so nothing can be unsealed.
  if (!HasFrame(input) && input.size() <= kMaxFile) {
    VANTIDE_FUZZ_CHECK_STATUS(status == kStatusInvalidData, status);
    VANTIDE_FUZZ_CHECK(token == kUntouched);
  }
  if (status != kStatusOk && status != kStatusInvalidData) VANTIDE_FUZZ_CHECK(token == kUntouched);
  CheckNothingHeld();
}

void SealAndReadBack(std::string_view input) {
  const std::string plaintext(input);
  std::string sealed;
  const HRESULT sealStatus = van_tide::VantideSealIdentity(plaintext, &sealed);
  VANTIDE_FUZZ_CHECK_STATUS(sealStatus == kStatusOk, sealStatus);
  VANTIDE_FUZZ_CHECK(HasFrame(sealed));
  CheckNothingHeld();

  std::string token;
  bool missing = false;
  const HRESULT status = ReadStore(sealed, &token, &missing);
  VANTIDE_FUZZ_CHECK(!missing);
  if (sealed.size() > kMaxFile) {
    VANTIDE_FUZZ_CHECK_STATUS(status == kStatusFileTooLarge, status);
    VANTIDE_FUZZ_CHECK(token == kUntouched);
  } else {
    const bool isToken = van_tide::VantideIsDeviceToken(plaintext);
    VANTIDE_FUZZ_CHECK_STATUS(status == (isToken ? kStatusOk : kStatusInvalidData), status);
    VANTIDE_FUZZ_CHECK(token == plaintext);
  }
  CheckNothingHeld();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  van_tide::standin::Reset();
  ReadAsStoreFile(input);
  SealAndReadBack(input);
  return 0;
}
