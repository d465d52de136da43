#include "fs/small_file.h"

#include "platform/handles.h"
#include "platform/status.h"

#include <string>

namespace van_tide {

HRESULT VantideReadSmallFile(const VantideFolder& folder, std::wstring_view name, std::string* bytes,
                             bool* missing) {
  // Readers may share the file; writers and deleters wait until we are done.
  // A folder at the name fails the open as access denied.
  HANDLE opened = nullptr;
  const DWORD error = VantideOpenRelative(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                          FILE_NON_DIRECTORY_FILE, &opened);
  if (error != ERROR_SUCCESS) {
    if (missing != nullptr) {
      *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return VantideFailureFromWin32(error);
  }
  const VantideFileHandle file(opened);
  std::wstring pathOnVolume;
  pathOnVolume.reserve(VantideFileCheckBufferSize(folder, name));
  const HRESULT reached = VantideCheckFileReached(folder, name, file.Get(), &pathOnVolume);
  if (reached < 0) return reached;

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) return VantideFailureFromLastError();
  if (size.QuadPart > kVantideMaxSmallFileSize) return kStatusFileTooLarge;
  if (size.QuadPart <= 0) return kStatusInvalidData;

  const auto length = static_cast<DWORD>(size.QuadPart);
  bytes->assign(length, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), bytes->data(), length, &read, nullptr)) return VantideFailureFromLastError();
  if (read != length) return kStatusHandleEof;
  // Judged again now that the bytes are in: where an open may have followed
  // a link swapped in and out meanwhile (Wine), the window closes here.
  return VantideCheckFileReached(folder, name, file.Get(), &pathOnVolume);
}

}  // namespace van_tide
