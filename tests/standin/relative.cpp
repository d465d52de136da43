// Work through folder handles: opening and creating a name relative to an
// open folder (NtCreateFile), listing a folder through its handle
// (GetFileInformationByHandleEx), the final path of a handle
// (GetFinalPathNameByHandleW), renaming and deleting by handle
// (NtSetInformationFile), and the native layer's status codes.
//
// - A relative name is one member, reached exactly as written (the empty name
//   opens the folder itself anew, as ReOpenFile does): no separator,
//   no trailing period or blank removed, no DOS device. It is matched without
//   regard to case (OBJ_CASE_INSENSITIVE; without it the stand-in still
//   ignores case, as every name here does) and by its short name as well.
//   An empty name, "." or "..", a separator or a character NTFS refuses in a
//   name (a colon included: the stand-in keeps no streams) is
//   STATUS_OBJECT_NAME_INVALID.
// - Links: with FILE_OPEN_REPARSE_POINT the handle is the link itself, whose
//   attributes carry FILE_ATTRIBUTE_REPARSE_POINT, as on Windows; without it
//   the link is followed. SetHandlesFollowLinks(true) models Wine instead: the
//   open follows the link whatever the flags, and the handle reads as its
//   target, attributes and final path alike, and its final path is found
//   anew from the path it was opened by at each query.
// - A failed call returns an NTSTATUS; RtlNtStatusToDosError gives the Win32
//   code back. A planned fault's Win32 error becomes the NTSTATUS that maps
//   to it (0xC007xxxx, the "Win32 error" facility, where no native status
//   does), so a test plans faults for these calls as for any other.
// - Final paths name the item as the tree holds it (under
//   SetHandlesFollowLinks, as Wine does: what the path the handle was opened
//   by leads to when asked): "\\?\C:\Users\me",
//   "\\?\UNC\server\share\x", a drive's root with its backslash; the long
//   names, in the case they were created with. An item no longer in the tree
//   has none (ERROR_FILE_NOT_FOUND). A handle's name (FileNameInfo, the path
//   on its volume) is the same but for 8.3 short names: an item reached by
//   its short name through a relative open is named by it, as NTFS names it,
//   and so, with ShortNamesInNames::kWholeChain, are the folders above that
//   the chain of relative opens reached by theirs (never under
//   SetHandlesFollowLinks: Wine names every item by its long name).
// - A rename by handle follows MoveFileExW without MOVEFILE_WRITE_THROUGH: it
//   is pending until a flush on the volume. Deletion by handle
//   (FileDispositionInformation) only marks the file: its name stays, listed,
//   and refuses every open and every rename (STATUS_DELETE_PENDING, which
//   reads as ERROR_ACCESS_DENIED) until the last handle to it, any process's,
//   closes; then it goes. Unlike DeleteFileW, which takes POSIX semantics on
//   NTFS, the old information class keeps Windows' classic semantics.
// - Listing through a handle gives the entries as the first call found them,
//   "." and ".." as SetDotEntries says (never at a root), as many per call as
//   fit the buffer; an empty folder's first call fails with
//   ERROR_FILE_NOT_FOUND, later ones with ERROR_NO_MORE_FILES. A link's entry
//   carries the reparse bit and, under SetHandlesFollowLinks, its target's
//   file index rather than its own, as Wine's does.
#include "standin/standin.h"

#include "platform/win32.h"
#include "standin/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::standin {
namespace {

// Native statuses and the Win32 codes they map to. Where several statuses
// map to one code, the first one listed is what a fault of that code gives.
struct StatusMapping {
  NTSTATUS status;
  DWORD error;
};

constexpr StatusMapping kStatusMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
    {STATUS_NOT_SAME_DEVICE, ERROR_NOT_SAME_DEVICE},
    {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY},
    {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
    {STATUS_REPARSE_POINT_NOT_RESOLVED, ERROR_CANT_RESOLVE_FILENAME},
};

constexpr NTSTATUS kWin32Facility = static_cast<NTSTATUS>(0xC0070000U);

NTSTATUS StatusOfError(DWORD error) {
  for (const StatusMapping& mapping : kStatusMappings) {
    if (mapping.error == error && mapping.status != STATUS_SUCCESS) return mapping.status;
  }
  return static_cast<NTSTATUS>(static_cast<DWORD>(kWin32Facility) | (error & 0xFFFFU));
}

// Where `node` stands in the tree: the key of its root, the folder holding it
// and the names from the root down. False when it is in no folder any more.
struct Place {
  std::wstring rootKey;
  NodePtr parent;
  std::vector<std::wstring> names;
  std::vector<const Node*> nodes;  // the items `names` name
};

bool Locate(const Node& node, Place* place) {
  place->parent = nullptr;
  place->names.clear();
  place->nodes.clear();
  const Node* top = &node;
  for (NodePtr folder = node.parent.lock(); folder != nullptr; folder = folder->parent.lock()) {
    if (place->parent == nullptr) place->parent = folder;
    place->names.push_back(top->name);
    place->nodes.push_back(top);
    top = folder.get();
  }
  std::reverse(place->names.begin(), place->names.end());
  std::reverse(place->nodes.begin(), place->nodes.end());
  for (const auto& [key, root] : S().roots) {
    if (root.get() != top) continue;
    place->rootKey = key;
    return true;
  }
  return false;
}

// The one member a relative open names, when it is one the file system takes.
bool IsMemberName(std::wstring_view name) {
  return !name.empty() && name != L"." && name != L".." && IsValidName(name) &&
         name.find(L'\\') == std::wstring_view::npos;
}

std::wstring NameOf(const UNICODE_STRING* text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

std::wstring JoinedPath(const std::wstring& folder, std::wstring_view name) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
  return path.append(name);
}

// A folder handle for a relative operation: the open folder itself, never a
// link that was opened as one.
const OpenFile* FolderOf(HANDLE handle) {
  const OpenFile* open = FindOpenFile(handle);
  return open != nullptr && IsFolder(*open->node) ? open : nullptr;
}

bool InTree(const Node& node) {
  Place place;
  return Locate(node, &place);
}

// The path a handle's item has: Windows names the item the handle holds;
// Wine resolves, when asked, the path the handle was opened by. With
// `withVolume` "\\?\C:\x" or "\\?\UNC\server\share\x", else the path on the
// volume, "\\x" (a share's given as "\\server\share\x", as a redirector does).
DWORD NameOf(const OpenFile& open, bool withVolume, std::wstring* text) {
  NodePtr named = open.node;
  if (S().handlesFollowLinks) {
    Location location;
    if (ParsePath(open.path, &location) != ERROR_SUCCESS) return ERROR_PATH_NOT_FOUND;
    const Lookup lookup = LookupPath(location, true);
    if (lookup.error != ERROR_SUCCESS) return lookup.error;
    named = lookup.node;
  }
  Place place;
  if (!Locate(*named, &place)) return ERROR_FILE_NOT_FOUND;
  const Node& root = *S().roots.at(place.rootKey);
  const bool drive = HasDriveDesignator(root.name);
  if (withVolume) {
    *text = drive ? L"\\\\?\\" + root.name + L"\\" : L"\\\\?\\UNC" + root.name.substr(1);
  } else {
    *text = drive ? L"\\" : root.name.substr(1);  // a share's root "\\server\share" gives "\server\share"
  }
  for (std::size_t i = 0; i < place.names.size(); ++i) {
    if (text->back() != L'\\') text->push_back(L'\\');
    // The handle's own name, not the final path, keeps the short names it
    // was reached by.
    const Node& item = *place.nodes[i];
    const bool keptShort = !withVolume && !S().handlesFollowLinks && !item.alias.empty() &&
                           std::any_of(open.shortNamed.begin(), open.shortNamed.end(),
                                       [&](const NodePtr& reached) { return reached.get() == &item; });
    *text += keptShort ? item.alias : place.names[i];
  }
  return ERROR_SUCCESS;
}

// The file index a listing gives `node`. A link lists with its own, as on
// Windows; with handles as Wine gives them, with its target's, the very index
// a handle through it holds (a link to nothing keeps its own). The reparse bit
// tells a link either way.
std::uint64_t ListedId(const Node& node) {
  if (!S().handlesFollowLinks || !IsLink(node)) return node.index;
  Location location;
  if (ParsePath(node.target, &location) != ERROR_SUCCESS) return node.index;
  const Lookup target = LookupPath(location, true);
  return target.error == ERROR_SUCCESS ? target.node->index : node.index;
}

// The folders that a relative open of `name` in `folder`, reaching `node`,
// went through by their short names, as the new handle's name keeps them.
std::vector<NodePtr> ShortNamesReached(const OpenFile& folder, std::wstring_view name, const NodePtr& node) {
  // The folder itself anew: named as the handle it was opened relative to.
  if (name.empty()) return folder.shortNamed;
  std::vector<NodePtr> reached;
  if (S().shortNamesInNames == ShortNamesInNames::kWholeChain) reached = folder.shortNamed;
  const bool byShortName =
      !node->alias.empty() && Upper(name) == node->alias && node->parent.lock() == folder.node;
  if (byShortName && ChildKey(*folder.node, name) != ChildKey(*folder.node, node->name))
    reached.push_back(node);
  return reached;
}

}  // namespace

void SetHandlesFollowLinks(bool follow) { S().handlesFollowLinks = follow; }
void SetShortNamesInNames(ShortNamesInNames names) { S().shortNamesInNames = names; }

}  // namespace van_tide::standin

// The stand-in's model of Wine is the one that works by path.
bool van_tide::platform::WorksByPath() noexcept { return van_tide::standin::S().handlesFollowLinks; }

// ---------------------------------------------------------------------------
// The Win32 and native functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // machine.h and the helpers above

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  for (const StatusMapping& mapping : kStatusMappings) {
    if (mapping.status == status) return mapping.error;
  }
  if ((static_cast<DWORD>(status) & 0xFFFF0000U) == static_cast<DWORD>(kWin32Facility)) {
    return static_cast<DWORD>(status) & 0xFFFFU;
  }
  return 317;  // ERROR_MR_MID_NOT_FOUND: no Win32 code for this status
}

NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER, ULONG, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID, ULONG) {
  const CallScope inCall;
  if (Dead()) return STATUS_INVALID_HANDLE;
  const HANDLE root = objectAttributes == nullptr ? nullptr : objectAttributes->RootDirectory;
  const std::wstring name =
      objectAttributes == nullptr ? std::wstring() : NameOf(objectAttributes->ObjectName);
  // The empty name opens the folder itself anew.
  const std::wstring path = name.empty() ? HandlePath(root) : JoinedPath(HandlePath(root), name);
  Record(Api::NtCreateFile, path, {desiredAccess, shareAccess, createDisposition, createOptions});
  if (const Fault* fault = DueFault(Api::NtCreateFile, path)) return StatusOfError(fault->error);
  if (fileHandle == nullptr || ioStatusBlock == nullptr || objectAttributes == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *fileHandle = nullptr;
  if ((createDisposition != FILE_OPEN && createDisposition != FILE_CREATE) ||
      ((createOptions & FILE_DIRECTORY_FILE) != 0 && (createOptions & FILE_NON_DIRECTORY_FILE) != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  // Only opens relative to a folder are modelled: the tool opens its starting
  // folder by path and everything below it this way.
  if (FindOpenFile(root) == nullptr) return STATUS_INVALID_HANDLE;
  const OpenFile* folder = FolderOf(root);
  if (folder == nullptr) return STATUS_INVALID_PARAMETER;
  if (!name.empty() && !IsMemberName(name)) return STATUS_OBJECT_NAME_INVALID;

  NodePtr node = name.empty() ? folder->node : FindChild(*folder->node, name);
  if (name.empty() && node->reopensAs.lock() != nullptr) node = node->reopensAs.lock();
  const bool wantsFolder = (createOptions & FILE_DIRECTORY_FILE) != 0;
  if (node == nullptr) {
    if (createDisposition == FILE_OPEN) return STATUS_OBJECT_NAME_NOT_FOUND;
    // A folder that is gone from the tree (deleted while open) takes no new
    // names.
    if (!InTree(*folder->node) || folder->node->deletePending) return STATUS_DELETE_PENDING;
    node = NewNode(wantsFolder ? Kind::Folder : Kind::File, name);
    Insert(*folder->node, node);
  } else {
    if (node->deletePending) return STATUS_DELETE_PENDING;
    if (createDisposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    const bool followLast = (createOptions & FILE_OPEN_REPARSE_POINT) == 0 || S().handlesFollowLinks;
    if (followLast && IsLink(*node)) {
      Location location;
      if (ParsePath(node->target, &location) != ERROR_SUCCESS) return STATUS_OBJECT_PATH_NOT_FOUND;
      // A missing target reads as a missing member, as it does where the
      // link is followed by path.
      const Lookup target = LookupPath(location, true);
      if (target.error != ERROR_SUCCESS) return StatusOfError(target.error);
      node = target.node;
    }
    const bool isFolder = (AttributesOf(*node) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (wantsFolder && !isFolder) return STATUS_NOT_A_DIRECTORY;
    if ((createOptions & FILE_NON_DIRECTORY_FILE) != 0 && isFolder) return STATUS_FILE_IS_A_DIRECTORY;
    if (Refused(*node, GrantedAccess(desiredAccess, false))) return STATUS_ACCESS_DENIED;
    if (SharingConflict(*node, GrantedAccess(desiredAccess, false), shareAccess))
      return STATUS_SHARING_VIOLATION;
  }
  const std::uintptr_t value = NewHandleValue();
  OpenFile opened{node, path, GrantedAccess(desiredAccess, false), shareAccess, folder->volume, 0, {}, 0, {}};
  opened.shortNamed = ShortNamesReached(*folder, name, node);
  S().files[value] = std::move(opened);
  *fileHandle = ToHandle(value);
  ioStatusBlock->Status = STATUS_SUCCESS;
  ioStatusBlock->Information = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK ioStatusBlock, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass) {
  const CallScope inCall;
  if (Dead()) return STATUS_INVALID_HANDLE;
  Call call = NewCall(Api::NtSetInformationFile, HandlePath(file), {static_cast<DWORD>(informationClass)});
  const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(information);
  const bool renames = informationClass == FileRenameInformation && information != nullptr &&
                       length >= sizeof(FILE_RENAME_INFORMATION) &&
                       rename->FileNameLength <= length - offsetof(FILE_RENAME_INFORMATION, FileName);
  std::wstring newName;
  if (renames) {
    newName.assign(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    call.path2 = JoinedPath(HandlePath(rename->RootDirectory), newName);
  }
  const std::wstring renamedPath = call.path2;
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::NtSetInformationFile, HandlePath(file))) {
    return StatusOfError(fault->error);
  }
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return STATUS_INVALID_HANDLE;
  if (ioStatusBlock == nullptr || information == nullptr) return STATUS_INVALID_PARAMETER;
  const bool disposes = informationClass == FileDispositionInformation;
  if (!HasAccess(*open, disposes ? AccessUse::kDispose : AccessUse::kRename)) return STATUS_ACCESS_DENIED;
  Place place;
  if (!Locate(*open->node, &place) || place.parent == nullptr) return STATUS_DELETE_PENDING;
  const NodePtr node = open->node;

  if (informationClass == FileDispositionInformation) {
    if (length < sizeof(FILE_DISPOSITION_INFORMATION)) return STATUS_INVALID_PARAMETER;
    if (static_cast<const FILE_DISPOSITION_INFORMATION*>(information)->DoDeleteFile == 0) {
      node->deletePending = false;
      return STATUS_SUCCESS;
    }
    if (IsFolder(*node) && !node->children.empty()) return STATUS_CANNOT_DELETE;
    if (!node->deletePending) {
      node->deletePending = true;
      S().pendingDeletions.push_back(PendingDeletion{node, place.parent});
    }
    return STATUS_SUCCESS;
  }
  if (node->deletePending) return STATUS_DELETE_PENDING;
  if (!renames) return STATUS_INVALID_PARAMETER;
  // Only renames into a folder named by handle are modelled, as the tool
  // makes them.
  const OpenFile* target = FolderOf(rename->RootDirectory);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (!IsMemberName(newName)) return STATUS_OBJECT_NAME_INVALID;
  if (target->volume != open->volume) return STATUS_NOT_SAME_DEVICE;
  if (!InTree(*target->node) || target->node->deletePending) return STATUS_DELETE_PENDING;
  const NodePtr existing = FindChild(*target->node, newName);
  NodePtr replaced;
  if (existing != nullptr && existing != node) {
    if (rename->ReplaceIfExists == 0) return STATUS_OBJECT_NAME_COLLISION;
    if (IsFolder(*existing) || IsOpen(*existing)) return STATUS_ACCESS_DENIED;
    replaced = existing;
    Detach(*target->node, *existing);
  }
  const std::wstring oldName = node->name;
  Detach(*place.parent, *node);
  node->name = newName;
  Insert(*target->node, node);
  S().pendingMoves.push_back(
      PendingMove{node, place.parent, oldName, target->node, newName, replaced, open->volume});
  // The handle goes by its new name from now on, as Wine's does.
  open->path = renamedPath;
  ioStatusBlock->Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID information,
                                  DWORD bufferSize) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileInformationByHandleEx, HandlePath(file), {static_cast<DWORD>(infoClass)});
  if (const Fault* fault = DueFault(Api::GetFileInformationByHandleEx, HandlePath(file))) {
    return Fail(fault->error, FALSE);
  }
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (infoClass == FileNameInfo) {
    if (information == nullptr || bufferSize < offsetof(FILE_NAME_INFO, FileName)) {
      return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::wstring text;
    if (const DWORD error = NameOf(*open, false, &text); error != ERROR_SUCCESS) return Fail(error, FALSE);
    // The length always; as much of the name as fits, and ERROR_MORE_DATA
    // when not all of it does.
    FILE_NAME_INFO header{};
    header.FileNameLength = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    std::memcpy(information, &header, offsetof(FILE_NAME_INFO, FileName));
    const std::size_t room = (bufferSize - offsetof(FILE_NAME_INFO, FileName)) / sizeof(wchar_t);
    const std::size_t copied = std::min(room, text.size());
    std::memcpy(static_cast<unsigned char*>(information) + offsetof(FILE_NAME_INFO, FileName), text.data(),
                copied * sizeof(wchar_t));
    return copied == text.size() ? TRUE : Fail(ERROR_MORE_DATA, FALSE);
  }
  const bool withIds = infoClass == FileIdBothDirectoryInfo || infoClass == FileIdBothDirectoryRestartInfo;
  const bool full = infoClass == FileFullDirectoryInfo || infoClass == FileFullDirectoryRestartInfo;
  if ((!withIds && !full) || information == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IsFolder(*open->node)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!HasAccess(*open, AccessUse::kList)) return Fail(ERROR_ACCESS_DENIED, FALSE);

  const bool restart =
      infoClass == FileFullDirectoryRestartInfo || infoClass == FileIdBothDirectoryRestartInfo;
  const bool first = !open->listing.has_value() || restart;
  if (first) {
    std::vector<Listed> entries;
    const Node& folder = *open->node;
    const auto dotEntries = [&] {
      if (folder.isRoot) return;
      for (const wchar_t* dots : {L".", L".."})
        entries.push_back({FindEntry(dots, folder), {}, folder.index});
    };
    if (S().dotEntries == DotEntries::kFirst) dotEntries();
    for (const auto& [key, child] : folder.children) {
      entries.push_back({FindEntry(child->name, *child), child->alias, ListedId(*child)});
    }
    if (S().dotEntries == DotEntries::kLast) dotEntries();
    open->listing = std::move(entries);
    open->listed = 0;
  }
  const std::vector<Listed>& entries = *open->listing;
  if (open->listed >= entries.size()) {
    return Fail(first ? ERROR_FILE_NOT_FOUND : ERROR_NO_MORE_FILES, FALSE);
  }

  // Entries follow one another at 8-byte boundaries; the last one written
  // says so with a NextEntryOffset of 0.
  const std::size_t nameOffset =
      withIds ? offsetof(FILE_ID_BOTH_DIR_INFO, FileName) : offsetof(FILE_FULL_DIR_INFO, FileName);
  auto* buffer = static_cast<unsigned char*>(information);
  std::size_t used = 0;
  DWORD* previousNext = nullptr;
  std::size_t previousAt = 0;
  while (open->listed < entries.size()) {
    const Listed& listed = entries[open->listed];
    const WIN32_FIND_DATAW& entry = listed.entry;
    const std::size_t nameLength = std::wcslen(entry.cFileName);
    const std::size_t size = nameOffset + nameLength * sizeof(wchar_t);
    const std::size_t at = (used + 7) & ~static_cast<std::size_t>(7);
    if (at + size > bufferSize) break;
    const auto endOfFile =
        static_cast<LONGLONG>((static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
    if (withIds) {
      FILE_ID_BOTH_DIR_INFO info{};
      info.FileAttributes = entry.dwFileAttributes;
      info.EndOfFile.QuadPart = endOfFile;
      info.FileNameLength = static_cast<DWORD>(nameLength * sizeof(wchar_t));
      const std::size_t shortLength = std::min<std::size_t>(listed.shortName.size(), 12);
      std::copy_n(listed.shortName.begin(), shortLength, info.ShortName);
      info.ShortNameLength = static_cast<BYTE>(shortLength * sizeof(wchar_t));
      info.FileId.QuadPart = static_cast<LONGLONG>(listed.id);
      std::memcpy(buffer + at, &info, nameOffset);
    } else {
      FILE_FULL_DIR_INFO info{};
      info.FileAttributes = entry.dwFileAttributes;
      info.EndOfFile.QuadPart = endOfFile;
      info.FileNameLength = static_cast<DWORD>(nameLength * sizeof(wchar_t));
      std::memcpy(buffer + at, &info, nameOffset);
    }
    std::memcpy(buffer + at + nameOffset, entry.cFileName, nameLength * sizeof(wchar_t));
    // NextEntryOffset comes first in both layouts.
    if (previousNext != nullptr) {
      const auto offset = static_cast<DWORD>(at - previousAt);
      std::memcpy(previousNext, &offset, sizeof offset);
    }
    previousNext = reinterpret_cast<DWORD*>(buffer + at);
    previousAt = at;
    used = at + size;
    ++open->listed;
  }
  if (previousNext == nullptr) return Fail(ERROR_MORE_DATA, FALSE);
  return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD length, DWORD flags) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, 0U);
  Record(Api::GetFinalPathNameByHandleW, HandlePath(file), {length, flags});
  if (const Fault* fault = DueFault(Api::GetFinalPathNameByHandleW, HandlePath(file))) {
    return Fail(fault->error, 0U);
  }
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, 0U);
  if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) || (filePath == nullptr && length > 0)) {
    return Fail(ERROR_INVALID_PARAMETER, 0U);
  }
  std::wstring text;
  if (const DWORD error = NameOf(*open, true, &text); error != ERROR_SUCCESS) return Fail(error, 0U);
  // Too small a buffer: the size it needs, terminating zero included.
  if (text.size() >= length) return static_cast<DWORD>(text.size() + 1);
  std::copy(text.begin(), text.end(), filePath);
  filePath[text.size()] = L'\0';
  return static_cast<DWORD>(text.size());
}

int CompareStringOrdinal(const WCHAR* string1, int count1, const WCHAR* string2, int count2,
                         BOOL ignoreCase) {
  const CallScope inCall;
  if (string1 == nullptr || string2 == nullptr) return Fail(ERROR_INVALID_PARAMETER, 0);
  const std::wstring_view first(string1,
                                count1 < 0 ? std::wcslen(string1) : static_cast<std::size_t>(count1));
  const std::wstring_view second(string2,
                                 count2 < 0 ? std::wcslen(string2) : static_cast<std::size_t>(count2));
  const std::wstring a = ignoreCase ? Upper(first) : std::wstring(first);
  const std::wstring b = ignoreCase ? Upper(second) : std::wstring(second);
  const int order = a.compare(b);
  return order < 0 ? CSTR_LESS_THAN : (order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN);
}
