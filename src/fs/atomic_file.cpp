#include "fs/atomic_file.h"

#include "platform/status.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace van_tide {
namespace {

// A failed call whose last error reads 0 did fail; handing on 0 would read as
// success. E_FAIL as a code maps to itself as a status.
constexpr DWORD kFailedWithoutReasonCode = static_cast<DWORD>(kStatusFailedWithoutReason);

DWORD LastErrorOfFailedCall() noexcept {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? kFailedWithoutReasonCode : error;
}

// Errors that only say "not there (yet)": a folder above failed to appear, and
// the steps below it fail for that reason alone. They do not hide an error
// that says why.
bool IsNotFoundKind(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

// One folder of the chain: 0 when it exists as a folder afterwards.
DWORD CreateOneFolder(const Path& prefix) {
  if (CreateDirectoryW(prefix.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = LastErrorOfFailedCall();
  if (error != ERROR_ALREADY_EXISTS) return error;
  // Something is there already. A folder, or a link or junction to one (which
  // carries the folder bit), will do; the chain check before the creation has
  // already decided whether links are acceptable here.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(prefix.c_str(), GetFileExInfoStandard, &data)) return LastErrorOfFailedCall();
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

}  // namespace

DWORD VantideCreateDirectoryChain(const Path& dir) {
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;

  const std::wstring_view view{dir};
  std::size_t position = VantideWalkStartLength(view);
  Path prefix;
  prefix.reserve(dir.size());

  // Every folder is attempted, from the top down, even after a failure: a
  // folder above may refuse creation (access denied on a parent that exists,
  // say) while the folders below it still exist or can be made.
  DWORD lastError = ERROR_SUCCESS;
  DWORD telling = ERROR_SUCCESS;  // the most recent error that says why
  while (position < view.size()) {
    while (position < view.size() && VantideIsSeparator(view[position])) ++position;
    if (position == view.size()) break;
    while (position < view.size() && !VantideIsSeparator(view[position])) ++position;
    // Exactly as written: separators are neither converted nor collapsed.
    prefix.assign(view.substr(0, position));
    lastError = CreateOneFolder(prefix);
    if (lastError != ERROR_SUCCESS && !IsNotFoundKind(lastError)) telling = lastError;
  }

  if (lastError == ERROR_SUCCESS) return ERROR_SUCCESS;
  return telling != ERROR_SUCCESS ? telling : lastError;
}

HRESULT VantideCreateFileAtomically(const Path& path, std::string_view contents) {
  const DWORD folderError = VantideCreateDirectoryChain(VantideParentPath(path));
  if (folderError != ERROR_SUCCESS) return VantideFailureFromWin32(folderError);

  Path temporary;
  temporary.reserve(path.size() + 4);
  temporary.append(path).append(L".tmp");

  // CREATE_NEW: a temporary file that is already there belongs to another run,
  // finished or not, and is never touched. Share mode 0 keeps everyone else
  // out while the contents are incomplete. A link planted at the temporary
  // name is met as the link itself, which exists, so the store is never
  // written through it to wherever it leads, and never moved into place as a
  // link.
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return VantideFailureFromLastError();

  // From here on the temporary file is ours, and every failure removes it. The
  // first failure decides the status.
  HRESULT status = kStatusOk;
  if (contents.size() > std::numeric_limits<DWORD>::max()) {
    status = kStatusWriteFault;  // one write call cannot take it
  } else {
    const auto length = static_cast<DWORD>(contents.size());
    DWORD written = 0;
    if (!WriteFile(file, contents.data(), length, &written, nullptr)) {
      status = VantideFailureFromLastError();
    } else if (written != length) {
      status = kStatusWriteFault;
    }
  }
  // On disk before the name appears: a crash after the move must never leave
  // a store that exists but is incomplete.
  if (status >= 0 && !FlushFileBuffers(file)) status = VantideFailureFromLastError();
  if (!CloseHandle(file) && status >= 0) status = VantideFailureFromLastError();

  if (status >= 0) {
    // No MOVEFILE_REPLACE_EXISTING: a target that appeared meanwhile wins and
    // stays as it is. Write-through: the new name is on disk before success is
    // reported.
    if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return kStatusOk;
    status = VantideFailureFromLastError();
  }
  DeleteFileW(temporary.c_str());
  return status;
}

}  // namespace van_tide
