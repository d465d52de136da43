#include "fs/small_file.h"

#include "platform/handles.h"
#include "platform/status.h"

namespace van_tide {

HRESULT VantideReadSmallFile(const Path& path, std::string* bytes, bool* missing) {
  // The reparse flag opens a link itself instead of its target, so the
  // attribute test below sees the link and nothing redirected is ever read.
  // Readers may share the file; writers and deleters wait until we are done.
  VantideFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (missing != nullptr) {
      *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return VantideFailureFromWin32(error);
  }

  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.Get(), &information)) return VantideFailureFromLastError();
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) return VantideFailureFromLastError();
  if (size.QuadPart > kVantideMaxSmallFileSize) return kStatusFileTooLarge;
  if (size.QuadPart <= 0) return kStatusInvalidData;

  const auto length = static_cast<DWORD>(size.QuadPart);
  bytes->assign(length, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), bytes->data(), length, &read, nullptr)) return VantideFailureFromLastError();
  if (read != length) return kStatusHandleEof;
  return kStatusOk;
}

}  // namespace van_tide
