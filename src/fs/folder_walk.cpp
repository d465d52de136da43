#include "fs/folder_walk.h"

#include "platform/status.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace van_tide {

VantideFolder::~VantideFolder() { Reset(nullptr, std::wstring()); }

VantideFolder::VantideFolder(VantideFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), finalPath_(std::move(other.finalPath_)) {}

VantideFolder& VantideFolder::operator=(VantideFolder&& other) noexcept {
  if (this != &other) Reset(std::exchange(other.handle_, nullptr), std::move(other.finalPath_));
  return *this;
}

void VantideFolder::Reset(HANDLE handle, std::wstring finalPath) noexcept {
  // The outcome of the close is ignored: by then the caller's result is fixed.
  if (handle_ != nullptr && handle_ != handle) CloseHandle(handle_);
  handle_ = handle;
  finalPath_ = std::move(finalPath);
}

namespace {

// Why a member is judged twice, and why that holds on Windows and under Wine.
//
// Windows: the open asks for the member itself (FILE_OPEN_REPARSE_POINT), so a
// symbolic link, junction or mount point is opened as what it is, and its
// attributes carry FILE_ATTRIBUTE_REPARSE_POINT: it is refused there and then.
// A handle to the member itself has the member's own path as its final path,
// so the second test below never refuses what the first lets through.
//
// Wine: an open follows a host symbolic link whatever the flags, and the
// handle reads as the target, a plain folder or file; only queries by path
// see the link. The handle's final path, however, names where it really
// leads, which is not the parent's final path followed by the member's name.
// So the second test refuses the link there.
//
// On both, a handle that passes both tests is the entry of that name in the
// folder held above it. Nothing below the walk's start is looked up by path
// again: the tool works through the handles, so a folder swapped for a link
// after the test changes nothing it does. The name is compared without
// regard to case, as the file system compares it. A member written as an 8.3
// short name reaches its long-named entry and is refused as well: the test
// cannot tell it from a link to a sibling.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kTraverseAccess = FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;

constexpr ACCESS_MASK AccessFor(VantideFolderUse use) noexcept {
  return use == VantideFolderUse::kList ? kTraverseAccess | FILE_LIST_DIRECTORY : kTraverseAccess;
}

// A failed call whose last error reads 0 did fail all the same.
DWORD FailedCallError(DWORD error) noexcept {
  return error == ERROR_SUCCESS ? static_cast<DWORD>(kStatusFailedWithoutReason) : error;
}

bool IsMissingError(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The final path of `handle`, as the system names it.
HRESULT FinalPathOf(HANDLE handle, std::wstring* path) {
  std::wstring text(MAX_PATH, L'\0');
  // A path that grows between two calls (a folder above renamed) asks again,
  // a few times at most.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(handle, text.data(), static_cast<DWORD>(text.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return VantideFailureFromLastError();
    if (length < text.size()) {
      text.resize(length);
      *path = std::move(text);
      return kStatusOk;
    }
    text.resize(length);  // the size it asked for, terminating zero included
  }
  return VantideFailureFromWin32(ERROR_INSUFFICIENT_BUFFER);
}

// `child` is `parent` followed by the one member `name`.
bool IsEntryOf(std::wstring_view parent, std::wstring_view name, std::wstring_view child) noexcept {
  if (child.substr(0, parent.size()) != parent) return false;
  std::wstring_view own = child.substr(parent.size());
  if (parent.empty() || parent.back() != L'\\') {
    if (own.empty() || own.front() != L'\\') return false;
    own.remove_prefix(1);
  }
  if (own.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) || own.size() != name.size()) {
    return false;
  }
  return CompareStringOrdinal(own.data(), static_cast<int>(own.size()), name.data(), static_cast<int>(name.size()),
                              TRUE) == CSTR_EQUAL;
}

// The attributes and final path of an opened member: a redirection first, then
// a file where a folder is wanted. Under Wine a link to a file opens as that
// file, so the final path must be looked at before the attributes may say
// "no folder": a file link is a redirection there as much as on Windows.
HRESULT Judge(HANDLE handle, const VantideFolder& parent, std::wstring_view name, bool wantsFolder,
              std::wstring* finalPath) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) return VantideFailureFromLastError();
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;
  const HRESULT status = FinalPathOf(handle, finalPath);
  if (status < 0) return status;
  if (!IsEntryOf(parent.FinalPath(), name, *finalPath)) return kStatusCantAccessFile;
  if (wantsFolder && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return kStatusNotADirectory;
  return kStatusOk;
}

// Opens (or, with FILE_CREATE, creates) the folder `name` below `parent` and
// judges it.
HRESULT OpenMember(const VantideFolder& parent, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
                   VantideFolder* member, bool* missing) {
  // No FILE_DIRECTORY_FILE on an open: a file link there must read as a
  // redirection, which the judgement tells before it tells "no folder".
  const ULONG options = disposition == FILE_CREATE ? FILE_DIRECTORY_FILE : 0;
  HANDLE handle = nullptr;
  const DWORD error = VantideOpenRelative(parent, name, access, kShareAll, disposition, options, &handle);
  if (error != ERROR_SUCCESS) {
    if (missing != nullptr) *missing = IsMissingError(error);
    return VantideFailureFromWin32(error);
  }
  VantideFolder opened;
  opened.Reset(handle, std::wstring());
  std::wstring finalPath;
  const HRESULT status = Judge(handle, parent, name, true, &finalPath);
  if (status < 0) return status;
  opened.Reset(handle, std::move(finalPath));
  *member = std::move(opened);
  return kStatusOk;
}

// The members of `text` from `position` on, one backslash between them.
std::wstring MembersFrom(std::wstring_view text, std::size_t position) {
  std::wstring members;
  while (position < text.size()) {
    while (position < text.size() && VantideIsSeparator(text[position])) ++position;
    const std::size_t begin = position;
    while (position < text.size() && !VantideIsSeparator(text[position])) ++position;
    if (position == begin) break;
    if (!members.empty()) members.push_back(L'\\');
    members.append(text.substr(begin, position - begin));
  }
  return members;
}

// Walks `members` below `from`; `*folder` ends at the deepest member opened.
HRESULT Walk(const VantideFolder& from, std::wstring_view members, VantideFolder* folder, bool* missing,
             std::wstring* rest, VantideFolderUse use, bool creates) {
  const VantideFolder* parent = &from;
  std::size_t position = 0;
  while (position < members.size() && VantideIsSeparator(members[position])) ++position;
  while (position < members.size()) {
    const std::size_t begin = position;
    while (position < members.size() && !VantideIsSeparator(members[position])) ++position;
    const std::wstring_view name = members.substr(begin, position - begin);
    while (position < members.size() && VantideIsSeparator(members[position])) ++position;
    const ACCESS_MASK access = position == members.size() ? AccessFor(use) : kTraverseAccess;

    VantideFolder member;
    bool memberMissing = false;
    HRESULT status = OpenMember(*parent, name, access, creates ? FILE_CREATE : FILE_OPEN, &member, &memberMissing);
    // Made by someone else since it was found missing: judged as found.
    if (creates && status == VantideFailureFromWin32(ERROR_FILE_EXISTS)) {
      status = OpenMember(*parent, name, access, FILE_OPEN, &member, &memberMissing);
    }
    if (status < 0) {
      if (missing != nullptr) *missing = memberMissing;
      if (memberMissing && rest != nullptr) *rest = MembersFrom(members, begin);
      return status;
    }
    *folder = std::move(member);
    parent = folder;
  }
  return kStatusOk;
}

}  // namespace

DWORD VantideOpenRelative(const VantideFolder& folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, HANDLE* file) {
  *file = nullptr;
  // A counted string of bytes: a name too long for it is no name the file
  // system could hold.
  if (name.size() > std::numeric_limits<USHORT>::max() / sizeof(wchar_t)) return ERROR_INVALID_NAME;
  UNICODE_STRING text{};
  text.Buffer = const_cast<PWSTR>(name.data());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder.Handle(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) {
    *file = handle;
    return ERROR_SUCCESS;
  }
  if (status == STATUS_OBJECT_NAME_COLLISION && disposition == FILE_CREATE) return ERROR_FILE_EXISTS;
  return FailedCallError(RtlNtStatusToDosError(status));
}

HRESULT VantideCheckFileReached(const VantideFolder& folder, std::wstring_view name, HANDLE file) {
  std::wstring finalPath;
  return Judge(file, folder, name, false, &finalPath);
}

HRESULT VantideOpenFolderPath(const Path& path, VantideFolder* folder, bool* missing, std::wstring* rest,
                              VantideFolderUse use) {
  const std::wstring_view view{path};
  const std::size_t startLength = VantideWalkStartLength(view);
  // A relative path would start wherever the current folder happens to be.
  if (startLength == 0 || !VantideIsAbsolutePath(path)) return kStatusInvalidName;
  const Path start{view.substr(0, startLength)};
  const std::wstring_view members = view.substr(startLength);
  const ACCESS_MASK access = MembersFrom(members, 0).empty() ? AccessFor(use) : kTraverseAccess;

  // The root of a drive or share: nothing above it could be swapped.
  const HANDLE handle =
      CreateFileW(start.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = FailedCallError(GetLastError());
    if (missing != nullptr) *missing = IsMissingError(error);
    if (IsMissingError(error) && rest != nullptr) *rest = MembersFrom(members, 0);
    return VantideFailureFromWin32(error);
  }
  VantideFolder root;
  root.Reset(handle, std::wstring());
  std::wstring finalPath;
  const HRESULT status = FinalPathOf(handle, &finalPath);
  if (status < 0) return status;
  root.Reset(root.Handle(), std::move(finalPath));

  VantideFolder reached;
  bool memberMissing = false;
  const HRESULT walked = Walk(root, members, &reached, &memberMissing, rest, use, false);
  if (walked < 0 && missing != nullptr) *missing = memberMissing;
  // Missing at the first member: the deepest folder that exists is the root.
  *folder = reached.IsOpen() ? std::move(reached) : std::move(root);
  return walked;
}

HRESULT VantideOpenFolderBelow(const VantideFolder& from, std::wstring_view members, VantideFolder* folder,
                               bool* missing, std::wstring* rest, VantideFolderUse use) {
  return Walk(from, members, folder, missing, rest, use, false);
}

HRESULT VantideCreateFoldersBelow(const VantideFolder& from, std::wstring_view members, VantideFolder* folder) {
  return Walk(from, members, folder, nullptr, nullptr, VantideFolderUse::kTraverse, true);
}

}  // namespace van_tide
