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

// Where a walk down the folders of `path` starts: the root path of a drive
// ("C:\"), a share with the separators that follow ("\\server\share\"), and
// behind a device prefix the drive ("\\?\C:\") or the share
// ("\\?\UNC\server\share\"). Nothing before it is ever queried or
// created: those are not folders, and asking for a piece of them ("\\?\UNC",
// "C:") names something other than the path.
std::size_t VantideWalkStartLength(std::wstring_view path) noexcept;

// True when every member of `path` from `from` on (a position at the start of
// a member, such as VantideWalkStartLength gives) names the same entry for a
// reader of the whole path as for the walk, which opens each member relative
// to the folder above it, exactly as written. Outside "\\?\" and "\??\",
// Windows rewrites the whole path first:
// - a trailing space or period (the last member loses them all, any other a
//   single period; "." and ".." are resolved away);
// - a DOS device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9 and the superscript
//   digits, CONIN$, CONOUT$), also with an extension or blanks before it,
//   names the device instead of the file, but only as the last member.
// Behind those prefixes names are read as written, and only names of dots
// alone fail. Everywhere a colon fails, which the file system reads as a
// stream ("x::$INDEX_ALLOCATION" is the folder x itself), and so does
// U+0000, where Windows' path functions end the string.
bool VantideAreMembersReadAsWritten(std::wstring_view path, std::size_t from) noexcept;

// True when a walk from the top down opens exactly the folders that a reader
// of the whole path opens: the members read alike (above), behind a device
// prefix only a drive or a share follows, and behind "\\?\" or "\??\",
// where only a backslash separates, no slash stands in a name.
bool VantideIsWalkablePath(std::wstring_view path) noexcept;

bool VantideIsAbsolutePath(const Path& path);
Path VantideJoinPath(const Path& left, const Path& right);
Path VantideParentPath(const Path& path);

}  // namespace van_tide
