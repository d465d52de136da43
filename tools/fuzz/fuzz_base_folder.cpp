// The base-folder lookup on arbitrary environment values: the answer is the
// stored value exactly or nothing; what it hands out is absolute, walkable
// and free of members made of dots alone; an unset or empty variable (or one
// of another name) gives nothing; a lookup that runs out of memory raises
// std::bad_alloc and nothing else, and no other lookup raises at all.
//
// Input: the choices (how the variable is set, under which name, which name is
// looked up, which fault is planned) are FuzzedDataProvider integers read from
// the end; the rest, from the front, is the value as little-endian UTF-16 code
// units (an odd last byte is dropped, NUL units are left out).
#include "fs/base_folder.h"
#include "fs/path.h"
#include "fuzz_check.h"
#include "platform/win32.h"
#include "standin/standin.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace standin = van_tide::standin;
using van_tide::Path;

// Names compare without regard to case: the first four are two variables
// under two spellings each.
constexpr const wchar_t* kNames[] = {L"APPDATA",      L"LOCALAPPDATA", L"AppData",
                                     L"localAppData", L"TEMP",         L"APPDATA_"};
constexpr int kNameCount = static_cast<int>(std::size(kNames));

enum Setting : int { kSetValue, kSetEmpty, kUnset, kSettingCount };
enum PlannedFault : int { kNoFault, kOutOfMemory, kOtherError, kFaultCount };

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto upper = [](wchar_t c) {
      return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    };
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Counted here rather than asked of the path rules: after a device prefix
// ("\\?\", "\\.\", "\??\") every member, server and share names included,
// must hold something other than dots.
bool HasDotsOnlyMember(std::wstring_view path) {
  std::size_t position = 0;
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[3]) &&
      ((IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.')) ||
       (path[1] == L'?' && path[2] == L'?'))) {
    position = 4;
  }
  while (position < path.size()) {
    while (position < path.size() && IsSeparator(path[position])) ++position;
    const std::size_t begin = position;
    while (position < path.size() && !IsSeparator(path[position])) ++position;
    const std::wstring_view member = path.substr(begin, position - begin);
    if (!member.empty() && member.find_first_not_of(L'.') == std::wstring_view::npos) return true;
  }
  return false;
}

// Also counted here: a member Windows rewrites at the end of a path (a
// trailing blank or period) or reads as a stream (a colon), anywhere after a
// drive designator that starts the path or follows a device prefix.
bool HasMemberWindowsRewrites(std::wstring_view path) {
  // Behind "\\?\" and "\??\" every reader takes a name as written: only a
  // stream's colon still reads otherwise.
  const bool literal = path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\");
  std::size_t position = 0;
  bool first = true;
  while (position < path.size()) {
    while (position < path.size() && IsSeparator(path[position])) ++position;
    const std::size_t begin = position;
    while (position < path.size() && !IsSeparator(path[position])) ++position;
    const std::wstring_view member = path.substr(begin, position - begin);
    const bool drive = member.size() == 2 && member[1] == L':' && (first || begin == 4);
    first = false;
    if (member.empty() || drive || member == L"?" || member == L"??" || member == L".") continue;
    if (member.find(L':') != std::wstring_view::npos) return true;
    if (!literal && (member.back() == L' ' || member.back() == L'.')) return true;
  }
  return false;
}

bool IsDotsOnly(std::wstring_view member) {
  return !member.empty() && member.find_first_not_of(L'.') == std::wstring_view::npos;
}

// The member that starts at `*position`; `*position` moves past it and one
// separator.
std::wstring_view NextMember(std::wstring_view path, std::size_t* position) {
  const std::size_t begin = *position;
  while (*position < path.size() && !IsSeparator(path[*position])) ++*position;
  const std::wstring_view member = path.substr(begin, *position - begin);
  if (*position < path.size()) ++*position;
  return member;
}

// A server or share name of dots alone in the root: "\\..\share", "\\.",
// "\\?\UNC\..\share", "\\?\UNC\server\.".
bool HasDotsOnlyNameInRoot(std::wstring_view path) {
  if (path.size() < 3 || !IsSeparator(path[0])) return false;
  const bool devicePrefix = path.size() >= 4 && IsSeparator(path[3]) &&
                            ((IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.')) ||
                             (path[1] == L'?' && path[2] == L'?'));
  std::size_t position = 4;
  if (devicePrefix) {
    if (!SameName(NextMember(path, &position), L"UNC")) return false;
    const std::wstring_view server = NextMember(path, &position);
    return IsDotsOnly(server) || IsDotsOnly(NextMember(path, &position));
  }
  if (!IsSeparator(path[1])) return false;
  position = 2;
  return IsDotsOnly(NextMember(path, &position));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int setting = input.ConsumeIntegralInRange<int>(0, kSettingCount - 1);
  const wchar_t* setName = kNames[input.ConsumeIntegralInRange<int>(0, kNameCount - 1)];
  const wchar_t* lookupName = kNames[input.ConsumeIntegralInRange<int>(0, kNameCount - 1)];
  const int fault = input.ConsumeIntegralInRange<int>(0, kFaultCount - 1);
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();

  Path value;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit != L'\0') value.push_back(unit);
  }

  standin::Reset();
  // Another variable always holds a usable folder, so that a lookup of the
  // wrong name has something to find.
  standin::SetEnvironmentVariable(L"USERPROFILE", L"C:\\Users\\me");
  if (setting == kSetValue) standin::SetEnvironmentVariable(setName, value);
  if (setting == kSetEmpty) standin::SetEnvironmentVariable(setName, L"");
  if (fault == kOutOfMemory)
    standin::InjectFault(standin::Fault{.api = standin::Api::WideDupEnv, .error = ENOMEM});
  if (fault == kOtherError)
    standin::InjectFault(standin::Fault{.api = standin::Api::WideDupEnv, .error = EINVAL});

  Path result;
  bool outOfMemory = false;
  bool raisedSomethingElse = false;
  try {
    result = van_tide::VantideGetBaseFolder(lookupName);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  } catch (...) {
    raisedSomethingElse = true;
  }
  VANTIDE_FUZZ_CHECK(!raisedSomethingElse);
  VANTIDE_FUZZ_CHECK(outOfMemory == (fault == kOutOfMemory));
  VANTIDE_FUZZ_CHECK(standin::OutstandingEnvCopies() == 0);
  if (outOfMemory) return 0;

  const bool found = setting != kUnset && SameName(setName, lookupName);
  const Path stored = found && setting == kSetValue ? value : Path{};
  if (fault == kOtherError || stored.empty()) VANTIDE_FUZZ_CHECK(result.empty());
  VANTIDE_FUZZ_CHECK(result.empty() || result == stored);
  if (!result.empty()) {
    VANTIDE_FUZZ_CHECK(van_tide::VantideIsAbsolutePath(result));
    VANTIDE_FUZZ_CHECK(van_tide::VantideIsWalkablePath(result));
    // Nor in the root: a server or share name of dots alone ("\\..\share",
    // "\\?\UNC\server\.") names nothing, and a join turns "\\." into the
    // device prefix "\\.\". Found by this target (seeds dots-server and
    // dots-share).
    VANTIDE_FUZZ_CHECK(!HasDotsOnlyNameInRoot(result));
    VANTIDE_FUZZ_CHECK(!HasDotsOnlyMember(result));
    VANTIDE_FUZZ_CHECK(!HasMemberWindowsRewrites(result));
  }
  // And nothing usable is lost on the way: a stored absolute, walkable value
  // comes back whole, however long and whatever it holds.
  if (fault == kNoFault && !stored.empty() && van_tide::VantideIsAbsolutePath(stored) &&
      van_tide::VantideIsWalkablePath(stored)) {
    VANTIDE_FUZZ_CHECK(result == stored);
  }
  return 0;
}
