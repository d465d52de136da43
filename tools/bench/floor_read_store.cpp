// The least a store-present run can do with the real API: read
// %APPDATA%\Vantide\license-device.dat whole and unseal what follows the
// store's 16-byte magic. A floor for timing the whole process of
// vantide-identity.exe (scripts/bench-process.sh): no checks beyond those
// without which it would not work. Exits 0 when the blob unseals.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

namespace {

constexpr DWORD kMagicLength = 16;

}  // namespace

int main() {
  wchar_t path[MAX_PATH + 64];
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  lstrcpyW(path + length, L"\\Vantide\\license-device.dat");

  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  static BYTE bytes[4096];
  DWORD read = 0;
  const BOOL readOk = ReadFile(file, bytes, sizeof bytes, &read, nullptr);
  CloseHandle(file);
  if (!readOk || read <= kMagicLength) return 4;

  DATA_BLOB sealed{read - kMagicLength, bytes + kMagicLength};
  DATA_BLOB plain{0, nullptr};
  if (!CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain)) {
    return 5;
  }
  LocalFree(plain.pbData);
  return 0;
}
