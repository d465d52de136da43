// Writes a store file that holds TOKEN sealed for the current Windows user, as
// a migrated identity would be stored. Used to prepare sample profiles.
//
//   vantide_seal_store.exe TOKEN PATH
//
// PATH's folder must exist; an existing file is never replaced.
#include "platform/win32.h"
#include "store/device_token.h"
#include "store/protected_identity.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: vantide_seal_store TOKEN PATH\n", stderr);
    return 2;
  }
  const std::string token = argv[1];
  if (!van_tide::VantideIsDeviceToken(token)) {
    std::fputs("not a device identity token\n", stderr);
    return 2;
  }
  std::string bytes;
  const HRESULT status = van_tide::VantideSealIdentity(token, &bytes);
  if (status < 0) {
    std::fprintf(stderr, "sealing failed (HRESULT=0x%08lx)\n", static_cast<unsigned long>(status));
    return 1;
  }

  const int length = MultiByteToWideChar(CP_ACP, 0, argv[2], -1, nullptr, 0);
  std::wstring path(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, argv[2], -1, path.data(), length);
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot create %s (error %lu)\n", argv[2],
                 static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) {
    DeleteFileW(path.c_str());
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
