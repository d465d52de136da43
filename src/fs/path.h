// Windows path rules, applied lexically: the absolute test, joining and the
// parent. Nothing here touches the file system, and nothing normalises a path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace van_tide {

// UTF-16 text, one code unit per element (wchar_t is wider on Linux, which
// changes nothing: every element holds one code unit).
using Path = std::wstring;

constexpr bool VantideIsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

// A letter A-Z or a-z followed by a colon at the start of `text`.
bool VantideStartsWithDriveDesignator(std::wstring_view text) noexcept;

// The path starts with "\\?\", "\\.\" or "\??\" (a device prefix) as its
// root name.
bool VantideHasDevicePrefix(std::wstring_view path) noexcept;

// Lengths of the root name and of the root path (root name plus the run of
// separators after it).
std::size_t VantideRootNameLength(std::wstring_view path) noexcept;
std::size_t VantideRootPathLength(std::wstring_view path) noexcept;

// Where a walk down the folders of `path` starts: the root path and, behind a
// device prefix, the drive ("\\?\C:\") or the share ("\\?\UNC\server\share\")
// with the separators that follow. Nothing before it is ever queried or
// created: those are not folders, and asking for a piece of them ("\\?\UNC",
// "C:") names something other than the path.
std::size_t VantideWalkStartLength(std::wstring_view path) noexcept;

// True when a walk from the top down examines exactly the folders that the file
// system opens for `path`: no member made of dots alone ("." and ".." are
// resolved by the file system before it looks at anything, so a walk that
// stops at a missing "x" in "x\..\y" never sees "y"), and behind a device
// prefix only a drive or a share.
bool VantideIsWalkablePath(std::wstring_view path) noexcept;

bool VantideIsAbsolutePath(const Path& path);
Path VantideJoinPath(const Path& left, const Path& right);
Path VantideParentPath(const Path& path);

}  // namespace van_tide
