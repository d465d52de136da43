// The least a first migration can do with the real API: read one legacy
// identity file (its path is the first argument) whole, take the token out of
// "public_key" with a plain search, seal it and write
// %APPDATA%\Vantide\license-device.dat as the tool does (magic, then the blob;
// flushed before it is closed). A floor for timing the whole process of
// vantide-identity.exe (scripts/bench-process.sh): no checks beyond those
// without which it would not work. Exits 0 when the store was written.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

namespace {

constexpr char kMagic[] = "VANTIDE-DPAPI-1\n";
constexpr DWORD kMagicLength = sizeof kMagic - 1;
constexpr char kKey[] = "\"public_key\"";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  wchar_t legacyPath[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, legacyPath, MAX_PATH) == 0) return 2;

  const HANDLE legacy =
      CreateFileW(legacyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (legacy == INVALID_HANDLE_VALUE) return 3;
  static char text[4097];
  DWORD read = 0;
  const BOOL readOk = ReadFile(legacy, text, sizeof text - 1, &read, nullptr);
  CloseHandle(legacy);
  if (!readOk) return 3;
  text[read] = '\0';

  // The value is the first string after the key.
  const char* key = std::strstr(text, kKey);
  if (key == nullptr) return 4;
  const char* begin = std::strchr(key + sizeof kKey - 1, '"');
  if (begin == nullptr) return 4;
  ++begin;
  const char* end = std::strchr(begin, '"');
  if (end == nullptr) return 4;

  DATA_BLOB plain{static_cast<DWORD>(end - begin), reinterpret_cast<BYTE*>(const_cast<char*>(begin))};
  DATA_BLOB sealed{0, nullptr};
  if (!CryptProtectData(&plain, L"Vantide license device", nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &sealed)) {
    return 5;
  }

  wchar_t path[MAX_PATH + 64];
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  lstrcpyW(path + length, L"\\Vantide");
  if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return 6;
  lstrcatW(path, L"\\license-device.dat");

  const HANDLE store =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (store == INVALID_HANDLE_VALUE) return 7;
  DWORD written = 0;
  BOOL ok = WriteFile(store, kMagic, kMagicLength, &written, nullptr);
  ok = ok && WriteFile(store, sealed.pbData, sealed.cbData, &written, nullptr);
  ok = ok && FlushFileBuffers(store);
  ok = CloseHandle(store) && ok;
  LocalFree(sealed.pbData);
  return ok ? 0 : 8;
}
