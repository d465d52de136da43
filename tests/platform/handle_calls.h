// The calls the walk makes on folder handles, made the way it makes them and
// read as values a table of cases can compare and gtest can print: a relative
// open, what the handle it gives reached, a listing through a handle, a
// rename or deletion by handle. Shared by the platform suite and the
// stand-in's own tests of the same calls.
#pragma once

#include "platform/win32.h"
#include "platform/win32_behaviour.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::testing::win32 {

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr ULONG kAnyKind = 0;
inline constexpr ULONG kFolderOnly = FILE_DIRECTORY_FILE;
inline constexpr ULONG kFileOnly = FILE_NON_DIRECTORY_FILE;
// What the walk asks of a folder it will list.
inline constexpr ACCESS_MASK kListAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;

// A handle closed when the case is done with it, so that a failed expectation
// leaves nothing open under the tree the fixture removes.
class Held {
 public:
  Held() = default;
  explicit Held(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Held() { Close(); }
  Held(Held&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Held& operator=(Held&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  HANDLE Get() const { return handle_; }
  bool IsOpen() const { return handle_ != nullptr; }
  // For a call that hands a new handle back; whatever was held is closed.
  HANDLE* Out() {
    Close();
    return &handle_;
  }
  bool Close() {
    if (handle_ == nullptr) return true;
    return CloseHandle(std::exchange(handle_, nullptr)) != FALSE;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Opens `name`, one member, relative to `folder` as the walk does: without
// regard to case, the member itself rather than what a link there names,
// synchronous I/O. On failure `*file` holds nothing.
inline NTSTATUS OpenRelative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
                             ULONG options, Held* file) {
  UNICODE_STRING text{};
  text.Buffer = const_cast<PWSTR>(name.data());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  const NTSTATUS status =
      NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
                   disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  *file = Held(status >= 0 ? opened : nullptr);
  return status;
}

// The Win32 error a native status maps to; 0 for success.
inline DWORD ErrorOf(NTSTATUS status) { return status >= 0 ? 0 : RtlNtStatusToDosError(status); }

// Opens a folder (or, with FILE_FLAG_OPEN_REPARSE_POINT, a link itself) by
// path, as the walk opens its start.
inline Held OpenByPath(const std::wstring& path, DWORD flags = 0) {
  return Held(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

// The final path of a handle, as the walk asks for it; the error instead when
// there is none.
inline std::wstring FinalPath(HANDLE handle) {
  std::wstring text(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, text.data(), static_cast<DWORD>(text.size()), 0);
  if (length >= text.size()) {
    text.resize(length);  // the size it asked for, terminating zero included
    length = GetFinalPathNameByHandleW(handle, text.data(), static_cast<DWORD>(text.size()), 0);
  }
  if (length == 0 || length >= text.size()) return L"(none: error " + std::to_wstring(GetLastError()) + L")";
  text.resize(length);
  return text;
}

// What an open reached: the Win32 error it failed with (0 when it opened),
// and the handle's attributes and final path.
struct Reached {
  DWORD error;
  DWORD attributes;
  std::wstring finalPath;
  bool operator==(const Reached&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Reached& reached) {
  if (reached.error != 0) return out << "{error " << reached.error << "}";
  return out << "{attributes 0x" << std::hex << reached.attributes << std::dec << ", "
             << Shown(reached.finalPath) << "}";
}

inline Reached OpenedAs(DWORD attributes, std::wstring finalPath) {
  return {0, attributes, std::move(finalPath)};
}
inline Reached NotOpened(DWORD error) { return {error, 0, {}}; }

// What `handle` is; `error` when it is no handle.
inline Reached WhatIsHeld(const Held& handle, DWORD error) {
  if (!handle.IsOpen()) return NotOpened(error);
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle.Get(), &information)) {
    return {0, INVALID_FILE_ATTRIBUTES, L"(no attributes: error " + std::to_wstring(GetLastError()) + L")"};
  }
  return OpenedAs(information.dwFileAttributes & kTold, FinalPath(handle.Get()));
}

inline Reached ReachRelative(HANDLE folder, std::wstring_view name, ULONG options = kAnyKind) {
  Held file;
  const NTSTATUS status = OpenRelative(folder, name, GENERIC_READ, FILE_OPEN, options, &file);
  return WhatIsHeld(file, ErrorOf(status));
}

inline Reached ReachByPath(const std::wstring& path, DWORD flags = 0) {
  SetLastError(kPlanted);
  const Held file = OpenByPath(path, flags);
  return WhatIsHeld(file, GetLastError());
}

// A listing through a folder's handle: the entries in the order given, how
// many calls gave some, and the error of the call that ended it.
struct HandleListing {
  std::vector<Listed> entries;
  int calls = 0;
  DWORD end = 0;
};

inline HandleListing ListByHandle(HANDLE folder, std::size_t bufferBytes) {
  std::vector<std::uint64_t> buffer((bufferBytes + 7) / 8);  // entries sit at 8-byte boundaries
  const auto size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  HandleListing listing;
  // More calls than any folder of a case has entries: a listing that never
  // ends fails the case instead of hanging it.
  for (int call = 0; call < 100; ++call) {
    SetLastError(kPlanted);
    if (!GetFileInformationByHandleEx(folder, FileFullDirectoryInfo, buffer.data(), size)) {
      listing.end = GetLastError();
      return listing;
    }
    ++listing.calls;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t at = 0; at + offsetof(FILE_FULL_DIR_INFO, FileName) <= size;) {
      FILE_FULL_DIR_INFO header{};
      std::memcpy(&header, bytes + at, offsetof(FILE_FULL_DIR_INFO, FileName));
      std::wstring name(header.FileNameLength / sizeof(wchar_t), L'\0');
      std::memcpy(name.data(), bytes + at + offsetof(FILE_FULL_DIR_INFO, FileName),
                  name.size() * sizeof(wchar_t));
      listing.entries.push_back({name, header.FileAttributes & kTold});
      if (header.NextEntryOffset == 0) break;
      at += header.NextEntryOffset;
    }
  }
  ADD_FAILURE() << "the listing did not end";
  return listing;
}

// Renames the open `file` to `name` in the folder `folder` holds, never over
// an existing name, as the store is put in place.
inline NTSTATUS RenameByHandle(HANDLE file, HANDLE folder, std::wstring_view name) {
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  const std::size_t length = offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes;
  std::vector<std::uint64_t> buffer((length + sizeof(wchar_t) + 7) / 8);
  FILE_RENAME_INFORMATION header{};
  header.ReplaceIfExists = FALSE;
  header.RootDirectory = folder;
  header.FileNameLength = static_cast<ULONG>(nameBytes);
  auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
  std::memcpy(bytes, &header, offsetof(FILE_RENAME_INFORMATION, FileName));
  std::memcpy(bytes + offsetof(FILE_RENAME_INFORMATION, FileName), name.data(), nameBytes);
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(file, &io, buffer.data(), static_cast<ULONG>(length), FileRenameInformation);
}

// Marks the open `file` for deletion, as a failed store is taken away.
inline NTSTATUS MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFORMATION disposition{};
  disposition.DoDeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

}  // namespace van_tide::testing::win32
