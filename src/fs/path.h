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

bool VantideIsAbsolutePath(const Path& path);
Path VantideJoinPath(const Path& left, const Path& right);
Path VantideParentPath(const Path& path);

}  // namespace van_tide
