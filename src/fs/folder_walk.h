// The walk down a chain of folders by handle. Only the walk's start (a drive
// or share root) is opened by path; every member below it is opened relative
// to the folder above it and judged by its own handle before anything below
// it is opened, and the tool then works through the handles it holds. So
// every folder the tool checks is the folder it then uses, whatever another
// process renames or swaps in the meantime.
//
// A member is refused when it is a redirection or not a folder. A redirection
// is a reparse point (0x80070780), judged before anything else, or a member
// that is on another volume than its parent, or whose path on its volume is
// not its parent's followed by the member's own name, or that its parent's
// listing does not hold as a plain entry of that name and identity
// (0x80070780 as well); see folder_walk.cpp for why all of them are needed.
// Names compare without regard to case, and a member may be written as its
// 8.3 short name.
// Every folder is opened with list access, or, where it grants only Traverse,
// to be passed through; its members are then judged without its listing
// where handles are the items themselves, and refused where they are not.
// A member that is no folder is 0x8007010B. A failure once the walk has begun
// writes `*missing`: true when an open failed with error 2 or 3 (the member
// does not exist), false otherwise. A success, or a path refused before
// anything is opened, leaves it alone.
//
// A member's name reaches the file system exactly as written, relative to its
// folder: no trailing period or blank is removed and no DOS device is named.
#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace van_tide {

// A folder held open, reached through no redirection, and its path on its
// volume as the file system names it ("\\" for the volume's root). Empty (not open) until a walk fills it.
class VantideFolder {
 public:
  VantideFolder() noexcept = default;
  ~VantideFolder();
  VantideFolder(VantideFolder&& other) noexcept;
  VantideFolder& operator=(VantideFolder&& other) noexcept;
  VantideFolder(const VantideFolder&) = delete;
  VantideFolder& operator=(const VantideFolder&) = delete;

  [[nodiscard]] bool IsOpen() const noexcept { return handle_ != nullptr; }
  [[nodiscard]] HANDLE Handle() const noexcept { return handle_; }
  [[nodiscard]] const std::wstring& PathOnVolume() const noexcept { return pathOnVolume_; }
  // The same path with every member by its long name, as the listings above
  // gave it. It differs from PathOnVolume where a member was written as its
  // 8.3 short name, which the file system may keep in the handle's name.
  [[nodiscard]] const std::wstring& LongPathOnVolume() const noexcept {
    return longPath_.empty() ? pathOnVolume_ : longPath_;
  }
  // The volume and file index of the folder, as its handle tells them.
  [[nodiscard]] const BY_HANDLE_FILE_INFORMATION& Identity() const noexcept { return identity_; }

  // Takes over `handle` (closed when this folder is emptied or destroyed); the
  // handle it held before is closed unless it is the same. An empty
  // `longPath` is `pathOnVolume`.
  void Reset(HANDLE handle, std::wstring pathOnVolume, const BY_HANDLE_FILE_INFORMATION& identity = {},
             std::wstring longPath = {}) noexcept;

 private:
  HANDLE handle_ = nullptr;
  std::wstring pathOnVolume_;
  std::wstring longPath_;  // empty when it is pathOnVolume_
  BY_HANDLE_FILE_INFORMATION identity_{};
};

// Opens the walk start of `path` (VantideWalkStartLength) by path, then each
// member below it. On success `*folder` holds the last member. When a member
// does not exist, `*folder` holds the deepest folder that does (it stays
// empty when the walk start itself is missing) and `*rest`, when given, the
// members from the missing one on, separated by backslashes.
HRESULT VantideOpenFolderPath(const Path& path, VantideFolder* folder, bool* missing,
                              std::wstring* rest = nullptr);

// The same below `from`, for the members of `members` (separated by either
// separator). When the first of them is missing, `*folder` stays empty: the
// deepest folder that exists is `from` itself.
HRESULT VantideOpenFolderBelow(const VantideFolder& from, std::wstring_view members, VantideFolder* folder,
                               bool* missing, std::wstring* rest = nullptr);

// Opens the one member `name` of `from` that `from`'s own listing, read
// through its handle just before, gave as a plain entry with file index
// `listedId`: judged like any member of a walk, with that listing in place of
// a fresh one, which would read the whole folder again for every entry.
HRESULT VantideOpenListedFolder(const VantideFolder& from, std::wstring_view name, std::uint64_t listedId,
                                VantideFolder* folder, bool* missing);

// Creates each member of `members` below `from`, each relative to the one
// above; a member that exists by then (made by someone else meanwhile) is
// opened and judged like any member of a walk. `*folder` holds the last one.
HRESULT VantideCreateFoldersBelow(const VantideFolder& from, std::wstring_view members,
                                  VantideFolder* folder);

// Opens `name` relative to `folder` with the native call's access, share
// access, disposition and options. As CreateFileW does, FILE_READ_ATTRIBUTES
// and SYNCHRONIZE are always added to the access; so are FILE_OPEN_REPARSE_POINT
// and synchronous I/O to the options. On failure `*file` is null and the result is the
// Win32 error; a name that exists already when FILE_CREATE is asked for
// gives ERROR_FILE_EXISTS, as CreateFileW's CREATE_NEW does.
DWORD VantideOpenRelative(const VantideFolder& folder, std::wstring_view name, ACCESS_MASK access,
                          ULONG share, ULONG disposition, ULONG options, HANDLE* file);

// Judges a file opened relative to `folder` under `name`: 0x80070780 when it
// is a reparse point, or is not (any more) the entry of that name in the
// folder. `*buffer` holds the path read; it is never grown, so reserve
// VantideFileCheckBufferSize beforehand, and the check allocates nothing.
HRESULT VantideCheckFileReached(const VantideFolder& folder, std::wstring_view name, HANDLE file,
                                std::wstring* buffer);
std::size_t VantideFileCheckBufferSize(const VantideFolder& folder, std::wstring_view name) noexcept;

}  // namespace van_tide
