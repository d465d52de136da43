// Handles and sharing: opening a file or folder; reading, writing, flushing
// and closing through a handle, and what a handle tells of its file; the
// handles other processes hold.
//
// - Handles: share modes are checked both ways as on Windows; a folder opens
//   only with FILE_FLAG_BACKUP_SEMANTICS; an open file is moved or deleted
//   only when every handle on it shares deletion (else
//   ERROR_SHARING_VIOLATION).
// - Links: CreateFileW follows a link at the end of the path unless
//   FILE_FLAG_OPEN_REPARSE_POINT is given.
// - Error codes follow Windows: opening a folder without
//   FILE_FLAG_BACKUP_SEMANTICS gives ERROR_ACCESS_DENIED, CREATE_NEW on an
//   existing name ERROR_FILE_EXISTS, a share-mode conflict
//   ERROR_SHARING_VIOLATION.
// - Other processes: HoldOpen keeps a file open with the given access and
//   share mode, uncounted and unrecorded, so that sharing, moves and deletes
//   meet it.
#include "standin/standin.h"

#include "standin/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::standin {
namespace {

// Whether any handle on the machine, the process's own or one another
// process holds, satisfies `test`.
template <typename Test>
bool AnyHandle(Test test) {
  const auto own = [&](const auto& entry) { return test(entry.second); };
  return std::any_of(S().files.begin(), S().files.end(), own) ||
         std::any_of(S().held.begin(), S().held.end(), test);
}

}  // namespace

OpenFile* FindOpenFile(HANDLE handle) {
  const auto found = S().files.find(FromHandle(handle));
  return found == S().files.end() ? nullptr : &found->second;
}

// A new open must allow what every open handle does, and every open handle
// must allow what the new one asks for. Only the rights that touch the data
// count, as in the file system's share check: opens without them (attribute
// queries, a folder opened to list or traverse it) take part in neither
// direction. `access` is the rights the new open is granted.
bool SharingConflict(const Node& node, DWORD access, DWORD share) {
  constexpr DWORD kReads = FILE_READ_DATA | FILE_EXECUTE;
  constexpr DWORD kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA;
  // Folders take no part. Windows holds a folder's list and traverse rights,
  // the same bits, to sharing as well; but the tool opens every folder
  // sharing everything, and the swap sweep holds another process's folders
  // unshared so that only what is read from their files shows.
  if (IsFolder(node) || (access & (kReads | kWrites)) == 0) return false;
  return AnyHandle([&](const OpenFile& open) {
    if (open.node.get() != &node || (open.access & (kReads | kWrites)) == 0) return false;
    return ((access & kReads) != 0 && (open.share & FILE_SHARE_READ) == 0) ||
           ((access & kWrites) != 0 && (open.share & FILE_SHARE_WRITE) == 0) ||
           ((open.access & kReads) != 0 && (share & FILE_SHARE_READ) == 0) ||
           ((open.access & kWrites) != 0 && (share & FILE_SHARE_WRITE) == 0);
  });
}

HANDLE ToHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::uintptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

std::uintptr_t NewHandleValue() {
  const std::uintptr_t value = S().nextHandle;
  S().nextHandle += 4;
  return value;
}

std::wstring HandlePath(HANDLE handle) {
  if (const OpenFile* file = FindOpenFile(handle)) return file->path;
  const auto find = S().finds.find(FromHandle(handle));
  return find == S().finds.end() ? std::wstring() : find->second.path;
}

bool OpenWithoutShare(const Node& node, DWORD share) {
  return AnyHandle(
      [&](const OpenFile& open) { return open.node.get() == &node && (open.share & share) == 0; });
}

bool IsOpen(const Node& node) {
  return AnyHandle([&](const OpenFile& open) { return open.node.get() == &node; });
}

// ---------------------------------------------------------------------------
// Other processes' handles, and the handles left open
// ---------------------------------------------------------------------------

void HoldOpen(std::wstring_view path, DWORD access, DWORD share) {
  const Lookup lookup = LookupPath(SetupLocation(path), true);
  if (lookup.error != ERROR_SUCCESS) {
    throw std::invalid_argument("stand-in: nothing to hold open at " + Narrow(path));
  }
  const DWORD volume = VolumeSerial(lookup.rootKey);
  S().held.push_back(
      OpenFile{lookup.node, std::wstring(path), GrantedAccess(access, false), share, volume, 0, {}, 0, {}});
}

void ReleaseHeld() {
  S().held.clear();
  SettleDeletions();
}

// Windows deletes a file marked for deletion once the last handle to it, any
// process's, is closed; until then its name stays and refuses every open.
void SettleDeletions() {
  std::erase_if(S().pendingDeletions, [](const PendingDeletion& pending) {
    if (!pending.node->deletePending) return true;  // unmarked meanwhile
    if (IsOpen(*pending.node)) return false;
    pending.node->deletePending = false;
    if (FindChild(*pending.parent, pending.node->name) == pending.node)
      Detach(*pending.parent, *pending.node);
    return true;
  });
}

std::size_t OpenHandleCount() { return S().files.size() + S().finds.size(); }

std::size_t InvalidHandleCloses() { return S().invalidHandleCloses; }

std::vector<std::wstring> OpenHandlePaths() {
  std::map<std::uintptr_t, std::wstring> byAge;
  for (const auto& [value, file] : S().files) byAge[value] = file.path;
  for (const auto& [value, find] : S().finds) byAge[value] = find.path;
  std::vector<std::wstring> paths;
  for (auto& [value, path] : byAge) paths.push_back(std::move(path));
  return paths;
}

}  // namespace van_tide::standin

// ---------------------------------------------------------------------------
// The Win32 functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // machine.h and the helpers above

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  Record(Api::CreateFileW, Text(fileName),
         {desiredAccess, shareMode, creationDisposition, flagsAndAttributes});
  if (const Fault* fault = DueFault(Api::CreateFileW, Text(fileName))) {
    return Fail(fault->error, INVALID_HANDLE_VALUE);
  }
  const DWORD granted = GrantedAccess(desiredAccess, true);
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING ||
      (creationDisposition == TRUNCATE_EXISTING && (granted & FILE_WRITE_DATA) == 0)) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  Location location;
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (const DWORD error = ParsePath(fileName, &location); error != ERROR_SUCCESS) {
    return Fail(error, INVALID_HANDLE_VALUE);
  }
  const bool followLast = (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) == 0 || S().handlesFollowLinks;
  Lookup lookup = LookupPath(location, followLast);
  const bool creates = creationDisposition == CREATE_NEW || creationDisposition == CREATE_ALWAYS ||
                       creationDisposition == OPEN_ALWAYS;
  bool existed = true;
  if (lookup.error == ERROR_FILE_NOT_FOUND && creates && lookup.parent != nullptr) {
    if (location.trailingSeparator) return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    if (!IsValidName(lookup.name)) return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    lookup.node = NewNode(Kind::File, lookup.name);
    Insert(*lookup.parent, lookup.node);
    lookup.error = ERROR_SUCCESS;
    existed = false;
  }
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, INVALID_HANDLE_VALUE);
  Node& node = *lookup.node;
  if (existed) {
    if (creationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    if (node.kind == Kind::Folder || node.kind == Kind::FolderLink) {
      if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0 || creationDisposition == CREATE_ALWAYS ||
          creationDisposition == TRUNCATE_EXISTING) {
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      }
    }
    if (Refused(node, granted)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (SharingConflict(node, granted, shareMode)) return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    // Truncation changes the file's size, which the volume logs at once.
    if (creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING) {
      node.bytes.clear();
      node.durable.clear();
    }
  }
  const std::uintptr_t value = NewHandleValue();
  S().files[value] =
      OpenFile{lookup.node, Text(fileName), granted, shareMode, VolumeSerial(lookup.rootKey), 0, {}, 0, {}};
  // A successful open always sets the last error: ERROR_ALREADY_EXISTS when
  // one of the two dispositions that may or may not create met an existing
  // file, else 0.
  const bool mayCreate = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  S().lastError = existed && mayCreate ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return ToHandle(value);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  const CallScope inCall;
  if (Dead()) {
    if (bytesRead != nullptr) *bytesRead = 0;
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Record(Api::ReadFile, HandlePath(file), {bytesToRead});
  const Fault* fault = DueFault(Api::ReadFile, HandlePath(file));
  if (fault != nullptr) {
    if (fault->shortBy == 0) return Fail(fault->error, FALSE);
    bytesToRead = bytesToRead > fault->shortBy ? bytesToRead - fault->shortBy : 0;
  }
  if (bytesRead != nullptr) *bytesRead = 0;
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (bytesRead == nullptr || overlapped != nullptr || (buffer == nullptr && bytesToRead > 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (!HasAccess(*open, AccessUse::kRead)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (IsFolder(*open->node)) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  const std::string& bytes = open->node->bytes;
  const std::size_t available = open->position < bytes.size() ? bytes.size() - open->position : 0;
  const std::size_t count = std::min<std::size_t>(available, bytesToRead);
  if (count > 0) std::memcpy(buffer, bytes.data() + open->position, count);
  open->position += count;
  *bytesRead = static_cast<DWORD>(count);
  if (fault != nullptr && fault->failAfterTransfer) return Fail(fault->error, FALSE);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  const CallScope inCall;
  if (Dead()) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Record(Api::WriteFile, HandlePath(file), {bytesToWrite});
  const Fault* fault = DueFault(Api::WriteFile, HandlePath(file));
  if (fault != nullptr) {
    if (fault->shortBy == 0) return Fail(fault->error, FALSE);
    bytesToWrite = bytesToWrite > fault->shortBy ? bytesToWrite - fault->shortBy : 0;
  }
  if (bytesWritten != nullptr) *bytesWritten = 0;
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (bytesWritten == nullptr || overlapped != nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (!HasAccess(*open, AccessUse::kWrite)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (IsFolder(*open->node)) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  std::string& bytes = open->node->bytes;
  if (bytes.size() < open->position + bytesToWrite) bytes.resize(open->position + bytesToWrite);
  if (bytesToWrite > 0) std::memcpy(bytes.data() + open->position, buffer, bytesToWrite);
  open->position += bytesToWrite;
  *bytesWritten = bytesToWrite;
  // The disk filled part-way: what was written stays written.
  if (fault != nullptr && fault->failAfterTransfer) return Fail(fault->error, FALSE);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::FlushFileBuffers, HandlePath(file));
  if (const Fault* fault = DueFault(Api::FlushFileBuffers, HandlePath(file)))
    return Fail(fault->error, FALSE);
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!HasAccess(*open, AccessUse::kFlush)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  Node& node = *open->node;
  if (node.kind == Kind::File) node.durable = node.bytes;
  // NTFS commits its log with the flush, and every rename of the volume in it.
  std::erase_if(S().pendingMoves, [&](const PendingMove& move) { return move.volume == open->volume; });
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const std::wstring path = HandlePath(object);
  Record(Api::CloseHandle, path);
  if (object == INVALID_HANDLE_VALUE) ++S().invalidHandleCloses;
  const Fault* fault = DueFault(Api::CloseHandle, path);
  const bool known = S().files.erase(FromHandle(object)) != 0;
  SettleDeletions();
  if (fault != nullptr) return Fail(fault->error, FALSE);
  if (!known) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileInformationByHandle, HandlePath(file));
  if (const Fault* fault = DueFault(Api::GetFileInformationByHandle, HandlePath(file))) {
    return Fail(fault->error, FALSE);
  }
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (information == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!HasAccess(*open, AccessUse::kQueryAttributes)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  const Node& node = *open->node;
  *information = BY_HANDLE_FILE_INFORMATION{};
  information->dwFileAttributes = AttributesOf(node);
  information->dwVolumeSerialNumber = node.reportedVolume.value_or(open->volume);
  const auto size = static_cast<std::uint64_t>(node.bytes.size());
  information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  information->nFileSizeLow = static_cast<DWORD>(size);
  information->nNumberOfLinks = 1;
  information->nFileIndexHigh = static_cast<DWORD>(node.index >> 32);
  information->nFileIndexLow = static_cast<DWORD>(node.index);
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileSizeEx, HandlePath(file));
  if (const Fault* fault = DueFault(Api::GetFileSizeEx, HandlePath(file))) return Fail(fault->error, FALSE);
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  size->QuadPart = static_cast<LONGLONG>(open->node->bytes.size());
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const std::wstring path = HandlePath(findFile);
  Record(Api::FindClose, path);
  if (findFile == INVALID_HANDLE_VALUE) ++S().invalidHandleCloses;
  const Fault* fault = DueFault(Api::FindClose, path);
  const bool known = S().finds.erase(FromHandle(findFile)) != 0;
  if (fault != nullptr) return Fail(fault->error, FALSE);
  if (!known) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
