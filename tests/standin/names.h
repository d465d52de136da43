// Names and paths as the stand-in reads them (names.cpp), for the files that
// look paths up. Internal to the stand-in: tests and tools use standin.h.
#pragma once

#include "standin/win32_api.h"

#include <string>
#include <string_view>
#include <vector>

namespace van_tide::standin {

// A path after lexical resolution: a root ("C:" or "\\server\share", as
// written) and the names below it, "." and ".." already applied.
struct Location {
  std::wstring root;
  std::vector<std::wstring> names;
  bool trailingSeparator = false;  // a separator followed the last name
  bool device = false;             // the last name is a DOS device: the path names the device
};

// The order of a folder's children, keyed by their upper-cased names: the
// listing order of NTFS.
struct ListingOrder {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// Names compare, and the environment's variable names too, through this
// fixed upper-casing.
wchar_t UpperUnit(wchar_t c);
std::wstring Upper(std::wstring_view text);

bool IsLetter(wchar_t c);
bool HasDriveDesignator(std::wstring_view text);
bool IsValidName(std::wstring_view name);
// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and the superscript port digits),
// CONIN$, CONOUT$, in any case, also followed by blanks, an extension or a
// colon.
bool IsDeviceName(std::wstring_view name);
// Text for a message: ASCII as it is, every other character as '?'.
std::string Narrow(std::wstring_view text);
bool IsLiteral(std::wstring_view text);

// `text` as a root and names, normalised as Windows does (a relative path
// against the current folder). ERROR_SUCCESS, or the error Windows gives for
// such a path.
DWORD ParsePath(std::wstring_view text, Location* location);

}  // namespace van_tide::standin
