// Names and paths: how the stand-in compares, orders and checks names, and
// how it reads the text of a path into a root and names (a Location) for the
// lookup in files.cpp.
//
// - Names compare without regard to case as NTFS does, through a fixed
//   upper-casing of UTF-16 code units that does not depend on the process
//   locale: Unicode's simple upper case for ASCII, Latin-1 Supplement, Latin
//   Extended-A, Greek and Cyrillic, less U+0131 and U+017F (which would
//   become ASCII I and S); other letters compare as written. "\\?\", "\??\"
//   and "\\.\" prefixes are accepted before a drive or UNC\server\share.
//   Relative paths resolve against the current folder (C:\ after Reset).
// - Paths are normalised as Windows does before the file system sees them:
//   both separators, runs of them collapse, "." and ".." apply lexically
//   (never above the root), a member ending in a single period loses it
//   ("x.\y" is "x\y"; "...\y" stays), and unless the path ends in a
//   separator its last member loses all trailing periods and spaces
//   ("f.txt. " is "f.txt"; a last member "..." vanishes, leaving a trailing
//   separator). "\\.\" paths are normalised too. After "\\?\" or "\??\"
//   (backslashes exactly) nothing is: only "\" separates, names keep their
//   periods and spaces, and an empty member, "." or ".." gives
//   ERROR_INVALID_NAME, as the file system refuses such names. <>"/|?* or a
//   control character in a name give ERROR_INVALID_NAME.
// - Outside "\\?\" and "\??\", a last member that is a DOS device name ("CON",
//   "nul.txt", "Com1 ") names the device, wherever the path points: attribute
//   queries report a plain file (FILE_ATTRIBUTE_ARCHIVE), an open reads
//   nothing and swallows what is written, as NUL does, and deleting or moving
//   it is refused (ERROR_ACCESS_DENIED). In the middle of a path the name is a
//   folder's like any other.
// - A colon in a member starts a stream, as NTFS reads it, literal paths
//   included: "x::$DATA" is the file x, "x::$INDEX_ALLOCATION" and
//   "x:$I30:$INDEX_ALLOCATION" the folder x; the stand-in keeps no named
//   streams, so any other stream is not found.
// - Listing gives "." and ".." first (except at a root), then names in the
//   ordinal order of their upper-cased UTF-16 code units, as NTFS does (a
//   character beyond the BMP, a surrogate pair there, sorts below U+E000).
#include "standin/names.h"

#include "standin/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <string_view>

namespace van_tide::standin {

// ---------------------------------------------------------------------------
// Case and order
// ---------------------------------------------------------------------------

namespace {

// NTFS and the environment compare names through a fixed upper-case table of
// UTF-16 code units, the same on every machine whatever its locale, so the
// stand-in keeps its own table instead of asking the C library (whose answer
// depends on the process locale). It holds Unicode's simple upper-case
// mappings for ASCII, Latin-1 Supplement, Latin Extended-A, Greek and
// Cyrillic (with its supplement), less the two that would make a non-ASCII
// letter ASCII (U+0131 dotless i, U+017F long s), which Windows leaves alone.
// Other letters compare as they are written.
struct CaseRange {
  std::uint32_t first;  // a lower-case unit
  std::uint32_t last;
  std::int32_t delta;  // added to reach the upper case
  bool alternate;      // only every other unit from `first` is lower case
};

constexpr CaseRange kUpperCase[] = {
    {0x0061, 0x007A, -0x20, false}, {0x00B5, 0x00B5, 0x2E7, false}, {0x00E0, 0x00F6, -0x20, false},
    {0x00F8, 0x00FE, -0x20, false}, {0x00FF, 0x00FF, 0x79, false},  {0x0101, 0x012F, -1, true},
    {0x0133, 0x0137, -1, true},     {0x013A, 0x0148, -1, true},     {0x014B, 0x0177, -1, true},
    {0x017A, 0x017E, -1, true},     {0x0371, 0x0373, -1, true},     {0x0377, 0x0377, -1, false},
    {0x037B, 0x037D, 0x182, false}, {0x03AC, 0x03AC, -0x26, false}, {0x03AD, 0x03AF, -0x25, false},
    {0x03B1, 0x03C1, -0x20, false}, {0x03C2, 0x03C2, -0x1F, false}, {0x03C3, 0x03CB, -0x20, false},
    {0x03CC, 0x03CC, -0x40, false}, {0x03CD, 0x03CE, -0x3F, false}, {0x03D0, 0x03D0, -0x3E, false},
    {0x03D1, 0x03D1, -0x39, false}, {0x03D5, 0x03D5, -0x2F, false}, {0x03D6, 0x03D6, -0x36, false},
    {0x03D7, 0x03D7, -0x08, false}, {0x03D9, 0x03EF, -1, true},     {0x03F0, 0x03F0, -0x56, false},
    {0x03F1, 0x03F1, -0x50, false}, {0x03F2, 0x03F2, 0x07, false},  {0x03F3, 0x03F3, -0x74, false},
    {0x03F5, 0x03F5, -0x60, false}, {0x03F8, 0x03F8, -1, false},    {0x03FB, 0x03FB, -1, false},
    {0x0430, 0x044F, -0x20, false}, {0x0450, 0x045F, -0x50, false}, {0x0461, 0x0481, -1, true},
    {0x048B, 0x04BF, -1, true},     {0x04C2, 0x04CE, -1, true},     {0x04CF, 0x04CF, -0x0F, false},
    {0x04D1, 0x052F, -1, true},
};

}  // namespace

wchar_t UpperUnit(wchar_t c) {
  const auto unit = static_cast<std::uint32_t>(c);
  for (const CaseRange& range : kUpperCase) {
    if (unit < range.first) break;  // the ranges are in order
    if (unit > range.last) continue;
    if (range.alternate && (unit - range.first) % 2 != 0) return c;
    return static_cast<wchar_t>(static_cast<std::int32_t>(unit) + range.delta);
  }
  return c;
}

std::wstring Upper(std::wstring_view text) {
  std::wstring result(text);
  for (wchar_t& c : result) c = UpperUnit(c);
  return result;
}

namespace {

// Windows orders names by their UTF-16 code units. A wchar_t here holds a
// whole code point; one beyond the BMP is a surrogate pair (D800-DFFF) there,
// which sorts below U+E000-U+FFFF although its code point is above them.
std::uint32_t CodeUnitRank(wchar_t c) {
  const auto unit = static_cast<std::uint32_t>(c);
  return unit >= 0xE000U && unit <= 0xFFFFU ? unit + 0x110000U : unit;
}

}  // namespace

bool ListingOrder::operator()(const std::wstring& a, const std::wstring& b) const {
  const auto before = [](wchar_t x, wchar_t y) { return CodeUnitRank(x) < CodeUnitRank(y); };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), before);
}

// ---------------------------------------------------------------------------
// Names and paths
// ---------------------------------------------------------------------------

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool HasDriveDesignator(std::wstring_view text) {
  return text.size() >= 2 && IsLetter(text[0]) && text[1] == L':';
}

bool IsValidName(std::wstring_view name) {
  for (wchar_t c : name) {
    if (c < 0x20 || std::wcschr(L"<>:\"/|?*", c) != nullptr) return false;
  }
  return true;
}

bool IsDeviceName(std::wstring_view name) {
  std::wstring stem = Upper(name.substr(0, name.find_first_of(L".:")));
  stem.erase(stem.find_last_not_of(L' ') + 1);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (stem == device) return true;
  }
  if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0)) return false;
  const wchar_t port = stem[3];
  return (port >= L'0' && port <= L'9') || port == L'\u00B9' || port == L'\u00B2' || port == L'\u00B3';
}

std::string Narrow(std::wstring_view text) {
  std::string result;
  for (wchar_t c : text) result += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
  return result;
}

// \\?\ and \??\, written with backslashes exactly, hand the rest of the path
// to the file system as it is. Every other form, \\.\ included, is normalised
// first, as Windows turns it into its full form.
bool IsLiteral(std::wstring_view text) { return text.starts_with(L"\\\\?\\") || text.starts_with(L"\\??\\"); }

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool SameName(std::wstring_view a, std::wstring_view b) { return Upper(a) == Upper(b); }

// What separates members: either slash, but only the backslash in a literal
// path, where "/" is a character of a name.
bool Separates(wchar_t c, bool literal) { return literal ? c == L'\\' : IsSeparator(c); }

// NTFS reads what follows a colon as a stream of the member before it. The
// default streams name the member itself; the stand-in keeps no others.
DWORD ApplyStreams(Location* location) {
  for (std::size_t i = 0; i < location->names.size(); ++i) {
    std::wstring& name = location->names[i];
    const std::size_t colon = name.find(L':');
    if (colon == std::wstring::npos) continue;
    const std::wstring stream = Upper(std::wstring_view(name).substr(colon));
    const bool isLast = i + 1 == location->names.size();
    if (colon == 0 ||
        (stream != L"::$DATA" && stream != L"::$INDEX_ALLOCATION" && stream != L":$I30:$INDEX_ALLOCATION")) {
      return isLast ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    name.erase(colon);
  }
  return ERROR_SUCCESS;
}

DWORD CheckNames(Location* location) {
  if (const DWORD error = ApplyStreams(location); error != ERROR_SUCCESS) return error;
  for (const std::wstring& name : location->names) {
    if (!IsValidName(name)) return ERROR_INVALID_NAME;
  }
  return ERROR_SUCCESS;
}

// Windows' normalisation of the members in `rest`: runs of separators
// collapse; "." and ".." apply lexically, never above the root; a member that
// ends in a single period loses it ("x.\y" is "x\y", while "x..\y" and
// "...\y" stay); and unless the text ends in a separator, the last member
// loses every trailing period and space ("f.txt. " is "f.txt"). A last member
// left empty ("...", " ") is gone and the path ends in a separator instead:
// "C:\a\..." names C:\a\ . Members above the last keep their spaces, so
// "C:\x \" is a folder named "x ".
DWORD AppendNormalisedNames(std::wstring_view rest, Location* location) {
  std::size_t i = 0;
  bool anyName = false;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) ++i;
    const std::size_t start = i;
    while (i < rest.size() && !IsSeparator(rest[i])) ++i;
    if (i == start) break;
    anyName = true;
    std::wstring_view name = rest.substr(start, i - start);
    if (name == L".") continue;
    if (name == L"..") {
      if (!location->names.empty()) location->names.pop_back();
      continue;
    }
    if (name.size() >= 2 && name.back() == L'.' && name[name.size() - 2] != L'.') name.remove_suffix(1);
    location->names.emplace_back(name);
  }
  location->trailingSeparator = anyName && IsSeparator(rest.back());
  if (anyName && !location->trailingSeparator && !location->names.empty()) {
    std::wstring& last = location->names.back();
    last.erase(last.find_last_not_of(L". ") + 1);  // all of it when nothing else is there
    if (last.empty()) {
      location->names.pop_back();
      location->trailingSeparator = true;
    }
  }
  // Windows looks for a device in the last member only, and before any file
  // system sees the path.
  location->device =
      !location->trailingSeparator && !location->names.empty() && IsDeviceName(location->names.back());
  if (location->device) return ERROR_SUCCESS;
  return CheckNames(location);
}

// The members after \\?\ or \??\ as the file system reads them: each
// backslash ends one, nothing is trimmed, and an empty member, "." or ".."
// (which a file system never has as a name, so it refuses them with
// STATUS_OBJECT_NAME_INVALID), like a "/" in a name, is ERROR_INVALID_NAME.
// `rest` is empty or starts with the backslash after the root.
DWORD AppendLiteralNames(std::wstring_view rest, Location* location) {
  std::size_t start = 1;
  while (start < rest.size()) {
    const std::size_t end = std::min(rest.find(L'\\', start), rest.size());
    const std::wstring_view name = rest.substr(start, end - start);
    if (name.empty() || name == L"." || name == L"..") return ERROR_INVALID_NAME;
    location->names.emplace_back(name);
    start = end + 1;
  }
  location->trailingSeparator = !location->names.empty() && rest.back() == L'\\';
  return CheckNames(location);
}

DWORD AppendNames(std::wstring_view rest, bool literal, Location* location) {
  return literal ? AppendLiteralNames(rest, location) : AppendNormalisedNames(rest, location);
}

// \\server\share followed by `rest`; `text` starts after the two separators.
DWORD ParseServerPath(std::wstring_view text, bool literal, Location* location) {
  std::size_t i = 0;
  while (i < text.size() && !Separates(text[i], literal)) ++i;
  const std::wstring_view server = text.substr(0, i);
  if (literal) {
    if (i < text.size()) ++i;
  } else {
    while (i < text.size() && IsSeparator(text[i])) ++i;
  }
  const std::size_t shareStart = i;
  while (i < text.size() && !Separates(text[i], literal)) ++i;
  const std::wstring_view share = text.substr(shareStart, i - shareStart);
  if (server.empty() || share.empty()) return ERROR_BAD_PATHNAME;
  if (!IsValidName(server) || !IsValidName(share)) return ERROR_INVALID_NAME;
  location->root = L"\\\\" + std::wstring(server) + L"\\" + std::wstring(share);
  return AppendNames(text.substr(i), literal, location);
}

}  // namespace

DWORD ParsePath(std::wstring_view text, Location* location) {
  *location = Location{};
  if (text.empty()) return ERROR_PATH_NOT_FOUND;
  const Location& current = S().current;

  // A device prefix (\\?\, \??\, \\.\) before a drive or UNC\server\share.
  const bool literal = IsLiteral(text);
  if (literal || (text.size() >= 4 && IsSeparator(text[0]) && IsSeparator(text[1]) &&
                  (text[2] == L'?' || text[2] == L'.') && IsSeparator(text[3]))) {
    const std::wstring_view rest = text.substr(4);
    if (rest.size() >= 4 && SameName(rest.substr(0, 3), L"UNC") && Separates(rest[3], literal)) {
      return ParseServerPath(rest.substr(4), literal, location);
    }
    // The first member names the device; "C:x" is no drive.
    std::size_t end = 0;
    while (end < rest.size() && !Separates(rest[end], literal)) ++end;
    if (end != 2 || !HasDriveDesignator(rest)) return ERROR_PATH_NOT_FOUND;  // no such device
    location->root = std::wstring(rest.substr(0, 2));
    return AppendNames(rest.substr(2), literal, location);
  }
  if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    return ParseServerPath(text.substr(2), false, location);
  }
  if (HasDriveDesignator(text)) {
    location->root = std::wstring(text.substr(0, 2));
    const std::wstring_view rest = text.substr(2);
    // C:x is relative to the current folder when that is on drive C:, else to
    // the root of C:.
    if ((rest.empty() || !IsSeparator(rest[0])) && SameName(location->root, current.root)) {
      location->names = current.names;
    }
    return AppendNames(rest, false, location);
  }
  location->root = current.root;
  if (!IsSeparator(text[0])) location->names = current.names;
  return AppendNames(text, false, location);
}

}  // namespace van_tide::standin
