// Laws of the path rules on arbitrary UTF-16 text, and of the walk by handle
// on a small machine with folders, a file and a junction.
//
// Input: little-endian UTF-16 code units (an odd last byte is dropped). The
// first '|' (a character no Windows name may hold) splits it into a left and
// a right path; without one, the right path is empty.
#include "fs/folder_walk.h"
#include "fs/path.h"
#include "fuzz_check.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using van_tide::Path;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A plain name: nothing that makes a join take its root-name or rooted turns
// (no leading separator, no drive designator at the start).
bool IsPlainRelative(std::wstring_view name) {
  if (!name.empty() && IsSeparator(name[0])) return false;
  const bool letter =
      name.size() >= 2 && ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
  return !(letter && name[1] == L':');
}

bool HasSeparator(std::wstring_view text) {
  for (wchar_t c : text) {
    if (IsSeparator(c)) return true;
  }
  return false;
}

// Every run of separators as one backslash: what is left of a path once the
// spelling of its separators no longer counts.
std::wstring Collapsed(std::wstring_view path) {
  std::wstring out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) {
      out.push_back(path[i]);
    } else if (i == 0 || !IsSeparator(path[i - 1])) {
      out.push_back(L'\\');
    }
  }
  return out;
}

void CheckParent(const Path& path) {
  const Path parent = van_tide::VantideParentPath(path);
  VANTIDE_FUZZ_CHECK(parent.size() <= path.size());
  VANTIDE_FUZZ_CHECK(StartsWith(path, parent));
  if (van_tide::VantideIsAbsolutePath(path)) VANTIDE_FUZZ_CHECK(van_tide::VantideIsAbsolutePath(parent));

  // Taking the parent over and over settles on a path that is its own parent
  // and all root, and does so before running out of code units to drop.
  Path current = path;
  std::size_t steps = 0;
  for (;;) {
    const Path next = van_tide::VantideParentPath(current);
    if (next == current) break;
    VANTIDE_FUZZ_CHECK(next.size() < current.size());
    current = next;
    ++steps;
    VANTIDE_FUZZ_CHECK(steps <= path.size() + 1);
  }
  VANTIDE_FUZZ_CHECK(van_tide::VantideRootPathLength(current) == current.size());
}

void CheckJoin(const Path& left, const Path& right) {
  const Path joined = van_tide::VantideJoinPath(left, right);
  const std::wstring_view rightRest = std::wstring_view{right}.substr(van_tide::VantideRootNameLength(right));
  const std::wstring_view leftRootName =
      std::wstring_view{left}.substr(0, van_tide::VantideRootNameLength(left));

  if (joined != right) {
    VANTIDE_FUZZ_CHECK(EndsWith(joined, rightRest));
    VANTIDE_FUZZ_CHECK(StartsWith(joined, leftRootName));
  }
  VANTIDE_FUZZ_CHECK(joined.size() <= left.size() + 1 + right.size());
  if (van_tide::VantideIsAbsolutePath(right)) VANTIDE_FUZZ_CHECK(joined == right);

  if (!IsPlainRelative(right)) return;
  // A plain name put under an absolute folder stays below it.
  if (van_tide::VantideIsAbsolutePath(left)) {
    VANTIDE_FUZZ_CHECK(van_tide::VantideIsAbsolutePath(joined));
    VANTIDE_FUZZ_CHECK(StartsWith(joined, left));
  }
  // The parent undoes the join of one name, unless the name is empty, the
  // folder ends in a separator (the parent drops it too) or the join grew the
  // root itself ("\??" and "x" make the device prefix "\??\x").
  if (!right.empty() && !HasSeparator(right) && (left.empty() || !IsSeparator(left.back())) &&
      van_tide::VantideRootPathLength(joined) <= left.size()) {
    VANTIDE_FUZZ_CHECK(van_tide::VantideParentPath(joined) == left);
  }
}

// The machine the walk runs against.
void MakeMachine() {
  van_tide::standin::Reset();
  van_tide::standin::AddDirectory(L"C:\\Users\\me\\AppData\\Roaming\\Vantide");
  van_tide::standin::AddDirectory(L"C:\\a\\b\\c");
  van_tide::standin::AddFile(L"C:\\a\\f", "x");
  van_tide::standin::AddDirectoryLink(L"C:\\a\\j", L"C:\\a\\b");
  van_tide::standin::AddDirectory(L"\\\\server\\share\\d");
}

// The members of `path` below its walk start, as written.
std::vector<std::wstring> MembersBelowStart(std::wstring_view path) {
  std::vector<std::wstring> members;
  std::size_t position = van_tide::VantideWalkStartLength(path);
  while (position < path.size()) {
    const std::size_t begin = position;
    while (position < path.size() && !IsSeparator(path[position])) ++position;
    if (position > begin) members.emplace_back(path.substr(begin, position - begin));
    while (position < path.size() && IsSeparator(path[position])) ++position;
  }
  return members;
}

void CheckFolderWalk(const Path& dir) {
  MakeMachine();
  van_tide::standin::ClearCalls();
  // The caller's flag may be either way before the call; only a failed open
  // may write it.
  const bool before = dir.size() % 2 == 1;
  bool missing = before;
  std::wstring rest = L"untouched";
  HRESULT status = 0;
  bool held = false;
  {
    van_tide::VantideFolder folder;
    status = van_tide::VantideOpenFolderPath(dir, &folder, &missing, &rest);
    held = folder.IsOpen();
    // Only the folder the walk ended at is still open.
    VANTIDE_FUZZ_CHECK(van_tide::standin::OpenHandleCount() == (held ? 1U : 0U));
  }
  VANTIDE_FUZZ_CHECK_STATUS(status <= 0, status);
  VANTIDE_FUZZ_CHECK(van_tide::standin::OpenHandleCount() == 0);
  if (status == 0) VANTIDE_FUZZ_CHECK(held);

  // A success, or a path refused before anything is opened, leaves the flag
  // alone; any other failure writes it, true only for errors 2 and 3.
  const bool absent =
      status == static_cast<HRESULT>(0x80070002U) || status == static_cast<HRESULT>(0x80070003U);
  if (status == 0 || van_tide::standin::Calls().empty()) {
    VANTIDE_FUZZ_CHECK_STATUS(missing == before, status);
  } else {
    VANTIDE_FUZZ_CHECK_STATUS(missing == absent, status);
  }

  // The walk start is opened by path, once and first; every member below it
  // relative to the one before, exactly as written, one at a time and in
  // order, and nothing is created.
  const std::vector<van_tide::standin::Call>& calls = van_tide::standin::Calls();
  if (calls.empty()) {
    VANTIDE_FUZZ_CHECK_STATUS(status == van_tide::kStatusInvalidName, status);
    return;
  }
  VANTIDE_FUZZ_CHECK(calls.front().api == van_tide::standin::Api::CreateFileW);
  const std::size_t nul = dir.find(L'\0');
  const std::wstring_view written = std::wstring_view{dir}.substr(0, nul);
  VANTIDE_FUZZ_CHECK(calls.front().path == written.substr(0, van_tide::VantideWalkStartLength(written)));
  const std::vector<std::wstring> members = MembersBelowStart(written);
  std::size_t opened = 0;
  for (const van_tide::standin::Call& call : calls) {
    if (call.api == van_tide::standin::Api::CreateFileW) VANTIDE_FUZZ_CHECK(&call == &calls.front());
    if (call.api != van_tide::standin::Api::NtCreateFile) continue;
    VANTIDE_FUZZ_CHECK(call.args.at(2) == FILE_OPEN);
    // A check's fresh handle on a folder already opened, by the empty name.
    if ((call.args.at(3) & FILE_DIRECTORY_FILE) != 0) continue;
    ++opened;
    // The platform reads a path's text up to its first NUL, the walk a
    // counted name whole: with a NUL inside, that is all that can be said.
    if (nul != Path::npos) continue;
    VANTIDE_FUZZ_CHECK(opened <= members.size());
    const std::wstring& member = members[opened - 1];
    VANTIDE_FUZZ_CHECK(EndsWith(call.path, member) && call.path.size() > member.size() &&
                       IsSeparator(call.path[call.path.size() - member.size() - 1]));
  }
  if (nul != Path::npos) return;
  if (status == 0) VANTIDE_FUZZ_CHECK(opened == members.size());
  // What is left to create starts at the member found missing.
  if (missing && status < 0 && opened > 0) {
    std::wstring expected;
    for (std::size_t i = opened - 1; i < members.size(); ++i) {
      if (!expected.empty()) expected.push_back(L'\\');
      expected += members[i];
    }
    VANTIDE_FUZZ_CHECK(rest == expected);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Path text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::size_t bar = text.find(L'|');
  const Path left = text.substr(0, bar);
  const Path right = bar == Path::npos ? Path{} : text.substr(bar + 1);

  CheckParent(text);
  CheckParent(left);
  CheckParent(right);
  CheckJoin(left, right);
  CheckJoin(right, left);
  CheckFolderWalk(left);
  return 0;
}
