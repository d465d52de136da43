#include "fs/path.h"

#include <algorithm>
#include <iterator>

namespace van_tide {
namespace {

constexpr bool IsAsciiLetter(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

std::size_t SeparatorRunEnd(std::wstring_view path, std::size_t from) noexcept {
  while (from < path.size() && VantideIsSeparator(path[from])) ++from;
  return from;
}

}  // namespace

bool VantideStartsWithDriveDesignator(std::wstring_view text) noexcept {
  return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == L':';
}

bool VantideHasDevicePrefix(std::wstring_view path) noexcept {
  if (path.size() < 4 || !VantideIsSeparator(path[0]) || !VantideIsSeparator(path[3])) return false;
  if (path.size() > 4 && VantideIsSeparator(path[4])) return false;
  const bool slashForm = VantideIsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.');
  const bool ntForm = path[1] == L'?' && path[2] == L'?';
  return slashForm || ntForm;
}

std::size_t VantideRootNameLength(std::wstring_view path) noexcept {
  if (path.size() < 2) return 0;
  if (VantideStartsWithDriveDesignator(path)) return 2;
  if (!VantideIsSeparator(path[0])) return 0;
  if (VantideHasDevicePrefix(path)) return 3;
  if (path.size() >= 3 && VantideIsSeparator(path[1]) && !VantideIsSeparator(path[2])) {
    std::size_t end = 3;
    while (end < path.size() && !VantideIsSeparator(path[end])) ++end;
    return end;
  }
  return 0;
}

std::size_t VantideRootPathLength(std::wstring_view path) noexcept {
  return SeparatorRunEnd(path, VantideRootNameLength(path));
}

namespace {

constexpr wchar_t AsciiUpper(wchar_t c) noexcept {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

std::size_t ComponentEnd(std::wstring_view path, std::size_t from) noexcept {
  while (from < path.size() && !VantideIsSeparator(path[from])) ++from;
  return from;
}

// "UNC" in any case, then a separator: the share form of a device path.
bool StartsWithUncMarker(std::wstring_view text) noexcept {
  return text.size() >= 4 && AsciiUpper(text[0]) == L'U' && AsciiUpper(text[1]) == L'N' &&
         AsciiUpper(text[2]) == L'C' && VantideIsSeparator(text[3]);
}

// What follows a device prefix: a drive ("C:\") or a share ("UNC\server\share").
struct DeviceTarget {
  std::size_t length = 0;  // of the drive or the share; 0 when it is neither
  bool isShare = false;
  std::wstring_view server;  // of a share; empty when missing
  std::wstring_view share;
};

DeviceTarget ReadDeviceTarget(std::wstring_view rest) noexcept {
  DeviceTarget target;
  if (VantideStartsWithDriveDesignator(rest) && rest.size() > 2 && VantideIsSeparator(rest[2])) {
    target.length = 2;
    return target;
  }
  if (!StartsWithUncMarker(rest)) return target;
  // Nothing normalises a device path: one separator each, no empty names.
  constexpr std::size_t serverBegin = 4;
  const std::size_t serverEnd = ComponentEnd(rest, serverBegin);
  const std::size_t shareBegin = serverEnd < rest.size() ? serverEnd + 1 : serverEnd;
  const std::size_t shareEnd = ComponentEnd(rest, shareBegin);
  target.length = shareEnd;
  target.isShare = true;
  target.server = rest.substr(serverBegin, serverEnd - serverBegin);
  target.share = rest.substr(shareBegin, shareEnd - shareBegin);
  return target;
}

// What Windows compares with its device names: the name up to its first
// period, without the blanks before that period ("nul .txt" is NUL).
std::wstring_view DeviceStem(std::wstring_view name) noexcept {
  std::wstring_view stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  return stem;
}

bool EqualsUpper(std::wstring_view text, std::wstring_view upper) noexcept {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiUpper(text[i]) != upper[i]) return false;
  }
  return true;
}

bool IsDeviceName(std::wstring_view name) noexcept {
  const std::wstring_view stem = DeviceStem(name);
  constexpr std::wstring_view kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::any_of(std::begin(kDevices), std::end(kDevices),
                  [stem](std::wstring_view device) { return EqualsUpper(stem, device); })) {
    return true;
  }
  if (stem.size() != 4 ||
      !(EqualsUpper(stem.substr(0, 3), L"COM") || EqualsUpper(stem.substr(0, 3), L"LPT"))) {
    return false;
  }
  // A digit, or the superscripts one, two and three, which Windows takes for
  // port numbers too.
  const wchar_t port = stem[3];
  return (port >= L'0' && port <= L'9') || port == L'\u00B9' || port == L'\u00B2' || port == L'\u00B3';
}

// "\\server" as the root name: a share's path without a device prefix.
bool IsServerRoot(std::wstring_view path) noexcept {
  return VantideRootNameLength(path) > 2 && !VantideHasDevicePrefix(path) &&
         !VantideStartsWithDriveDesignator(path);
}

bool IsLiteralPath(std::wstring_view path) noexcept {
  return path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\");
}

// A colon names a stream, even behind "\\?\"; and Windows' path functions
// end a string at U+0000, so "a" followed by it and "b" would be read as "a".
constexpr std::wstring_view kNeverInAName{L":\0", 2};

// A server name, or a share named behind a device prefix, is never queried
// on its own and Windows looks for no device there; a trailing period or
// space, or a colon, is rewritten there as anywhere else.
bool IsRootMemberReadAsWritten(std::wstring_view name) noexcept {
  return !name.empty() && name.back() != L'.' && name.back() != L' ' &&
         name.find_first_of(kNeverInAName) == std::wstring_view::npos;
}

}  // namespace

bool VantideAreMembersReadAsWritten(std::wstring_view path, std::size_t from) noexcept {
  const bool literal = IsLiteralPath(path);
  for (std::size_t position = from; position < path.size();) {
    const std::size_t end = ComponentEnd(path, position);
    const std::wstring_view name = path.substr(position, end - position);
    position = SeparatorRunEnd(path, end);
    // Behind "\\?\" the file system sees the names as they are, as the
    // walk opens them; names of dots alone it refuses, and a colon still
    // names a stream.
    if (literal) {
      const bool dotsOnly = name.find_first_not_of(L'.') == std::wstring_view::npos;
      if (dotsOnly || name.find_first_of(kNeverInAName) != std::wstring_view::npos) return false;
      continue;
    }
    // Elsewhere a reader of the whole path rewrites what the walk, opening
    // each name as written, would not: trailing periods and blanks in any
    // member, and a device name as the last one. A device name in the
    // middle names a folder for both.
    if (!IsRootMemberReadAsWritten(name)) return false;
    if (position == path.size() && IsDeviceName(name)) return false;
  }
  return true;
}

std::size_t VantideWalkStartLength(std::wstring_view path) noexcept {
  const std::size_t start = VantideRootPathLength(path);
  // A server's root is no folder: the share below it is where a walk starts.
  if (IsServerRoot(path)) {
    const std::size_t shareEnd = ComponentEnd(path, start);
    return shareEnd == start ? start : SeparatorRunEnd(path, shareEnd);
  }
  if (!VantideHasDevicePrefix(path)) return start;
  const DeviceTarget target = ReadDeviceTarget(path.substr(start));
  if (target.length == 0) return start;
  return SeparatorRunEnd(path, start + target.length);
}

bool VantideIsWalkablePath(std::wstring_view path) noexcept {
  const std::size_t rootName = VantideRootNameLength(path);
  if (VantideHasDevicePrefix(path)) {
    const DeviceTarget target = ReadDeviceTarget(path.substr(VantideRootPathLength(path)));
    if (target.length == 0) return false;
    // A share needs both names, each read as written.
    if (target.isShare &&
        (!IsRootMemberReadAsWritten(target.server) || !IsRootMemberReadAsWritten(target.share))) {
      return false;
    }
    // Behind "\\?\" a slash is part of a name, while the walk would take it
    // for a separator.
    if (IsLiteralPath(path) && path.find(L'/') != std::wstring_view::npos) return false;
  } else if (rootName > 2) {
    // A server root: "\\." and "\\?" followed by a separator make a device
    // prefix once a name is joined to them. The share is part of the walk's
    // start, so it is judged here.
    const std::wstring_view server = path.substr(2, rootName - 2);
    const std::size_t shareBegin = VantideRootPathLength(path);
    const std::wstring_view share = path.substr(shareBegin, ComponentEnd(path, shareBegin) - shareBegin);
    if (server == L"?" || !IsRootMemberReadAsWritten(server) || !IsRootMemberReadAsWritten(share))
      return false;
  }
  return VantideAreMembersReadAsWritten(path, VantideWalkStartLength(path));
}

bool VantideIsAbsolutePath(const Path& path) {
  const std::size_t rootName = VantideRootNameLength(path);
  if (rootName == 0) return false;
  if (VantideStartsWithDriveDesignator(path)) {
    return path.size() >= 3 && VantideIsSeparator(path[2]);
  }
  return true;  // a server or device root name
}

Path VantideJoinPath(const Path& left, const Path& right) {
  if (VantideIsAbsolutePath(right)) return right;

  const std::wstring_view leftView{left};
  const std::wstring_view rightView{right};
  const std::size_t leftRootName = VantideRootNameLength(leftView);
  const std::size_t rightRootName = VantideRootNameLength(rightView);
  if (rightRootName != 0 && rightView.substr(0, rightRootName) != leftView.substr(0, leftRootName)) {
    return right;
  }

  const std::wstring_view rightRest = rightView.substr(rightRootName);
  if (!rightRest.empty() && VantideIsSeparator(rightRest.front())) {
    Path joined;
    joined.reserve(leftRootName + rightRest.size());
    joined.append(leftView.substr(0, leftRootName)).append(rightRest);
    return joined;
  }

  // A drive designator alone ("C:") names the drive's current folder, so
  // nothing may be put between it and a relative name; a longer root name
  // ("\\server") needs a separator before its first component.
  const bool leftIsRootNameAlone = left.size() == leftRootName;
  const bool separatorNeeded = leftIsRootNameAlone ? leftRootName >= 3 : !VantideIsSeparator(left.back());

  Path joined;
  joined.reserve(left.size() + (separatorNeeded ? 1 : 0) + rightRest.size());
  joined.append(left);
  if (separatorNeeded) joined.push_back(L'\\');
  joined.append(rightRest);
  return joined;
}

Path VantideParentPath(const Path& path) {
  const std::size_t rootPath = VantideRootPathLength(path);
  std::size_t end = path.size();
  if (end == rootPath) return path;
  while (end > rootPath && !VantideIsSeparator(path[end - 1])) --end;
  if (end == rootPath) return path.substr(0, rootPath);
  while (end > rootPath && VantideIsSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

}  // namespace van_tide
