// Files and folders: the drives and shares, the tree of folders, files and
// links below them, and the lookup of a path in it; attribute queries, folder
// creation, moves, deletion and listing; and the functions that set the tree
// up for a test and inspect it.
//
// - Drives (C: exists after Reset) and server shares (\\server\share, added on
//   demand) hold folders and files.
// - Links: a folder link (junction or directory symbolic link) reports
//   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, a file link reports
//   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT. Attribute queries
//   report the link itself; a link met in the middle of a path is followed.
//   A trailing separator names a folder: after a folder link it reaches the
//   target (reported without the reparse bit, as on Wine), after a file it
//   gives ERROR_INVALID_NAME. A link cycle ends in ERROR_CANT_RESOLVE_FILENAME.
// - A long name that does not fit 8.3 gets a short alias when it is placed in
//   a folder ("Long folder name" becomes LONGFO~1, the number the first free
//   one), as NTFS makes them: a lookup or a listing pattern reaches the item
//   by either name, and a listing at FindExInfoStandard reports the alias in
//   cAlternateFileName.
// - A folder made case-sensitive (SetCaseSensitive) matches long names
//   exactly, so two names alike but for case are two entries there.
// - Error codes follow Windows: a missing last member gives
//   ERROR_FILE_NOT_FOUND, a missing or non-folder member above it
//   ERROR_PATH_NOT_FOUND, a move onto an existing name ERROR_ALREADY_EXISTS.
#include "standin/standin.h"

#include "standin/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::standin {

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

namespace {

// FNV-1a: a fixed, well-spread number for a name.
std::uint32_t HashOf(std::wstring_view text) {
  std::uint32_t hash = 2166136261U;
  for (wchar_t c : text) hash = (hash ^ static_cast<std::uint32_t>(c)) * 16777619U;
  return hash;
}

}  // namespace

DWORD VolumeSerial(std::wstring_view rootKey) { return HashOf(rootKey); }

std::wstring ChildKey(const Node& folder, std::wstring_view name) {
  std::wstring key = Upper(name);
  // After the upper-cased name, so that names alike but for case list
  // together, as NTFS orders them.
  if (folder.caseSensitive) key.append(1, L'\0').append(name);
  return key;
}

NodePtr FindChild(const Node& folder, std::wstring_view name) {
  const auto found = folder.children.find(ChildKey(folder, name));
  if (found != folder.children.end()) return found->second;
  // A short name reaches the same item as its long name.
  const auto aliased = folder.aliases.find(Upper(name));
  return aliased == folder.aliases.end() ? nullptr : aliased->second;
}

namespace {

constexpr int kMaxLinkDepth = 32;

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
  if (location.device) {
    // Whatever the folders above it, the path names the device.
    lookup.node = NewNode(Kind::File, location.names.back());
    lookup.node->isDevice = true;
    return lookup;
  }
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

}  // namespace

// A lookup that honours a trailing separator: it names a folder, so a folder
// link before it is followed (its target's attributes are reported, without
// the reparse bit, as on Wine) and a file before it is an invalid name.
namespace {

Lookup LookupPathAsIs(const Location& location, bool followLast) {
  Lookup lookup = Resolve(location, followLast || location.trailingSeparator, 0);
  if (lookup.error == ERROR_SUCCESS && location.trailingSeparator && !IsFolder(*lookup.node)) {
    return Failed(ERROR_INVALID_NAME);
  }
  return lookup;
}

}  // namespace

// An item marked for deletion keeps its name, but every open of it, and every
// new name in it, is refused (STATUS_DELETE_PENDING) until it goes.
Lookup LookupPath(const Location& location, bool followLast) {
  Lookup lookup = LookupPathAsIs(location, followLast);
  if (lookup.error == ERROR_SUCCESS && lookup.node->deletePending) return Failed(ERROR_ACCESS_DENIED);
  if (lookup.error == ERROR_FILE_NOT_FOUND && lookup.parent != nullptr && lookup.parent->deletePending) {
    return Failed(ERROR_ACCESS_DENIED);
  }
  return lookup;
}

namespace {

Lookup LookupText(LPCWSTR text, bool followLast) {
  if (text == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  Location location;
  const DWORD error = ParsePath(text, &location);
  if (error != ERROR_SUCCESS) return Failed(error);
  return LookupPath(location, followLast);
}

}  // namespace

// ---------------------------------------------------------------------------
// The tree
// ---------------------------------------------------------------------------

NodePtr NewNode(Kind kind, std::wstring name) {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  node->name = std::move(name);
  node->index = S().nextIndex++;
  return node;
}

namespace {

bool IsShortNameCharacter(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
         (c != 0 && std::wstring_view(L"$%'-_@~`!(){}^#&").find(c) != std::wstring_view::npos);
}

// A name of at most 8 characters, optionally a period and at most 3 more, all
// of them allowed in a short name: NTFS gives it no alias.
bool FitsShortName(std::wstring_view name) {
  const std::size_t dot = name.find(L'.');
  const std::wstring_view base = name.substr(0, dot);
  const std::wstring_view extension =
      dot == std::wstring_view::npos ? std::wstring_view{} : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
  if (dot != std::wstring_view::npos && extension.empty()) return false;
  const auto allowed = [](std::wstring_view part) {
    return std::all_of(part.begin(), part.end(), IsShortNameCharacter);
  };
  return allowed(base) && allowed(extension);
}

// The characters of `part` a short name keeps, upper-cased, at most `limit`:
// blanks and periods go, anything else not allowed becomes "_".
std::wstring ShortPart(std::wstring_view part, std::size_t limit) {
  std::wstring kept;
  for (wchar_t c : part) {
    if (kept.size() == limit) break;
    if (c == L' ' || c == L'.') continue;
    kept.push_back(IsShortNameCharacter(c) ? UpperUnit(c) : L'_');
  }
  return kept;
}

// NTFS's alias for a long name: up to six characters of it, "~" and the
// first number free in the folder, and up to three of its extension. Past
// the fourth number NTFS keeps two characters and adds four hexadecimal
// digits of a hash of the long name, so that a folder of thousands of alike
// names does not count through all of them for each new one.
std::wstring MakeAlias(const Node& folder, std::wstring_view name) {
  const std::size_t dot = name.find_last_of(L'.');
  const bool hasExtension = dot != std::wstring_view::npos && dot > 0;
  std::wstring base = ShortPart(hasExtension ? name.substr(0, dot) : name, 6);
  if (base.empty()) base = L"_";
  const std::wstring extension = hasExtension ? ShortPart(name.substr(dot + 1), 3) : std::wstring();
  const auto free = [&](const std::wstring& stem, int number, std::wstring* alias) {
    *alias = stem + L"~" + std::to_wstring(number);
    if (!extension.empty()) *alias += L"." + extension;
    return FindChild(folder, *alias) == nullptr;
  };
  std::wstring alias;
  for (int number = 1; number <= 4; ++number) {
    if (free(base, number, &alias)) return alias;
  }
  wchar_t digits[5];
  std::swprintf(digits, 5, L"%04X", static_cast<unsigned>(HashOf(name) & 0xFFFFU));
  const std::wstring hashed = base.substr(0, 2) + digits;
  for (int number = 1;; ++number) {
    if (free(hashed, number, &alias)) return alias;
  }
}

}  // namespace

namespace {

// `node` leaves `folder`'s indexes, where it still stands in them.
void Unlink(Node& folder, Node& node) {
  const auto aliased = folder.aliases.find(node.alias);
  if (aliased != folder.aliases.end() && aliased->second.get() == &node) folder.aliases.erase(aliased);
  if (node.parent.lock().get() == &folder) node.parent.reset();
}

}  // namespace

void Insert(Node& folder, const NodePtr& node) {
  node->alias = FitsShortName(node->name) ? std::wstring() : MakeAlias(folder, node->name);
  NodePtr& slot = folder.children[ChildKey(folder, node->name)];
  if (slot != nullptr) Unlink(folder, *slot);
  slot = node;
  if (!node->alias.empty()) folder.aliases[node->alias] = node;
  node->parent = folder.weak_from_this();
}
void Detach(Node& folder, const Node& node) {
  const auto held = folder.children.find(ChildKey(folder, node.name));
  if (held == folder.children.end()) return;
  Unlink(folder, *held->second);
  folder.children.erase(held);
}

namespace {

bool Contains(const Node& folder, const Node& candidate) {
  for (const auto& [key, child] : folder.children) {
    if (child.get() == &candidate || Contains(*child, candidate)) return true;
  }
  return false;
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

}  // namespace

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

// ---------------------------------------------------------------------------
// Set-up and inspection
// ---------------------------------------------------------------------------

void AddDrive(wchar_t letter) {
  if (!IsLetter(letter)) throw std::invalid_argument("AddDrive: not a drive letter");
  const std::wstring root{UpperUnit(letter), L':'};
  if (S().roots.count(root) != 0) return;
  NodePtr node = NewNode(Kind::Folder, root);
  node->isRoot = true;
  S().roots[root] = node;
}

Location SetupLocation(std::wstring_view path) {
  Location location;
  const DWORD error = ParsePath(path, &location);
  if (error != ERROR_SUCCESS) {
    throw std::invalid_argument("stand-in: cannot use the path " + Narrow(path) + " (error " +
                                std::to_string(error) + ")");
  }
  return location;
}

namespace {

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
  // The name is a long name: one that spells another item's short name is an
  // item of its own beside it, as a host's file system under Wine, whose
  // short names are made up, can hold them.
  const auto held = parent->children.find(ChildKey(*parent, location.names.back()));
  const NodePtr existing = held == parent->children.end() ? nullptr : held->second;
  if (kind == Kind::Folder && existing != nullptr && IsFolder(*existing)) return;  // keep its contents
  NodePtr node = NewNode(kind, location.names.back());
  node->bytes = std::string(bytes);
  node->durable = node->bytes;
  node->target = std::wstring(target);
  if (existing != nullptr) Detach(*parent, *existing);
  Insert(*parent, node);
}

// Inspection sees an item marked for deletion: its name is still there.
Lookup InspectionLookup(std::wstring_view path, bool followLast) {
  Location location;
  if (ParsePath(path, &location) != ERROR_SUCCESS) return Failed(ERROR_INVALID_NAME);
  return LookupPathAsIs(location, followLast);
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

namespace {

// The item at a set-up function's path, itself; a missing one throws.
NodePtr SetupItemAt(std::wstring_view path, bool wantsFolder) {
  const Lookup lookup = InspectionLookup(path, false);
  if (lookup.error != ERROR_SUCCESS || (wantsFolder && !IsFolder(*lookup.node))) {
    throw std::invalid_argument("stand-in: no " + std::string(wantsFolder ? "folder " : "item ") +
                                Narrow(path));
  }
  return lookup.node;
}

}  // namespace

void SetReportedVolumeSerial(std::wstring_view path, DWORD serial) {
  SetupItemAt(path, false)->reportedVolume = serial;
}

void RedirectReopen(std::wstring_view path, std::wstring_view other) {
  SetupItemAt(path, true)->reopensAs = SetupItemAt(other, true);
}

bool ExchangeWithLink(std::wstring_view path, std::wstring_view target, std::wstring_view aside) {
  const Location location = SetupLocation(path);
  const Location asideLocation = SetupLocation(aside);
  SetupLocation(target);  // only its syntax: a link's target need not exist
  if (location.names.empty() || location.device) {
    throw std::invalid_argument("stand-in: " + Narrow(path) + " cannot be exchanged for a link");
  }
  if (asideLocation.names.empty() || Upper(asideLocation.root) != Upper(location.root)) {
    throw std::invalid_argument("stand-in: " + Narrow(aside) + " is no place on the volume of " +
                                Narrow(path));
  }
  const auto within = [&](const Location& inner) {
    if (inner.names.size() < location.names.size()) return false;
    for (std::size_t i = 0; i < location.names.size(); ++i) {
      if (Upper(inner.names[i]) != Upper(location.names[i])) return false;
    }
    return true;
  };
  if (within(asideLocation)) {
    throw std::invalid_argument("stand-in: " + Narrow(aside) + " lies inside " + Narrow(path));
  }

  const Lookup found = Resolve(location, false, 0);
  const bool nothingThere = found.error == ERROR_FILE_NOT_FOUND && found.parent != nullptr;
  if (found.error != ERROR_SUCCESS && !nothingThere) return false;
  if (!nothingThere && OpenWithoutShare(*found.node, FILE_SHARE_DELETE)) return false;

  // The link keeps the name as the folder showed it in listings.
  const std::wstring name = nothingThere ? found.name : found.node->name;
  if (!nothingThere) {
    const NodePtr asideParent = SetupParent(asideLocation, aside);
    if (FindChild(*asideParent, asideLocation.names.back()) != nullptr) {
      throw std::invalid_argument("stand-in: " + Narrow(aside) + " is taken");
    }
    // A link above `aside` could still lead back inside the item.
    if (asideParent == found.node || Contains(*found.node, *asideParent)) {
      throw std::invalid_argument("stand-in: " + Narrow(aside) + " lies inside " + Narrow(path));
    }
    Detach(*found.parent, *found.node);
    found.node->name = asideLocation.names.back();
    Insert(*asideParent, found.node);
  }
  NodePtr link = NewNode(Kind::FolderLink, name);
  link->target = std::wstring(target);
  Insert(*found.parent, link);
  return true;
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

void SetDotEntries(DotEntries where) { S().dotEntries = where; }

void SetCaseSensitive(std::wstring_view path) {
  const Lookup lookup = InspectionLookup(path, true);
  if (lookup.error != ERROR_SUCCESS || !IsFolder(*lookup.node)) {
    throw std::invalid_argument("SetCaseSensitive: no folder at " + Narrow(path));
  }
  Node& folder = *lookup.node;
  if (folder.caseSensitive) return;
  folder.caseSensitive = true;
  // The names it holds, keyed anew.
  std::map<std::wstring, NodePtr, ListingOrder> children;
  for (auto& [key, child] : folder.children) children.emplace(ChildKey(folder, child->name), child);
  folder.children = std::move(children);
}

std::vector<std::wstring> ListNames(std::wstring_view folder) {
  std::vector<std::wstring> names;
  const Lookup lookup = InspectionLookup(folder, true);
  if (lookup.error != ERROR_SUCCESS || !IsFolder(*lookup.node)) return names;
  for (const auto& [key, child] : lookup.node->children) names.push_back(child->name);
  return names;
}

}  // namespace van_tide::standin

// ---------------------------------------------------------------------------
// The Win32 functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // machine.h and the helpers above

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
  if (source.node->isRoot || source.node->isDevice) return Fail(ERROR_ACCESS_DENIED, FALSE);
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
    } else if (target.node->isRoot || target.node->isDevice || target.node->kind == Kind::Folder ||
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
  if (node.isRoot || node.isDevice || node.kind == Kind::Folder || node.kind == Kind::FolderLink) {
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
  // What a failed call leaves in the entry is not promised. The stand-in
  // leaves a folder without a name there, so that code reading it anyway
  // treats the listed folder itself as one of its entries and is caught.
  if (findFileData != nullptr) {
    WIN32_FIND_DATAW unnamed{};
    unnamed.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    *static_cast<WIN32_FIND_DATAW*>(findFileData) = unnamed;
  }
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
  // NTFS lists the two dot entries first in every folder but a root.
  const auto listDotEntries = [&] {
    if (folder.node->isRoot) return;
    for (const wchar_t* dots : {L".", L".."}) {
      if (Matches(pattern, dots)) find.entries.push_back(FindEntry(dots, *folder.node));
    }
  };
  if (S().dotEntries == DotEntries::kFirst) listDotEntries();
  for (const auto& [key, child] : folder.node->children) {
    // A pattern matches the long name or the short one, as on Windows.
    if (Matches(pattern, child->name) || (!child->alias.empty() && Matches(pattern, child->alias))) {
      find.entries.push_back(FindEntry(child->name, *child));
      if (infoLevel == FindExInfoStandard) {
        const std::size_t length = std::min<std::size_t>(child->alias.size(), 13);
        std::copy_n(child->alias.begin(), length, find.entries.back().cAlternateFileName);
        find.entries.back().cAlternateFileName[length] = L'\0';
      }
    }
  }
  if (S().dotEntries == DotEntries::kLast) listDotEntries();
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
