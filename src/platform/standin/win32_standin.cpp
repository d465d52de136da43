// The in-memory stand-in for the Win32 subset the tool uses. See the header
// for the model; the comments here explain where it copies a Windows habit
// that is easy to get wrong.
#include "platform/standin/win32_standin.h"

#include "platform/win32.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

namespace van_tide::standin {
namespace {

// ---------------------------------------------------------------------------
// Case and order
// ---------------------------------------------------------------------------

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

// Windows orders names by their UTF-16 code units. A wchar_t here holds a
// whole code point; one beyond the BMP is a surrogate pair (D800-DFFF) there,
// which sorts below U+E000-U+FFFF although its code point is above them.
std::uint32_t CodeUnitRank(wchar_t c) {
  const auto unit = static_cast<std::uint32_t>(c);
  return unit >= 0xE000U && unit <= 0xFFFFU ? unit + 0x110000U : unit;
}

// The order of a folder's children, keyed by their upper-cased names: the
// listing order of NTFS.
struct ListingOrder {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    const auto before = [](wchar_t x, wchar_t y) { return CodeUnitRank(x) < CodeUnitRank(y); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), before);
  }
};

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

enum class Kind { Folder, File, FolderLink, FileLink };

struct Node {
  Kind kind = Kind::Folder;
  bool isRoot = false;
  std::wstring name;    // as written when created: case is kept
  std::string bytes;    // a file's live contents, what reads see
  std::string durable;  // what of them a crash leaves
  std::wstring target;  // a link's target, a full path
  std::uint64_t index = 0;
  std::map<std::wstring, std::shared_ptr<Node>, ListingOrder> children;  // keyed by the upper-cased name
};
using NodePtr = std::shared_ptr<Node>;

// A path after lexical resolution: a root ("C:" or "\\server\share", as
// written) and the names below it, "." and ".." already applied.
struct Location {
  std::wstring root;
  std::vector<std::wstring> names;
  bool trailingSeparator = false;  // a separator followed the last name
};

struct OpenFile {
  NodePtr node;
  std::wstring path;
  DWORD access = 0;
  DWORD share = 0;
  DWORD volume = 0;
  std::size_t position = 0;
};

struct OpenFind {
  std::wstring path;
  std::vector<WIN32_FIND_DATAW> entries;
  std::size_t next = 0;
};

struct PlannedFault {
  Fault fault;
  int seen = 0;
};

// A move the volume's log has not committed yet: a crash undoes it.
struct PendingMove {
  NodePtr node;
  NodePtr from;  // the folder it left and the name it had there
  std::wstring fromName;
  NodePtr to;  // the folder it entered and the name it took
  std::wstring toName;
  NodePtr replaced;  // the item it replaced, back after an undo
  DWORD volume = 0;
};

struct EnvironmentEntry {
  std::wstring name;
  std::wstring value;
};

constexpr std::uintptr_t kFirstHandle = 4;  // Windows hands out multiples of 4
constexpr int kMaxLinkDepth = 32;
constexpr const wchar_t* kFirstUser = L"S-1-5-21-1001";

struct State {
  std::map<std::wstring, NodePtr> roots;  // keyed by the upper-cased root
  Location current;
  std::map<std::wstring, EnvironmentEntry> environment;  // keyed upper-cased
  std::wstring user;
  std::vector<PendingMove> pendingMoves;
  std::uint64_t nextIndex = 1;

  // The process under test.
  std::vector<PlannedFault> faults;
  std::map<std::size_t, Fault> positionFaults;  // keyed by index in the record
  std::optional<Fault> firing;                  // the position fault deciding the running call
  std::map<std::size_t, std::function<void()>> hooks;
  std::optional<std::size_t> crashAt;
  bool crashPending = false;  // the running call is the last one
  bool crashed = false;
  std::vector<Call> calls;
  std::optional<std::size_t> currentIndex;  // the running call's index in the record
  int depth = 0;                            // stand-in calls running (hooks nest them)
  int hookDepth = 0;                        // calls made by a hook are another process's
  std::map<std::uintptr_t, OpenFile> files;
  std::map<std::uintptr_t, OpenFind> finds;
  std::vector<OpenFile> held;  // by other processes
  std::uintptr_t nextHandle = kFirstHandle;
  std::set<void*> localBuffers;
  DWORD lastError = 0;

  // A process starts on the machine that Reset gives.
  State() { Clear(); }
  ~State() { ReleaseBuffers(); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void ReleaseBuffers() {
    for (void* buffer : localBuffers) std::free(buffer);
    localBuffers.clear();
  }

  // A new process: nothing of the old one is left but the machine.
  void NewProcess() {
    ReleaseBuffers();
    faults.clear();
    positionFaults.clear();
    firing.reset();
    hooks.clear();
    crashAt.reset();
    crashPending = false;
    crashed = false;
    calls.clear();
    currentIndex.reset();
    files.clear();
    finds.clear();
    held.clear();
    nextHandle = kFirstHandle;
    lastError = 0;
  }

  void Clear() {
    NewProcess();
    roots.clear();
    environment.clear();
    pendingMoves.clear();
    nextIndex = 1;
    user = kFirstUser;
    current = Location{L"C:", {}, false};
    auto drive = std::make_shared<Node>();
    drive->name = L"C:";
    drive->isRoot = true;
    drive->index = nextIndex++;
    roots[L"C:"] = drive;
  }
};

State& S() {
  static State state;
  return state;
}

// ---------------------------------------------------------------------------
// Names and paths
// ---------------------------------------------------------------------------

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool HasDriveDesignator(std::wstring_view text) {
  return text.size() >= 2 && IsLetter(text[0]) && text[1] == L':';
}

bool SameName(std::wstring_view a, std::wstring_view b) { return Upper(a) == Upper(b); }

bool IsValidName(std::wstring_view name) {
  for (wchar_t c : name) {
    if (c < 0x20 || std::wcschr(L"<>:\"/|?*", c) != nullptr) return false;
  }
  return true;
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

// What separates members: either slash, but only the backslash in a literal
// path, where "/" is a character of a name.
bool Separates(wchar_t c, bool literal) { return literal ? c == L'\\' : IsSeparator(c); }

DWORD CheckNames(const Location& location) {
  for (const std::wstring& name : location.names) {
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
  return CheckNames(*location);
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
  return CheckNames(*location);
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

// ---------------------------------------------------------------------------
// Lookup
// ---------------------------------------------------------------------------

bool IsLink(const Node& node) { return node.kind == Kind::FolderLink || node.kind == Kind::FileLink; }
bool IsFolder(const Node& node) { return node.kind == Kind::Folder; }

DWORD AttributesOf(const Node& node) {
  switch (node.kind) {
    case Kind::Folder:
      return FILE_ATTRIBUTE_DIRECTORY;
    case Kind::File:
      return FILE_ATTRIBUTE_ARCHIVE;
    case Kind::FolderLink:
      return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    case Kind::FileLink:
      return FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return 0;
}

DWORD VolumeSerial(std::wstring_view rootKey) {
  std::uint32_t hash = 2166136261U;
  for (wchar_t c : rootKey) hash = (hash ^ static_cast<std::uint32_t>(c)) * 16777619U;
  return hash;
}

NodePtr FindChild(const Node& folder, std::wstring_view name) {
  const auto found = folder.children.find(Upper(name));
  return found == folder.children.end() ? nullptr : found->second;
}

// The outcome of a lookup. When only the last member is missing, `parent`
// and `name` tell where it would be created (for a followed link: where its
// target would be).
struct Lookup {
  DWORD error = ERROR_SUCCESS;
  NodePtr node;
  NodePtr parent;
  std::wstring name;
  std::wstring rootKey;
};

Lookup Failed(DWORD error) {
  Lookup lookup;
  lookup.error = error;
  return lookup;
}

// A missing drive reads as a missing folder; a missing share as an unknown
// server (53) or, on a known server, an unknown share name (67).
DWORD MissingRootError(const std::wstring& rootKey) {
  if (HasDriveDesignator(rootKey)) return ERROR_PATH_NOT_FOUND;
  const std::wstring server = rootKey.substr(0, rootKey.find(L'\\', 2) + 1);
  const auto known = S().roots.lower_bound(server);
  const bool serverKnown = known != S().roots.end() && known->first.compare(0, server.size(), server) == 0;
  return serverKnown ? ERROR_BAD_NET_NAME : ERROR_BAD_NETPATH;
}

Lookup Resolve(const Location& location, bool followLast, int depth);

Lookup FollowLink(const Node& link, int depth) {
  if (depth >= kMaxLinkDepth) return Failed(ERROR_CANT_RESOLVE_FILENAME);
  Location target;
  const DWORD error = ParsePath(link.target, &target);
  if (error != ERROR_SUCCESS) return Failed(error);
  return Resolve(target, true, depth + 1);
}

Lookup Resolve(const Location& location, bool followLast, int depth) {
  Lookup lookup;
  lookup.rootKey = Upper(location.root);
  const auto root = S().roots.find(lookup.rootKey);
  if (root == S().roots.end()) return Failed(MissingRootError(lookup.rootKey));
  NodePtr folder = root->second;
  if (location.names.empty()) {
    lookup.node = folder;
    return lookup;
  }
  for (std::size_t i = 0; i < location.names.size(); ++i) {
    const std::wstring& name = location.names[i];
    NodePtr child = FindChild(*folder, name);
    if (i + 1 == location.names.size()) {
      if (child == nullptr) {
        lookup.error = ERROR_FILE_NOT_FOUND;
        lookup.parent = folder;
        lookup.name = name;
        return lookup;
      }
      if (followLast && IsLink(*child)) return FollowLink(*child, depth);
      lookup.node = child;
      lookup.parent = folder;
      lookup.name = name;
      return lookup;
    }
    if (child == nullptr) return Failed(ERROR_PATH_NOT_FOUND);
    if (IsLink(*child)) {
      const Lookup target = FollowLink(*child, depth);
      if (target.error == ERROR_CANT_RESOLVE_FILENAME) return target;
      if (target.error != ERROR_SUCCESS || !IsFolder(*target.node)) return Failed(ERROR_PATH_NOT_FOUND);
      child = target.node;
    } else if (!IsFolder(*child)) {
      return Failed(ERROR_PATH_NOT_FOUND);
    }
    folder = child;
  }
  return lookup;  // not reached: the loop returns at the last name
}

// A lookup that honours a trailing separator: it names a folder, so a folder
// link before it is followed (its target's attributes are reported, without
// the reparse bit, as on Wine) and a file before it is an invalid name.
Lookup LookupPath(const Location& location, bool followLast) {
  Lookup lookup = Resolve(location, followLast || location.trailingSeparator, 0);
  if (lookup.error == ERROR_SUCCESS && location.trailingSeparator && !IsFolder(*lookup.node)) {
    return Failed(ERROR_INVALID_NAME);
  }
  return lookup;
}

Lookup LookupText(LPCWSTR text, bool followLast) {
  if (text == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  Location location;
  const DWORD error = ParsePath(text, &location);
  if (error != ERROR_SUCCESS) return Failed(error);
  return LookupPath(location, followLast);
}

// ---------------------------------------------------------------------------
// Calls, faults and the last error
// ---------------------------------------------------------------------------

std::wstring Text(LPCWSTR text) { return text == nullptr ? std::wstring() : std::wstring(text); }

Call NewCall(Api api, std::wstring path, std::vector<DWORD> args = {}) {
  Call call;
  call.api = api;
  call.path = std::move(path);
  call.args = std::move(args);
  return call;
}

// Adds the call to the record, then lets the hook planned for its position act
// (as another process would, so what the hook calls is left out of the
// record), and arms the crash when this is the call it follows.
void Record(Call call) {
  State& s = S();
  if (s.hookDepth > 0) return;
  const std::size_t index = s.calls.size();
  s.calls.push_back(std::move(call));
  if (const auto hook = s.hooks.find(index); hook != s.hooks.end()) {
    const std::function<void()> action = std::move(hook->second);
    s.hooks.erase(hook);
    struct HookScope {
      HookScope() { ++S().hookDepth; }
      ~HookScope() { --S().hookDepth; }
      HookScope(const HookScope&) = delete;
      HookScope& operator=(const HookScope&) = delete;
    } scope;
    action();
  }
  s.currentIndex = index;
  if (s.crashAt == index) {
    s.crashAt.reset();
    s.crashPending = true;
  }
}

void Record(Api api, std::wstring path, std::vector<DWORD> args = {}) {
  Record(NewCall(api, std::move(path), std::move(args)));
}

// The planned fault that is due for this call, if any. A fault planned for
// the call's position wins; faults planned by name count the call all the
// same, so adding one by position does not shift the others.
const Fault* DueFault(Api api, std::wstring_view path) {
  State& s = S();
  if (s.hookDepth > 0) return nullptr;
  const Fault* due = nullptr;
  for (PlannedFault& planned : s.faults) {
    const Fault& fault = planned.fault;
    if (fault.api != api || (!fault.path.empty() && fault.path != path)) continue;
    const int index = planned.seen++;
    const bool inWindow = index >= fault.skip && (fault.count < 0 || index - fault.skip < fault.count);
    if (due == nullptr && inWindow) due = &fault;
  }
  if (s.currentIndex.has_value()) {
    if (const auto found = s.positionFaults.find(*s.currentIndex); found != s.positionFaults.end()) {
      s.firing = std::move(found->second);
      s.positionFaults.erase(found);
      due = &*s.firing;
    }
  }
  return due;
}

template <typename T>
T Fail(DWORD error, T result) {
  S().lastError = error;
  return result;
}

HANDLE ToHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::uintptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

std::uintptr_t NewHandleValue() {
  const std::uintptr_t value = S().nextHandle;
  S().nextHandle += 4;
  return value;
}

OpenFile* FindOpenFile(HANDLE handle) {
  const auto found = S().files.find(FromHandle(handle));
  return found == S().files.end() ? nullptr : &found->second;
}

std::wstring HandlePath(HANDLE handle) {
  if (const OpenFile* file = FindOpenFile(handle)) return file->path;
  const auto find = S().finds.find(FromHandle(handle));
  return find == S().finds.end() ? std::wstring() : find->second.path;
}

// Whether any handle on the machine, the process's own or one another
// process holds, satisfies `test`.
template <typename Test>
bool AnyHandle(Test test) {
  const auto own = [&](const auto& entry) { return test(entry.second); };
  return std::any_of(S().files.begin(), S().files.end(), own) ||
         std::any_of(S().held.begin(), S().held.end(), test);
}

bool OpenWithoutShare(const Node& node, DWORD share) {
  return AnyHandle(
      [&](const OpenFile& open) { return open.node.get() == &node && (open.share & share) == 0; });
}

bool IsOpen(const Node& node) {
  return AnyHandle([&](const OpenFile& open) { return open.node.get() == &node; });
}

// A new open must allow what every open handle does, and every open handle
// must allow what the new one asks for. Opens without read or write access
// (attribute queries) take part in neither direction.
bool SharingConflict(const Node& node, DWORD access, DWORD share) {
  const DWORD dataAccess = GENERIC_READ | GENERIC_WRITE;
  if ((access & dataAccess) == 0) return false;
  return AnyHandle([&](const OpenFile& open) {
    if (open.node.get() != &node || (open.access & dataAccess) == 0) return false;
    return ((access & GENERIC_READ) != 0 && (open.share & FILE_SHARE_READ) == 0) ||
           ((access & GENERIC_WRITE) != 0 && (open.share & FILE_SHARE_WRITE) == 0) ||
           ((open.access & GENERIC_READ) != 0 && (share & FILE_SHARE_READ) == 0) ||
           ((open.access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0);
  });
}

NodePtr NewNode(Kind kind, std::wstring name) {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  node->name = std::move(name);
  node->index = S().nextIndex++;
  return node;
}

void Insert(Node& folder, const NodePtr& node) { folder.children[Upper(node->name)] = node; }
void Detach(Node& folder, const Node& node) { folder.children.erase(Upper(node.name)); }

bool Contains(const Node& folder, const Node& candidate) {
  for (const auto& [key, child] : folder.children) {
    if (child.get() == &candidate || Contains(*child, candidate)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Durability and crashes
// ---------------------------------------------------------------------------

// Puts a pending move back, unless the item has left the name the move gave
// it (deleted, replaced, moved on for good) or its old name has been taken.
void Undo(const PendingMove& move) {
  if (FindChild(*move.to, move.toName) != move.node) return;
  const NodePtr atOldName = FindChild(*move.from, move.fromName);
  if (atOldName != nullptr && atOldName != move.node) return;  // a change of case finds the item itself
  Detach(*move.to, *move.node);
  move.node->name = move.fromName;
  Insert(*move.from, move.node);
  if (move.replaced != nullptr && FindChild(*move.to, move.replaced->name) == nullptr) {
    Insert(*move.to, move.replaced);
  }
}

void FallBackToDurable(Node& folder) {
  for (const auto& [key, child] : folder.children) {
    if (child->kind == Kind::File) child->bytes = child->durable;
    if (child->kind == Kind::Folder) FallBackToDurable(*child);
  }
}

// The process dies and the machine comes back with what reached the disk.
void Crash() {
  State& s = S();
  s.crashPending = false;
  s.crashed = true;
  s.files.clear();
  s.finds.clear();
  s.held.clear();
  for (auto move = s.pendingMoves.rbegin(); move != s.pendingMoves.rend(); ++move) Undo(*move);
  s.pendingMoves.clear();
  for (const auto& [key, root] : s.roots) FallBackToDurable(*root);
}

// Brackets every Win32 function: InPlatformCall tells it, and the process dies
// once the call CrashAfterCall names is over (its result already made, so it
// returns normally). Hooks run inside it and nest.
class CallScope {
 public:
  CallScope() {
    if (S().depth++ == 0) S().currentIndex.reset();
  }
  ~CallScope() {
    // Still counted as inside the call while crashing: the crash allocates.
    if (S().depth == 1 && S().crashPending) Crash();
    --S().depth;
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// After a crash every call fails as one on a handle that no longer exists.
bool Dead() { return S().crashed; }

// ---------------------------------------------------------------------------
// Data protection
// ---------------------------------------------------------------------------

// Blob layout (little-endian): "SDPB", scope (1 = machine), sealing user
// (length in UTF-16 units, units), description (same), payload length, the
// payload XORed with a keystream drawn from the user, and last a 64-bit
// FNV-1a checksum of everything before it and of the entropy. FNV-1a's steps
// are one-to-one, so any single changed byte changes the checksum.
constexpr char kBlobMagic[4] = {'S', 'D', 'P', 'B'};

constexpr std::uint64_t kFnvBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

std::uint64_t Fnv1a(std::uint64_t hash, const BYTE* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

void Keystream(std::wstring_view user, BYTE* data, std::size_t size) {
  std::uint64_t state = kFnvBasis;
  for (wchar_t c : user) state = (state ^ static_cast<std::uint32_t>(c)) * kFnvPrime;
  for (std::size_t i = 0; i < size; ++i) {
    // splitmix64
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    data[i] = static_cast<BYTE>(data[i] ^ static_cast<BYTE>(z ^ (z >> 31)));
  }
}

void PutU32(std::vector<BYTE>* out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<BYTE>(value >> shift));
}

void PutText(std::vector<BYTE>* out, std::wstring_view text) {
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  for (wchar_t c : text) {
    const auto unit = static_cast<std::uint16_t>(c);
    out->push_back(static_cast<BYTE>(unit));
    out->push_back(static_cast<BYTE>(unit >> 8));
  }
}

std::uint64_t BlobChecksum(const BYTE* data, std::size_t size, const DATA_BLOB* entropy) {
  std::uint64_t hash = Fnv1a(kFnvBasis, data, size);
  if (entropy != nullptr && entropy->pbData != nullptr) hash = Fnv1a(hash, entropy->pbData, entropy->cbData);
  return hash;
}

class BlobReader {
 public:
  BlobReader(const BYTE* data, std::size_t size) : data_(data), size_(size) {}
  bool U32(std::uint32_t* value) {
    if (size_ - offset_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<std::uint32_t>(data_[offset_++]) << (8 * i);
    return true;
  }
  bool Text(std::wstring* text) {
    std::uint32_t length = 0;
    if (!U32(&length) || (size_ - offset_) / 2 < length) return false;
    text->clear();
    for (std::uint32_t i = 0; i < length; ++i, offset_ += 2) {
      text->push_back(static_cast<wchar_t>(data_[offset_] | (data_[offset_ + 1] << 8)));
    }
    return true;
  }
  bool Bytes(std::size_t count, const BYTE** bytes) {
    if (size_ - offset_ < count) return false;
    *bytes = data_ + offset_;
    offset_ += count;
    return true;
  }
  std::size_t Offset() const { return offset_; }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

void* NewLocalBuffer(std::size_t size) {
  void* buffer = std::malloc(size == 0 ? 1 : size);
  if (buffer == nullptr) throw std::bad_alloc();
  S().localBuffers.insert(buffer);
  return buffer;
}

bool BlobArgumentsValid(const DATA_BLOB* in, const DATA_BLOB* out) {
  return in != nullptr && out != nullptr && (in->cbData == 0 || in->pbData != nullptr);
}

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------

bool Matches(std::wstring_view pattern, std::wstring_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == L'*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip) {
      if (Matches(pattern.substr(1), name.substr(skip))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (pattern[0] != L'?' && UpperUnit(pattern[0]) != UpperUnit(name[0])) return false;
  return Matches(pattern.substr(1), name.substr(1));
}

WIN32_FIND_DATAW FindEntry(std::wstring_view name, const Node& node) {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = AttributesOf(node);
  if (node.kind == Kind::File) {
    data.nFileSizeLow = static_cast<DWORD>(node.bytes.size());
    data.nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(node.bytes.size()) >> 32);
  }
  if (IsLink(node)) data.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
  const std::size_t length = std::min(name.size(), MAX_PATH - 1);
  std::copy_n(name.begin(), length, data.cFileName);
  data.cFileName[length] = L'\0';
  return data;
}

}  // namespace

// ---------------------------------------------------------------------------
// Control
// ---------------------------------------------------------------------------

const char* ApiName(Api api) {
  switch (api) {
    case Api::CreateFileW:
      return "CreateFileW";
    case Api::ReadFile:
      return "ReadFile";
    case Api::WriteFile:
      return "WriteFile";
    case Api::FlushFileBuffers:
      return "FlushFileBuffers";
    case Api::CloseHandle:
      return "CloseHandle";
    case Api::GetFileInformationByHandle:
      return "GetFileInformationByHandle";
    case Api::GetFileSizeEx:
      return "GetFileSizeEx";
    case Api::GetFileAttributesW:
      return "GetFileAttributesW";
    case Api::GetFileAttributesExW:
      return "GetFileAttributesExW";
    case Api::CreateDirectoryW:
      return "CreateDirectoryW";
    case Api::MoveFileExW:
      return "MoveFileExW";
    case Api::DeleteFileW:
      return "DeleteFileW";
    case Api::FindFirstFileExW:
      return "FindFirstFileExW";
    case Api::FindNextFileW:
      return "FindNextFileW";
    case Api::FindClose:
      return "FindClose";
    case Api::CryptProtectData:
      return "CryptProtectData";
    case Api::CryptUnprotectData:
      return "CryptUnprotectData";
    case Api::LocalFree:
      return "LocalFree";
    case Api::WideDupEnv:
      return "WideDupEnv";
  }
  return "?";
}

void Reset() { S().Clear(); }

void AddDrive(wchar_t letter) {
  if (!IsLetter(letter)) throw std::invalid_argument("AddDrive: not a drive letter");
  const std::wstring root{UpperUnit(letter), L':'};
  if (S().roots.count(root) != 0) return;
  NodePtr node = NewNode(Kind::Folder, root);
  node->isRoot = true;
  S().roots[root] = node;
}

namespace {

Location SetupLocation(std::wstring_view path) {
  Location location;
  const DWORD error = ParsePath(path, &location);
  if (error != ERROR_SUCCESS) {
    throw std::invalid_argument("stand-in: cannot use the path " + Narrow(path) + " (error " +
                                std::to_string(error) + ")");
  }
  return location;
}

// The folder that holds the last name of `location`, made as needed.
NodePtr SetupParent(const Location& location, std::wstring_view path) {
  const std::wstring key = Upper(location.root);
  auto root = S().roots.find(key);
  if (root == S().roots.end()) {
    if (HasDriveDesignator(location.root)) {
      throw std::invalid_argument("stand-in: no drive for " + Narrow(path) + " (add it with AddDrive)");
    }
    NodePtr share = NewNode(Kind::Folder, location.root);
    share->isRoot = true;
    root = S().roots.emplace(key, share).first;
  }
  NodePtr folder = root->second;
  for (std::size_t i = 0; i + 1 < location.names.size(); ++i) {
    NodePtr child = FindChild(*folder, location.names[i]);
    if (child == nullptr) {
      child = NewNode(Kind::Folder, location.names[i]);
      Insert(*folder, child);
    } else if (IsLink(*child)) {
      const Lookup target = FollowLink(*child, 0);
      if (target.error != ERROR_SUCCESS || !IsFolder(*target.node)) {
        throw std::invalid_argument("stand-in: a link above " + Narrow(path) + " leads to no folder");
      }
      child = target.node;
    } else if (!IsFolder(*child)) {
      throw std::invalid_argument("stand-in: a file stands above " + Narrow(path));
    }
    folder = child;
  }
  return folder;
}

void SetupItem(std::wstring_view path, Kind kind, std::string_view bytes, std::wstring_view target) {
  const Location location = SetupLocation(path);
  if (location.names.empty()) {
    if (kind != Kind::Folder) throw std::invalid_argument("stand-in: a root can only be a folder");
    SetupParent(location, path);  // makes a missing share
    return;
  }
  const NodePtr parent = SetupParent(location, path);
  const NodePtr existing = FindChild(*parent, location.names.back());
  if (kind == Kind::Folder && existing != nullptr && IsFolder(*existing)) return;  // keep its contents
  NodePtr node = NewNode(kind, location.names.back());
  node->bytes = std::string(bytes);
  node->durable = node->bytes;
  node->target = std::wstring(target);
  if (existing != nullptr) Detach(*parent, *existing);
  Insert(*parent, node);
}

Lookup InspectionLookup(std::wstring_view path, bool followLast) {
  Location location;
  if (ParsePath(path, &location) != ERROR_SUCCESS) return Failed(ERROR_INVALID_NAME);
  return LookupPath(location, followLast);
}

}  // namespace

void AddDirectory(std::wstring_view path) { SetupItem(path, Kind::Folder, {}, {}); }
void AddFile(std::wstring_view path, std::string_view bytes) { SetupItem(path, Kind::File, bytes, {}); }
void AddDirectoryLink(std::wstring_view path, std::wstring_view target) {
  SetupItem(path, Kind::FolderLink, {}, target);
}
void AddFileLink(std::wstring_view path, std::wstring_view target) {
  SetupItem(path, Kind::FileLink, {}, target);
}

void SetCurrentFolder(std::wstring_view path) {
  Location location = SetupLocation(path);
  const Lookup lookup = LookupPath(location, true);
  if (lookup.error != ERROR_SUCCESS || !IsFolder(*lookup.node)) {
    throw std::invalid_argument("stand-in: no folder " + Narrow(path) + " to make current");
  }
  location.trailingSeparator = false;
  S().current = location;
}

void Remove(std::wstring_view path) {
  const Location location = SetupLocation(path);
  if (location.names.empty()) {
    S().roots.erase(Upper(location.root));
    return;
  }
  const Lookup lookup = Resolve(location, false, 0);
  if (lookup.error == ERROR_SUCCESS) Detach(*lookup.parent, *lookup.node);
}

bool Exists(std::wstring_view path) { return InspectionLookup(path, false).error == ERROR_SUCCESS; }

bool IsDirectory(std::wstring_view path) {
  const Lookup lookup = InspectionLookup(path, false);
  return lookup.error == ERROR_SUCCESS && (AttributesOf(*lookup.node) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string FileContents(std::wstring_view path) {
  const Lookup lookup = InspectionLookup(path, true);
  if (lookup.error != ERROR_SUCCESS || lookup.node->kind != Kind::File) return {};
  return lookup.node->bytes;
}

std::vector<std::wstring> ListNames(std::wstring_view folder) {
  std::vector<std::wstring> names;
  const Lookup lookup = InspectionLookup(folder, true);
  if (lookup.error != ERROR_SUCCESS || !IsFolder(*lookup.node)) return names;
  for (const auto& [key, child] : lookup.node->children) names.push_back(child->name);
  return names;
}

void SetEnvironmentVariable(std::wstring_view name, std::wstring_view value) {
  S().environment[Upper(name)] = EnvironmentEntry{std::wstring(name), std::wstring(value)};
}

void UnsetEnvironmentVariable(std::wstring_view name) { S().environment.erase(Upper(name)); }

void SetCurrentUser(std::wstring_view sid) { S().user = std::wstring(sid); }

void InjectFault(const Fault& fault) { S().faults.push_back(PlannedFault{fault, 0}); }

void InjectFaultAtCall(std::size_t index, const Fault& fault) { S().positionFaults[index] = fault; }

void CrashAfterCall(std::size_t index) { S().crashAt = index; }

bool Crashed() { return S().crashed; }

void RunBeforeCall(std::size_t index, std::function<void()> action) { S().hooks[index] = std::move(action); }

void HoldOpen(std::wstring_view path, DWORD access, DWORD share) {
  const Lookup lookup = LookupPath(SetupLocation(path), true);
  if (lookup.error != ERROR_SUCCESS) {
    throw std::invalid_argument("stand-in: nothing to hold open at " + Narrow(path));
  }
  const DWORD volume = VolumeSerial(lookup.rootKey);
  S().held.push_back(OpenFile{lookup.node, std::wstring(path), access, share, volume, 0});
}

void ReleaseHeld() { S().held.clear(); }

void Restart() { S().NewProcess(); }

bool InPlatformCall() { return S().depth > 0; }

const std::vector<Call>& Calls() { return S().calls; }

void ClearCalls() { S().calls.clear(); }

std::vector<std::wstring> CallPaths(Api api) {
  std::vector<std::wstring> paths;
  for (const Call& call : S().calls) {
    if (call.api == api) paths.push_back(call.path);
  }
  return paths;
}

std::size_t OpenHandleCount() { return S().files.size() + S().finds.size(); }

std::size_t OutstandingLocalBuffers() { return S().localBuffers.size(); }

std::vector<std::wstring> OpenHandlePaths() {
  std::map<std::uintptr_t, std::wstring> byAge;
  for (const auto& [value, file] : S().files) byAge[value] = file.path;
  for (const auto& [value, find] : S().finds) byAge[value] = find.path;
  std::vector<std::wstring> paths;
  for (auto& [value, path] : byAge) paths.push_back(std::move(path));
  return paths;
}

}  // namespace van_tide::standin

// ---------------------------------------------------------------------------
// The Win32 functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // the helpers above

DWORD GetLastError() {
  const CallScope inCall;
  return S().lastError;
}

void SetLastError(DWORD error) {
  const CallScope inCall;
  S().lastError = error;
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  Record(Api::CreateFileW, Text(fileName),
         {desiredAccess, shareMode, creationDisposition, flagsAndAttributes});
  if (const Fault* fault = DueFault(Api::CreateFileW, Text(fileName))) {
    return Fail(fault->error, INVALID_HANDLE_VALUE);
  }
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING ||
      (creationDisposition == TRUNCATE_EXISTING && (desiredAccess & GENERIC_WRITE) == 0)) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  Location location;
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (const DWORD error = ParsePath(fileName, &location); error != ERROR_SUCCESS) {
    return Fail(error, INVALID_HANDLE_VALUE);
  }
  const bool followLast = (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) == 0;
  Lookup lookup = LookupPath(location, followLast);
  const bool creates = creationDisposition == CREATE_NEW || creationDisposition == CREATE_ALWAYS ||
                       creationDisposition == OPEN_ALWAYS;
  bool existed = true;
  if (lookup.error == ERROR_FILE_NOT_FOUND && creates && lookup.parent != nullptr) {
    if (location.trailingSeparator) return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    if (!IsValidName(lookup.name)) return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    lookup.node = NewNode(Kind::File, lookup.name);
    Insert(*lookup.parent, lookup.node);
    lookup.error = ERROR_SUCCESS;
    existed = false;
  }
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, INVALID_HANDLE_VALUE);
  Node& node = *lookup.node;
  if (existed) {
    if (creationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    if (node.kind == Kind::Folder || node.kind == Kind::FolderLink) {
      if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0 || creationDisposition == CREATE_ALWAYS ||
          creationDisposition == TRUNCATE_EXISTING) {
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
      }
    }
    if (SharingConflict(node, desiredAccess, shareMode))
      return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    // Truncation changes the file's size, which the volume logs at once.
    if (creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING) {
      node.bytes.clear();
      node.durable.clear();
    }
  }
  const std::uintptr_t value = NewHandleValue();
  S().files[value] =
      OpenFile{lookup.node, Text(fileName), desiredAccess, shareMode, VolumeSerial(lookup.rootKey), 0};
  // A successful open reports through the last error whether it created the
  // file (0, CREATE_NEW included) or met an existing one with one of the two
  // dispositions that may or may not create (ERROR_ALREADY_EXISTS).
  if (!existed) {
    S().lastError = ERROR_SUCCESS;
  } else if (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS) {
    S().lastError = ERROR_ALREADY_EXISTS;
  }
  return ToHandle(value);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  const CallScope inCall;
  if (Dead()) {
    if (bytesRead != nullptr) *bytesRead = 0;
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Record(Api::ReadFile, HandlePath(file), {bytesToRead});
  const Fault* fault = DueFault(Api::ReadFile, HandlePath(file));
  if (fault != nullptr) {
    if (fault->shortBy == 0) return Fail(fault->error, FALSE);
    bytesToRead = bytesToRead > fault->shortBy ? bytesToRead - fault->shortBy : 0;
  }
  if (bytesRead != nullptr) *bytesRead = 0;
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (bytesRead == nullptr || overlapped != nullptr || (buffer == nullptr && bytesToRead > 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if ((open->access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (IsFolder(*open->node)) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  const std::string& bytes = open->node->bytes;
  const std::size_t available = open->position < bytes.size() ? bytes.size() - open->position : 0;
  const std::size_t count = std::min<std::size_t>(available, bytesToRead);
  if (count > 0) std::memcpy(buffer, bytes.data() + open->position, count);
  open->position += count;
  *bytesRead = static_cast<DWORD>(count);
  if (fault != nullptr && fault->failAfterTransfer) return Fail(fault->error, FALSE);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  const CallScope inCall;
  if (Dead()) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Record(Api::WriteFile, HandlePath(file), {bytesToWrite});
  const Fault* fault = DueFault(Api::WriteFile, HandlePath(file));
  if (fault != nullptr) {
    if (fault->shortBy == 0) return Fail(fault->error, FALSE);
    bytesToWrite = bytesToWrite > fault->shortBy ? bytesToWrite - fault->shortBy : 0;
  }
  if (bytesWritten != nullptr) *bytesWritten = 0;
  OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (bytesWritten == nullptr || overlapped != nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if ((open->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (IsFolder(*open->node)) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  std::string& bytes = open->node->bytes;
  if (bytes.size() < open->position + bytesToWrite) bytes.resize(open->position + bytesToWrite);
  if (bytesToWrite > 0) std::memcpy(bytes.data() + open->position, buffer, bytesToWrite);
  open->position += bytesToWrite;
  *bytesWritten = bytesToWrite;
  // The disk filled part-way: what was written stays written.
  if (fault != nullptr && fault->failAfterTransfer) return Fail(fault->error, FALSE);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::FlushFileBuffers, HandlePath(file));
  if (const Fault* fault = DueFault(Api::FlushFileBuffers, HandlePath(file)))
    return Fail(fault->error, FALSE);
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((open->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  Node& node = *open->node;
  if (node.kind == Kind::File) node.durable = node.bytes;
  // NTFS commits its log with the flush, and every rename of the volume in it.
  std::erase_if(S().pendingMoves, [&](const PendingMove& move) { return move.volume == open->volume; });
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const std::wstring path = HandlePath(object);
  Record(Api::CloseHandle, path);
  const Fault* fault = DueFault(Api::CloseHandle, path);
  const bool known = S().files.erase(FromHandle(object)) != 0;
  if (fault != nullptr) return Fail(fault->error, FALSE);
  if (!known) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileInformationByHandle, HandlePath(file));
  if (const Fault* fault = DueFault(Api::GetFileInformationByHandle, HandlePath(file))) {
    return Fail(fault->error, FALSE);
  }
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (information == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const Node& node = *open->node;
  *information = BY_HANDLE_FILE_INFORMATION{};
  information->dwFileAttributes = AttributesOf(node);
  information->dwVolumeSerialNumber = open->volume;
  const auto size = static_cast<std::uint64_t>(node.bytes.size());
  information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  information->nFileSizeLow = static_cast<DWORD>(size);
  information->nNumberOfLinks = 1;
  information->nFileIndexHigh = static_cast<DWORD>(node.index >> 32);
  information->nFileIndexLow = static_cast<DWORD>(node.index);
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileSizeEx, HandlePath(file));
  if (const Fault* fault = DueFault(Api::GetFileSizeEx, HandlePath(file))) return Fail(fault->error, FALSE);
  const OpenFile* open = FindOpenFile(file);
  if (open == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  size->QuadPart = static_cast<LONGLONG>(open->node->bytes.size());
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_ATTRIBUTES);
  Record(Api::GetFileAttributesW, Text(fileName));
  if (const Fault* fault = DueFault(Api::GetFileAttributesW, Text(fileName))) {
    return Fail(fault->error, INVALID_FILE_ATTRIBUTES);
  }
  const Lookup lookup = LookupText(fileName, false);
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, INVALID_FILE_ATTRIBUTES);
  return AttributesOf(*lookup.node);
}

BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID fileInformation) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::GetFileAttributesExW, Text(fileName), {static_cast<DWORD>(infoLevel)});
  if (const Fault* fault = DueFault(Api::GetFileAttributesExW, Text(fileName)))
    return Fail(fault->error, FALSE);
  if (infoLevel != GetFileExInfoStandard || fileInformation == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const Lookup lookup = LookupText(fileName, false);
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, FALSE);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  data.dwFileAttributes = AttributesOf(*lookup.node);
  const auto size = static_cast<std::uint64_t>(lookup.node->bytes.size());
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
  *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(fileInformation) = data;
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::CreateDirectoryW, Text(pathName));
  if (const Fault* fault = DueFault(Api::CreateDirectoryW, Text(pathName))) return Fail(fault->error, FALSE);
  if (pathName == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Location location;
  if (const DWORD error = ParsePath(pathName, &location); error != ERROR_SUCCESS) return Fail(error, FALSE);
  // A trailing separator is fine here, and whatever stands at the name (file,
  // link, folder) makes the creation fail the same way.
  const Lookup lookup = Resolve(location, false, 0);
  if (lookup.error == ERROR_FILE_NOT_FOUND && lookup.parent != nullptr) {
    Insert(*lookup.parent, NewNode(Kind::Folder, lookup.name));
    return TRUE;
  }
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, FALSE);
  // Windows refuses to create a drive's root with access denied.
  if (lookup.node->isRoot && HasDriveDesignator(location.root)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  return Fail(ERROR_ALREADY_EXISTS, FALSE);
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Call call = NewCall(Api::MoveFileExW, Text(existingFileName), {flags});
  call.path2 = Text(newFileName);
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::MoveFileExW, Text(existingFileName)))
    return Fail(fault->error, FALSE);
  if (existingFileName == nullptr || newFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Links move as themselves.
  const Lookup source = LookupText(existingFileName, false);
  if (source.error != ERROR_SUCCESS) return Fail(source.error, FALSE);
  if (source.node->isRoot) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (OpenWithoutShare(*source.node, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  Location location;
  if (const DWORD error = ParsePath(newFileName, &location); error != ERROR_SUCCESS)
    return Fail(error, FALSE);
  const Lookup target = Resolve(location, false, 0);
  if (target.error == ERROR_SUCCESS) {
    if (target.node == source.node) {
      // Only the case of the name changes.
    } else if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
      return Fail(ERROR_ALREADY_EXISTS, FALSE);
    } else if (target.node->isRoot || target.node->kind == Kind::Folder ||
               source.node->kind == Kind::Folder || IsOpen(*target.node)) {
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
  } else if (target.error != ERROR_FILE_NOT_FOUND || target.parent == nullptr) {
    return Fail(target.error, FALSE);
  }
  if (location.trailingSeparator && !IsFolder(*source.node)) return Fail(ERROR_INVALID_NAME, FALSE);
  if (source.rootKey != target.rootKey) return Fail(ERROR_NOT_SAME_DEVICE, FALSE);
  if (target.parent == source.node || Contains(*source.node, *target.parent)) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);  // a folder cannot move into itself
  }
  const NodePtr moving = source.node;
  const std::wstring oldName = moving->name;
  Detach(*source.parent, *moving);
  if (target.node != nullptr) Detach(*target.parent, *target.node);
  moving->name = target.name;
  Insert(*target.parent, moving);
  if ((flags & MOVEFILE_WRITE_THROUGH) == 0) {
    const NodePtr replaced = target.node == moving ? nullptr : target.node;
    const DWORD volume = VolumeSerial(source.rootKey);
    S().pendingMoves.push_back(
        PendingMove{moving, source.parent, oldName, target.parent, target.name, replaced, volume});
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::DeleteFileW, Text(fileName));
  if (const Fault* fault = DueFault(Api::DeleteFileW, Text(fileName))) return Fail(fault->error, FALSE);
  const Lookup lookup = LookupText(fileName, false);
  if (lookup.error != ERROR_SUCCESS) return Fail(lookup.error, FALSE);
  const Node& node = *lookup.node;
  if (node.isRoot || node.kind == Kind::Folder || node.kind == Kind::FolderLink) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (OpenWithoutShare(node, FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  // Windows keeps a file opened with FILE_SHARE_DELETE until its last handle
  // closes; here its name goes at once and the handles keep the contents.
  Detach(*lookup.parent, node);
  return TRUE;
}

HANDLE FindFirstFileExW(LPCWSTR fileName, FINDEX_INFO_LEVELS infoLevel, LPVOID findFileData,
                        FINDEX_SEARCH_OPS searchOp, LPVOID searchFilter, DWORD additionalFlags) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  const std::wstring text = Text(fileName);
  Record(Api::FindFirstFileExW, text,
         {static_cast<DWORD>(infoLevel), static_cast<DWORD>(searchOp), additionalFlags});
  if (const Fault* fault = DueFault(Api::FindFirstFileExW, text))
    return Fail(fault->error, INVALID_HANDLE_VALUE);
  if (fileName == nullptr || findFileData == nullptr || searchFilter != nullptr ||
      (infoLevel != FindExInfoStandard && infoLevel != FindExInfoBasic) ||
      (searchOp != FindExSearchNameMatch && searchOp != FindExSearchLimitToDirectories) ||
      (additionalFlags & ~(FIND_FIRST_EX_CASE_SENSITIVE | FIND_FIRST_EX_LARGE_FETCH)) != 0) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  // The folder is everything up to the last separator; the pattern follows.
  const bool literal = IsLiteral(text);
  const std::size_t cut = text.find_last_of(literal ? L"\\" : L"\\/");
  std::wstring folderText;
  std::wstring pattern;
  if (cut != std::wstring::npos) {
    folderText = text.substr(0, cut + 1);
    pattern = text.substr(cut + 1);
  } else if (HasDriveDesignator(text)) {
    folderText = text.substr(0, 2);
    pattern = text.substr(2);
  } else {
    folderText = L".";
    pattern = text;
  }
  // A plain name is the path's last member and loses its trailing periods and
  // spaces as such; what normalisation does to a wildcard pattern, "." or ".."
  // is not modelled.
  if (!literal && pattern != L"." && pattern != L".." && pattern.find_first_of(L"*?") == std::wstring::npos) {
    pattern.erase(pattern.find_last_not_of(L". ") + 1);
  }
  if (pattern.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  for (wchar_t c : pattern) {
    if (c != L'*' && c != L'?' && !IsValidName(std::wstring_view(&c, 1))) {
      return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    }
  }
  if (pattern == L"*.*") pattern = L"*";  // matches names without a dot too
  Location location;
  if (const DWORD error = ParsePath(folderText, &location); error != ERROR_SUCCESS) {
    return Fail(error, INVALID_HANDLE_VALUE);
  }
  location.trailingSeparator = false;
  const Lookup folder = Resolve(location, true, 0);
  if (folder.error == ERROR_FILE_NOT_FOUND) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (folder.error != ERROR_SUCCESS) return Fail(folder.error, INVALID_HANDLE_VALUE);
  if (!IsFolder(*folder.node)) return Fail(ERROR_DIRECTORY, INVALID_HANDLE_VALUE);

  OpenFind find;
  find.path = text;
  if (!folder.node->isRoot) {
    // NTFS lists the two dot entries first in every folder but a root.
    for (const wchar_t* dots : {L".", L".."}) {
      if (Matches(pattern, dots)) find.entries.push_back(FindEntry(dots, *folder.node));
    }
  }
  for (const auto& [key, child] : folder.node->children) {
    if (Matches(pattern, child->name)) find.entries.push_back(FindEntry(child->name, *child));
  }
  if (find.entries.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  *static_cast<WIN32_FIND_DATAW*>(findFileData) = find.entries[0];
  find.next = 1;
  const std::uintptr_t value = NewHandleValue();
  S().finds[value] = std::move(find);
  return ToHandle(value);
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Record(Api::FindNextFileW, HandlePath(findFile));
  if (const Fault* fault = DueFault(Api::FindNextFileW, HandlePath(findFile)))
    return Fail(fault->error, FALSE);
  const auto found = S().finds.find(FromHandle(findFile));
  if (found == S().finds.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (findFileData == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  OpenFind& find = found->second;
  if (find.next >= find.entries.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
  *findFileData = find.entries[find.next++];
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const std::wstring path = HandlePath(findFile);
  Record(Api::FindClose, path);
  const Fault* fault = DueFault(Api::FindClose, path);
  const bool known = S().finds.erase(FromHandle(findFile)) != 0;
  if (fault != nullptr) return Fail(fault->error, FALSE);
  if (!known) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL CryptProtectData(DATA_BLOB* dataIn, LPCWSTR dataDescription, DATA_BLOB* optionalEntropy, LPVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags, DATA_BLOB* dataOut) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Call call = NewCall(Api::CryptProtectData, {}, {flags});
  call.description = Text(dataDescription);
  call.nullArguments = optionalEntropy == nullptr && reserved == nullptr && promptStruct == nullptr;
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::CryptProtectData, {})) return Fail(fault->error, FALSE);
  if (!BlobArgumentsValid(dataIn, dataOut)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  const bool machine = (flags & CRYPTPROTECT_LOCAL_MACHINE) != 0;
  std::vector<BYTE> blob(std::begin(kBlobMagic), std::end(kBlobMagic));
  PutU32(&blob, machine ? 1U : 0U);
  PutText(&blob, S().user);
  PutText(&blob, Text(dataDescription));
  PutU32(&blob, dataIn->cbData);
  const std::size_t payload = blob.size();
  blob.insert(blob.end(), dataIn->pbData, dataIn->pbData + dataIn->cbData);
  Keystream(S().user, blob.data() + payload, dataIn->cbData);
  const std::uint64_t checksum = BlobChecksum(blob.data(), blob.size(), optionalEntropy);
  PutU32(&blob, static_cast<std::uint32_t>(checksum));
  PutU32(&blob, static_cast<std::uint32_t>(checksum >> 32));

  auto* out = static_cast<BYTE*>(NewLocalBuffer(blob.size()));
  std::memcpy(out, blob.data(), blob.size());
  dataOut->pbData = out;
  dataOut->cbData = static_cast<DWORD>(blob.size());
  return TRUE;
}

BOOL CryptUnprotectData(DATA_BLOB* dataIn, LPWSTR* dataDescription, DATA_BLOB* optionalEntropy,
                        LPVOID reserved, CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags,
                        DATA_BLOB* dataOut) {
  const CallScope inCall;
  if (Dead()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Call call = NewCall(Api::CryptUnprotectData, {}, {flags});
  call.nullArguments = dataDescription == nullptr && optionalEntropy == nullptr && reserved == nullptr &&
                       promptStruct == nullptr;
  Record(std::move(call));
  if (const Fault* fault = DueFault(Api::CryptUnprotectData, {})) return Fail(fault->error, FALSE);
  if (!BlobArgumentsValid(dataIn, dataOut)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  BlobReader reader(dataIn->pbData, dataIn->cbData);
  const BYTE* magic = nullptr;
  std::uint32_t scope = 0;
  std::wstring user;
  std::wstring description;
  std::uint32_t length = 0;
  const BYTE* sealed = nullptr;
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (!reader.Bytes(4, &magic) || std::memcmp(magic, kBlobMagic, 4) != 0 || !reader.U32(&scope) ||
      scope > 1 || !reader.Text(&user) || !reader.Text(&description) || !reader.U32(&length) ||
      !reader.Bytes(length, &sealed)) {
    return Fail(ERROR_INVALID_DATA, FALSE);
  }
  const std::size_t checked = reader.Offset();
  if (!reader.U32(&low) || !reader.U32(&high) || reader.Offset() != dataIn->cbData ||
      ((static_cast<std::uint64_t>(high) << 32) | low) !=
          BlobChecksum(dataIn->pbData, checked, optionalEntropy)) {
    return Fail(ERROR_INVALID_DATA, FALSE);
  }
  if (scope == 0 && user != S().user) return Fail(NTE_BAD_KEY_STATE, FALSE);

  auto* out = static_cast<BYTE*>(NewLocalBuffer(length));
  if (length > 0) std::memcpy(out, sealed, length);
  Keystream(user, out, length);
  dataOut->pbData = out;
  dataOut->cbData = length;
  if (dataDescription != nullptr) {
    auto* text = static_cast<wchar_t*>(NewLocalBuffer((description.size() + 1) * sizeof(wchar_t)));
    std::copy(description.begin(), description.end(), text);
    text[description.size()] = L'\0';
    *dataDescription = text;
  }
  return TRUE;
}

// Not recorded: releases are checked by OutstandingLocalBuffers, and the
// record stays a list of the calls that reach the file system or the service.
// After a crash it still frees, so the code under test can give back what it
// holds and the fixture's check stays meaningful.
HLOCAL LocalFree(HLOCAL memory) {
  const CallScope inCall;
  if (memory == nullptr) return nullptr;
  if (!Dead()) {
    if (const Fault* fault = DueFault(Api::LocalFree, {})) return Fail(fault->error, memory);
  }
  // Windows answers a pointer it never handed out with failure (the pointer
  // itself) instead of corrupting its heap; so does the stand-in.
  if (S().localBuffers.erase(memory) == 0) return Fail(ERROR_INVALID_HANDLE, memory);
  std::free(memory);
  return nullptr;
}

namespace van_tide::platform {

errno_t WideDupEnv(wchar_t** buffer, std::size_t* count, const wchar_t* name) {
  const CallScope inCall;
  if (Dead()) {
    if (buffer != nullptr) *buffer = nullptr;
    if (count != nullptr) *count = 0;
    return EINVAL;
  }
  Record(Api::WideDupEnv, Text(name));
  if (buffer == nullptr || count == nullptr) return EINVAL;
  *buffer = nullptr;
  *count = 0;
  if (name == nullptr) return EINVAL;
  if (const Fault* fault = DueFault(Api::WideDupEnv, Text(name))) return static_cast<errno_t>(fault->error);
  const auto found = S().environment.find(Upper(name));
  if (found == S().environment.end()) return 0;
  const std::wstring& value = found->second.value;
  auto* copy = static_cast<wchar_t*>(std::malloc((value.size() + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return ENOMEM;
  std::copy(value.begin(), value.end(), copy);
  copy[value.size()] = L'\0';
  *buffer = copy;
  *count = value.size() + 1;
  return 0;
}

}  // namespace van_tide::platform
