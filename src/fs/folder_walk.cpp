#include "fs/folder_walk.h"

#include "platform/handles.h"
#include "platform/status.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace van_tide {

VantideFolder::~VantideFolder() { Reset(nullptr, std::wstring()); }

VantideFolder::VantideFolder(VantideFolder&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      pathOnVolume_(std::move(other.pathOnVolume_)),
      longPath_(std::move(other.longPath_)),
      identity_(other.identity_) {}

VantideFolder& VantideFolder::operator=(VantideFolder&& other) noexcept {
  if (this != &other)
    Reset(std::exchange(other.handle_, nullptr), std::move(other.pathOnVolume_), other.identity_,
          std::move(other.longPath_));
  return *this;
}

void VantideFolder::Reset(HANDLE handle, std::wstring pathOnVolume,
                          const BY_HANDLE_FILE_INFORMATION& identity, std::wstring longPath) noexcept {
  // The outcome of the close is ignored: by then the caller's result is fixed.
  if (handle_ != nullptr && handle_ != handle) CloseHandle(handle_);
  handle_ = handle;
  pathOnVolume_ = std::move(pathOnVolume);
  longPath_ = std::move(longPath);
  identity_ = identity;
}

namespace {

// Why a member is judged three ways, and why that holds on Windows and under
// Wine.
//
// 1. Attributes. The open asks for the member itself (FILE_OPEN_REPARSE_POINT).
//    On Windows a symbolic link, junction or mount point is so opened as what
//    it is, its attributes carry FILE_ATTRIBUTE_REPARSE_POINT, and it is
//    refused there and then. Under Wine an open follows a host link whatever
//    the flags, and the handle reads as the target: a plain folder or file.
// 2. The path on the volume. The handle's path (its final path less the
//    volume, whose serial number is compared instead) must be the parent's
//    followed by the member's own name. Under Wine it names where the handle
//    really leads, so a link is refused here. On Windows a handle to the
//    member itself has the member's own path: this never refuses what the
//    first test let through.
// 3. The parent's listing. Wine works out a handle's path by resolving, when
//    asked, the path the handle was opened by: a handle that went through a
//    link reads a matching path if the link was swapped back in between. The
//    parent's listing, read through the parent's handle and never by path,
//    must hold the name as a plain entry with the very file index the handle
//    holds; Wine lists a host link with the reparse bit and its target's
//    index, so neither a link now nor a link at the open passes. Wine keeps a
//    listing per handle from the first time it is read, restarts included, so
//    each check lists a fresh handle on the parent, opened by the empty name
//    relative to it and held to the parent's own volume and file index. On
//    Windows this agrees with the first test. It needs list access to every
//    folder of the walk.
//
// On both, a handle that passes is the entry of that name in the folder held
// above it. Nothing below the walk's start is looked up by path again: the
// tool works through the handles, so a folder swapped for a link after the
// tests changes nothing it does.
//
// Names compare without regard to case, ordinal and upper-cased, as NTFS
// compares them; the parent's path too, which a redirector may spell in its
// own case and another process may rename in case only. In a case-sensitive
// folder (FILE_CS_FLAG_CASE_SENSITIVE_DIR) two entries may differ in case
// alone, so the listing is read on past an entry of the name that is not the
// item held: a plain entry with the handle's file index will do, of the very
// spelling where the folder has one (a lookup reaches that one), else of the
// name in another case.
//
// A member may be written as its 8.3 short name. NTFS names a handle opened by
// a short name by that short name; only the normalized name gives each member
// its long name (MS-FSCC, FileNormalizedNameInformation). Wine gives long
// names. So the handle's last member may read as the name as written or as
// the long name of the entry the listing matched, and a folder keeps the path
// its handle gives, which the member below it is compared with. Whether NTFS
// names a folder above by the short name it was reached by is not documented:
// the folder's path by long names will do as well, since both name the very
// folder the listing above it matched. The listing takes a short name
// (FILE_ID_BOTH_DIR_INFO.ShortName) only where no entry has it as its long
// name: the file system reaches such an entry by that name first, and a link
// so named must not pass for the sibling whose short name it spells.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;
// A folder that grants Traverse but not List (home folders on a server often
// do) is opened to pass through it, and its members go without the listing.
constexpr ACCESS_MASK kTraverseAccess = FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;

// A failed call whose last error reads 0 did fail all the same.
DWORD FailedCallError(DWORD error) noexcept {
  return error == ERROR_SUCCESS ? static_cast<DWORD>(kStatusFailedWithoutReason) : error;
}

bool IsMissingError(DWORD error) noexcept {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Where the name read into a buffer starts: after the length before it.
constexpr std::size_t kNameHeaderChars =
    (offsetof(FILE_NAME_INFO, FileName) + sizeof(wchar_t) - 1) / sizeof(wchar_t);

// The path of `handle` on its volume, as the file system names it (the
// volume's root is "\"). GetFinalPathNameByHandleW would add the volume's
// name, but Wine's fails past MAX_PATH; the volume is compared by serial
// number instead. With `grow` false the text stays within the capacity
// `*path` has (nothing is allocated), and a longer name reads as empty:
// enough for a caller that only compares it with a text that fits.
HRESULT PathOnVolume(HANDLE handle, std::wstring* path, bool grow = true) {
  constexpr std::size_t kHeaderBytes = offsetof(FILE_NAME_INFO, FileName);
  if (grow && path->capacity() < MAX_PATH) path->reserve(MAX_PATH);
  // A name that grows between two calls (a folder above renamed) asks again,
  // a few times at most.
  for (int attempt = 0; attempt < 4; ++attempt) {
    path->resize(path->capacity());
    const std::size_t bytes = path->size() * sizeof(wchar_t);
    if (bytes > std::numeric_limits<DWORD>::max()) return VantideFailureFromWin32(ERROR_INSUFFICIENT_BUFFER);
    const bool read =
        GetFileInformationByHandleEx(handle, FileNameInfo, path->data(), static_cast<DWORD>(bytes)) != 0;
    const DWORD error = read ? ERROR_SUCCESS : GetLastError();
    if (!read && error != ERROR_MORE_DATA) return VantideFailureFromWin32(FailedCallError(error));
    FILE_NAME_INFO header{};
    std::memcpy(&header, path->data(), kHeaderBytes);
    if (read) {
      if (kHeaderBytes + header.FileNameLength > bytes) return VantideFailureFromWin32(ERROR_INVALID_DATA);
      const std::size_t length = header.FileNameLength / sizeof(wchar_t);
      std::memmove(path->data(), reinterpret_cast<const unsigned char*>(path->data()) + kHeaderBytes,
                   length * sizeof(wchar_t));
      path->resize(length);
      return kStatusOk;
    }
    if (!grow) {
      path->clear();  // longer than what fits: it can equal nothing the caller compares
      return kStatusOk;
    }
    // Some file systems report less than the whole length they need: grow
    // by at least half again, so that the attempts reach far enough either way.
    path->reserve(std::max(kNameHeaderChars + header.FileNameLength / sizeof(wchar_t) + 1,
                           path->capacity() + path->capacity() / 2));
  }
  return VantideFailureFromWin32(ERROR_INSUFFICIENT_BUFFER);
}

// The longest name of one member NTFS keeps, in UTF-16 units.
constexpr std::size_t kLongestName = 255;

// Ordinal, unit by unit upper-cased: how the file system compares names
// without regard to case.
bool SameName(std::wstring_view a, std::wstring_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  if (a.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

// `child` is one of the parent's paths (as its handle named it, or by long
// names) followed by `*own`, the member's own name as the handle gives it.
bool SplitBelow(const VantideFolder& parent, std::wstring_view child, std::wstring_view* own) noexcept {
  for (const std::wstring* above : {&parent.PathOnVolume(), &parent.LongPathOnVolume()}) {
    const std::wstring_view path = *above;
    if (child.size() < path.size() || !SameName(child.substr(0, path.size()), path)) continue;
    std::wstring_view rest = child.substr(path.size());
    if (path.empty() || path.back() != L'\\') {
      if (rest.empty() || rest.front() != L'\\') continue;
      rest.remove_prefix(1);
    }
    *own = rest;
    return true;
  }
  return false;
}

bool IsSameItem(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) noexcept {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// What a parent's listing tells of a member's name as written, read batch by
// batch. An entry of the very spelling comes first, then one of the name in
// another case, then one whose short name it is: the order in which the file
// system reaches them, Wine as well, so that a link of the one spelling does
// not pass for a plain entry of another. Nothing in it is allocated.
struct ListingSearch {
  std::wstring_view name;
  std::uint64_t id = 0;  // the file index the member's handle holds
  // An entry has the name spelled so (a folder holds one at most), and it is
  // a plain entry with that index: that decides.
  bool exact = false;
  bool exactHeld = false;
  // Some entry has the name in another case, and one of them is a plain
  // entry with that index.
  bool caseless = false;
  bool caselessHeld = false;
  // The long name of the plain entry with that index that has the name in
  // another case or, failing one, as its short name; empty when there is
  // none (or, for a name in another case, when it is too long to keep).
  std::array<wchar_t, kLongestName> longName{};
  std::size_t longNameLength = 0;

  [[nodiscard]] bool Matched() const noexcept {
    if (exact) return exactHeld;
    if (caseless) return caselessHeld;
    return longNameLength != 0;
  }
  // The long name of the entry matched.
  [[nodiscard]] std::wstring_view LongName() const noexcept {
    if (exact || (caseless && longNameLength == 0)) return name;
    return {longName.data(), longNameLength};
  }
  // No listing to read: the name as written stands for the entry.
  void TakeAsWritten() noexcept {
    exact = true;
    exactHeld = true;
  }
  void KeepLongName(std::wstring_view text) noexcept {
    longNameLength = text.size() <= longName.size() ? text.size() : 0;
    std::copy_n(text.begin(), longNameLength, longName.begin());
  }
};

// Goes through one batch of a listing; a failure for a batch that reaches
// past its buffer.
template <std::size_t kWords>
HRESULT SearchBatch(const std::array<std::uint64_t, kWords>& batch, ListingSearch* search) {
  constexpr std::size_t kNameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
  const auto* bytes = reinterpret_cast<const unsigned char*>(batch.data());
  const std::size_t size = kWords * sizeof(std::uint64_t);
  for (std::size_t at = 0;;) {
    if (at + kNameOffset > size) return VantideFailureFromWin32(ERROR_INVALID_DATA);
    FILE_ID_BOTH_DIR_INFO entry{};
    std::memcpy(&entry, bytes + at, kNameOffset);
    if (at + kNameOffset + entry.FileNameLength > size || entry.ShortNameLength > sizeof(entry.ShortName)) {
      return VantideFailureFromWin32(ERROR_INVALID_DATA);
    }
    const std::wstring_view longName(reinterpret_cast<const wchar_t*>(bytes + at + kNameOffset),
                                     entry.FileNameLength / sizeof(wchar_t));
    const bool held = (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                      static_cast<std::uint64_t>(entry.FileId.QuadPart) == search->id;
    if (longName == search->name) {
      search->exact = true;
      search->exactHeld = held;
      return kStatusOk;
    }
    if (SameName(longName, search->name)) {
      search->caseless = true;
      if (held && !search->caselessHeld) {
        search->caselessHeld = true;
        search->KeepLongName(longName);
      }
    } else if (held && !search->caselessHeld && search->longNameLength == 0 && !longName.empty() &&
               SameName(std::wstring_view(entry.ShortName, entry.ShortNameLength / sizeof(wchar_t)),
                        search->name)) {
      search->KeepLongName(longName);
    }
    if (entry.NextEntryOffset == 0) return kStatusOk;
    at += entry.NextEntryOffset;
  }
}

// The listing of `parent`, read through its handle, holds the name `search`
// looks for as the very item the member's handle holds, and not as a link.
// An entry gone from there was moved or swapped away: a redirection as well.
// It reads into a buffer of its own and allocates nothing.
HRESULT CheckListedAs(const VantideFolder& parent, ListingSearch* search) {
  HANDLE reopened = nullptr;
  const DWORD openError = VantideOpenRelative(parent, std::wstring_view{}, kFolderAccess, kShareAll,
                                              FILE_OPEN, FILE_DIRECTORY_FILE, &reopened);
  // A folder the user may pass through but not list. Where a handle is the
  // item itself (Windows), the open already showed any redirection and the
  // listing only confirms it: the member stands on the other tests. Where an
  // open may follow a link (Wine), the listing is the one test a link swapped
  // back cannot pass, and without it the member is refused.
  if (openError == ERROR_ACCESS_DENIED && !platform::WorksByPath()) {
    search->TakeAsWritten();
    return kStatusOk;
  }
  if (openError != ERROR_SUCCESS) return VantideFailureFromWin32(openError);
  const VantideFileHandle fresh(reopened);
  BY_HANDLE_FILE_INFORMATION freshIdentity{};
  if (!GetFileInformationByHandle(fresh.Get(), &freshIdentity)) return VantideFailureFromLastError();
  if (!IsSameItem(freshIdentity, parent.Identity())) return kStatusCantAccessFile;

  std::array<std::uint64_t, 512> buffer{};  // 4 KiB, aligned for the entries
  for (;;) {
    if (!GetFileInformationByHandleEx(fresh.Get(), FileIdBothDirectoryInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)))) {
      const DWORD error = GetLastError();
      // Only the whole listing tells that no entry of a higher rank is there.
      if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) {
        return search->Matched() ? kStatusOk : kStatusCantAccessFile;
      }
      return VantideFailureFromWin32(FailedCallError(error));
    }
    const HRESULT status = SearchBatch(buffer, search);
    if (status < 0) return status;
    if (search->exact) return search->exactHeld ? kStatusOk : kStatusCantAccessFile;
  }
}

// The attributes, volume, path and identity of an opened member: a redirection
// first, then a file where a folder is wanted. Under Wine a link to a file
// opens as that file, so "no folder" may only be said once the other tests
// found no redirection: a file link is one there as much as on Windows.
// `listedId`, when given, is the file index the parent's own listing gave the
// member, under its long name, before it was opened: it stands in for the
// fresh listing. `*longPath`, when asked for, gets the member's path by long
// names.
HRESULT Judge(HANDLE handle, const VantideFolder& parent, std::wstring_view name, bool wantsFolder,
              std::wstring* pathOnVolume, BY_HANDLE_FILE_INFORMATION* identity, bool grow = true,
              const std::uint64_t* listedId = nullptr, std::wstring* longPath = nullptr) {
  BY_HANDLE_FILE_INFORMATION& information = *identity;
  if (!GetFileInformationByHandle(handle, &information)) return VantideFailureFromLastError();
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;
  if (information.dwVolumeSerialNumber != parent.Identity().dwVolumeSerialNumber)
    return kStatusCantAccessFile;
  HRESULT status = PathOnVolume(handle, pathOnVolume, grow);
  if (status < 0) return status;
  std::wstring_view own;
  if (!SplitBelow(parent, *pathOnVolume, &own)) return kStatusCantAccessFile;
  const auto heldId =
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  std::wstring_view longName = name;
  ListingSearch search;
  if (listedId != nullptr) {
    if (!SameName(own, name) || heldId != *listedId) return kStatusCantAccessFile;
  } else {
    // Read even when the path already ends in another name: that may be the
    // long name of a short one.
    search.name = name;
    search.id = heldId;
    status = CheckListedAs(parent, &search);
    if (status < 0) return status;
    longName = search.LongName();
    if (!SameName(own, name) && !SameName(own, longName)) return kStatusCantAccessFile;
  }
  if (longPath != nullptr) {
    *longPath = parent.LongPathOnVolume();
    if (longPath->empty() || longPath->back() != L'\\') longPath->push_back(L'\\');
    longPath->append(longName);
  }
  if (wantsFolder && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return kStatusNotADirectory;
  return kStatusOk;
}

// Opens (or, with FILE_CREATE, creates) the folder `name` below `parent` and
// judges it.
HRESULT OpenMember(const VantideFolder& parent, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
                   VantideFolder* member, bool* missing, const std::uint64_t* listedId = nullptr) {
  // No FILE_DIRECTORY_FILE on an open: a file link there must read as a
  // redirection, which the judgement tells before it tells "no folder".
  const ULONG options = disposition == FILE_CREATE ? FILE_DIRECTORY_FILE : 0;
  HANDLE handle = nullptr;
  DWORD error = VantideOpenRelative(parent, name, access, kShareAll, disposition, options, &handle);
  if (error == ERROR_ACCESS_DENIED && access == kFolderAccess && disposition == FILE_OPEN) {
    error = VantideOpenRelative(parent, name, kTraverseAccess, kShareAll, disposition, options, &handle);
  }
  if (error != ERROR_SUCCESS) {
    if (missing != nullptr) *missing = IsMissingError(error);
    return VantideFailureFromWin32(error);
  }
  VantideFolder opened;
  opened.Reset(handle, std::wstring());
  std::wstring pathOnVolume;
  std::wstring longPath;
  BY_HANDLE_FILE_INFORMATION identity{};
  const HRESULT status =
      Judge(handle, parent, name, true, &pathOnVolume, &identity, true, listedId, &longPath);
  if (status < 0) return status;
  if (longPath == pathOnVolume) longPath.clear();
  opened.Reset(handle, std::move(pathOnVolume), identity, std::move(longPath));
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
             std::wstring* rest, bool creates) {
  const VantideFolder* parent = &from;
  std::size_t position = 0;
  while (position < members.size() && VantideIsSeparator(members[position])) ++position;
  while (position < members.size()) {
    const std::size_t begin = position;
    while (position < members.size() && !VantideIsSeparator(members[position])) ++position;
    const std::wstring_view name = members.substr(begin, position - begin);
    while (position < members.size() && VantideIsSeparator(members[position])) ++position;

    VantideFolder member;
    bool memberMissing = false;
    HRESULT status =
        OpenMember(*parent, name, kFolderAccess, creates ? FILE_CREATE : FILE_OPEN, &member, &memberMissing);
    // Made by someone else since it was found missing: judged as found.
    if (creates && status == VantideFailureFromWin32(ERROR_FILE_EXISTS)) {
      status = OpenMember(*parent, name, kFolderAccess, FILE_OPEN, &member, &memberMissing);
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

DWORD VantideOpenRelative(const VantideFolder& folder, std::wstring_view name, ACCESS_MASK access,
                          ULONG share, ULONG disposition, ULONG options, HANDLE* file) {
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
  // As CreateFileW asks: a native open is granted exactly what it asks for,
  // and every handle is judged by its attributes later (which need
  // FILE_READ_ATTRIBUTES) and used synchronously (SYNCHRONIZE).
  const NTSTATUS status = NtCreateFile(
      &handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      share, disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) {
    *file = handle;
    return ERROR_SUCCESS;
  }
  if (status == STATUS_OBJECT_NAME_COLLISION && disposition == FILE_CREATE) return ERROR_FILE_EXISTS;
  return FailedCallError(VantideErrorOfNtStatus(status));
}

HRESULT VantideCheckFileReached(const VantideFolder& folder, std::wstring_view name, HANDLE file,
                                std::wstring* buffer) {
  BY_HANDLE_FILE_INFORMATION identity{};
  return Judge(file, folder, name, false, buffer, &identity, false);
}

std::size_t VantideFileCheckBufferSize(const VantideFolder& folder, std::wstring_view name) noexcept {
  // The handle may name the folder by its long names, and the file by its
  // long name where it was written as its short one.
  const std::size_t above = std::max(folder.PathOnVolume().size(), folder.LongPathOnVolume().size());
  return kNameHeaderChars + above + 1 + std::max(name.size(), kLongestName);
}

HRESULT VantideOpenFolderPath(const Path& path, VantideFolder* folder, bool* missing, std::wstring* rest) {
  const std::wstring_view view{path};
  const std::size_t startLength = VantideWalkStartLength(view);
  // A relative path would start wherever the current folder happens to be.
  if (startLength == 0 || !VantideIsAbsolutePath(path)) return kStatusInvalidName;
  const Path start{view.substr(0, startLength)};
  const std::wstring_view members = view.substr(startLength);

  // The root of a drive or share: the one folder opened by path. What the
  // name of a drive means is the user's own to change (a per-logon drive
  // letter, subst), and so is the tool's memory to a debugger of the same
  // user: neither is a defence the tool could make.
  HANDLE handle = CreateFileW(start.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = CreateFileW(start.c_str(), kTraverseAccess, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = FailedCallError(GetLastError());
    if (missing != nullptr) *missing = IsMissingError(error);
    if (IsMissingError(error) && rest != nullptr) *rest = MembersFrom(members, 0);
    return VantideFailureFromWin32(error);
  }
  VantideFolder root;
  root.Reset(handle, std::wstring());
  BY_HANDLE_FILE_INFORMATION identity{};
  std::wstring pathOnVolume;
  const HRESULT status = GetFileInformationByHandle(handle, &identity) ? PathOnVolume(handle, &pathOnVolume)
                                                                       : VantideFailureFromLastError();
  if (status < 0) {
    if (missing != nullptr) *missing = false;
    return status;
  }
  root.Reset(handle, std::move(pathOnVolume), identity);

  VantideFolder reached;
  bool memberMissing = false;
  const HRESULT walked = Walk(root, members, &reached, &memberMissing, rest, false);
  if (walked < 0 && missing != nullptr) *missing = memberMissing;
  // Missing at the first member: the deepest folder that exists is the root.
  *folder = reached.IsOpen() ? std::move(reached) : std::move(root);
  return walked;
}

HRESULT VantideOpenFolderBelow(const VantideFolder& from, std::wstring_view members, VantideFolder* folder,
                               bool* missing, std::wstring* rest) {
  return Walk(from, members, folder, missing, rest, false);
}

HRESULT VantideOpenListedFolder(const VantideFolder& from, std::wstring_view name, std::uint64_t listedId,
                                VantideFolder* folder, bool* missing) {
  bool memberMissing = false;
  const HRESULT status = OpenMember(from, name, kFolderAccess, FILE_OPEN, folder, &memberMissing, &listedId);
  if (status < 0 && missing != nullptr) *missing = memberMissing;
  return status;
}

HRESULT VantideCreateFoldersBelow(const VantideFolder& from, std::wstring_view members,
                                  VantideFolder* folder) {
  return Walk(from, members, folder, nullptr, nullptr, true);
}

}  // namespace van_tide
