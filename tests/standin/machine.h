// The machine the stand-in keeps, shared by its files and internal to them
// (tests and tools use standin.h): drives and shares with their folders,
// files and links; the open handles of the process under test and those other
// processes hold; planned faults, hooks and the call record; pending moves;
// the environment and the user. One State holds it all (S()). After it, the
// helpers each file of the stand-in gives the others, by file.
#pragma once

#include "standin/names.h"
#include "standin/standin.h"
#include "standin/win32_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide::standin {

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

enum class Kind { Folder, File, FolderLink, FileLink };

struct Node : std::enable_shared_from_this<Node> {
  Kind kind = Kind::Folder;
  bool isRoot = false;
  bool isDevice = false;  // a DOS device a path named; never in the tree
  std::wstring name;      // as written when created: case is kept
  std::wstring alias;     // the 8.3 short name NTFS gives a long name, upper case; empty when it fits 8.3
  std::string bytes;      // a file's live contents, what reads see
  std::string durable;    // what of them a crash leaves
  std::wstring target;    // a link's target, a full path
  bool deletePending = false;  // marked for deletion by handle: it goes with its last handle
  ACCESS_MASK denied = 0;      // rights its security refuses the user (DenyAccess)
  // A folder whose names compare with regard to case (SetCaseSensitive):
  // "x" and "X" are two entries, and a name reaches only the one it spells.
  bool caseSensitive = false;
  std::uint64_t index = 0;
  // Keyed by ChildKey: the upper-cased name, and in a case-sensitive folder
  // the name as written after it.
  std::map<std::wstring, std::shared_ptr<Node>, ListingOrder> children;
  // The children that have a short alias, by it: kept by Insert and Detach,
  // so that a name is found in either map without a pass over the folder.
  std::map<std::wstring, std::shared_ptr<Node>> aliases;
  // The folder holding it, kept by Insert and Detach: empty for a root and for
  // an item in no folder, so that where an item stands is found going up.
  std::weak_ptr<Node> parent;
  // Test controls (SetReportedVolumeSerial, RedirectReopen): the serial its
  // handles report instead of their volume's, and the folder a reopen of it
  // reaches instead of itself.
  std::optional<DWORD> reportedVolume;
  std::weak_ptr<Node> reopensAs;
};
using NodePtr = std::shared_ptr<Node>;

// An entry of a listing through a handle: what FindEntry reports, the short
// name and the item's identity (its file index).
struct Listed {
  WIN32_FIND_DATAW entry;
  std::wstring shortName;
  std::uint64_t id = 0;
};

struct OpenFile {
  NodePtr node;
  std::wstring path;
  DWORD access = 0;
  DWORD share = 0;
  DWORD volume = 0;
  std::size_t position = 0;
  // A listing through the handle (GetFileInformationByHandleEx): the entries
  // as the first call found them, and how many have been handed out.
  std::optional<std::vector<Listed>> listing;
  std::size_t listed = 0;
  // The folders (the item itself included) that the relative opens leading
  // to this handle reached by their 8.3 short names: its name
  // (FileNameInfo) gives these by their short names (ShortNamesInNames).
  std::vector<NodePtr> shortNamed;
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

// A file marked for deletion by handle and the folder whose entry it is.
struct PendingDeletion {
  NodePtr node;
  NodePtr parent;
};

struct EnvironmentEntry {
  std::wstring name;
  std::wstring value;
};

constexpr std::uintptr_t kFirstHandle = 4;  // Windows hands out multiples of 4
constexpr const wchar_t* kFirstUser = L"S-1-5-21-1001";

struct State {
  std::map<std::wstring, NodePtr> roots;  // keyed by the upper-cased root
  Location current;
  std::map<std::wstring, EnvironmentEntry> environment;  // keyed upper-cased
  std::wstring user;
  DotEntries dotEntries = DotEntries::kFirst;
  bool handlesFollowLinks = false;
  ShortNamesInNames shortNamesInNames = ShortNamesInNames::kLastOnly;
  std::vector<PendingMove> pendingMoves;
  std::vector<PendingDeletion> pendingDeletions;
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
  std::set<wchar_t*> envCopies;  // from WideDupEnv, not yet given back
  std::size_t invalidHandleCloses = 0;
  DWORD lastError = 0;

  // A process starts on the machine that Reset gives.
  State() { Clear(); }
  ~State() { ReleaseBuffers(); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void ReleaseBuffers() {
    for (void* buffer : localBuffers) std::free(buffer);
    localBuffers.clear();
    for (wchar_t* copy : envCopies) std::free(copy);
    envCopies.clear();
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
    invalidHandleCloses = 0;
    lastError = 0;
  }

  void Clear() {
    NewProcess();
    roots.clear();
    environment.clear();
    pendingMoves.clear();
    pendingDeletions.clear();
    nextIndex = 1;
    user = kFirstUser;
    dotEntries = DotEntries::kFirst;
    handlesFollowLinks = false;
    shortNamesInNames = ShortNamesInNames::kLastOnly;
    current = Location{L"C:", {}, false};
    auto drive = std::make_shared<Node>();
    drive->name = L"C:";
    drive->isRoot = true;
    drive->index = nextIndex++;
    roots[L"C:"] = drive;
  }
};

// The one machine (call_record.cpp).
State& S();

// ---------------------------------------------------------------------------
// The tree and lookup (files.cpp)
// ---------------------------------------------------------------------------

bool IsLink(const Node& node);
// The entry a listing reports for `node` under `name`.
WIN32_FIND_DATAW FindEntry(std::wstring_view name, const Node& node);
bool IsFolder(const Node& node);
DWORD AttributesOf(const Node& node);
DWORD VolumeSerial(std::wstring_view rootKey);
NodePtr FindChild(const Node& folder, std::wstring_view name);
// The key of `name` among `folder`'s children.
std::wstring ChildKey(const Node& folder, std::wstring_view name);

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

Lookup LookupPath(const Location& location, bool followLast);

NodePtr NewNode(Kind kind, std::wstring name);
void Insert(Node& folder, const NodePtr& node);
void Detach(Node& folder, const Node& node);

// A path given to a set-up function, parsed; one the stand-in cannot parse
// throws std::invalid_argument.
Location SetupLocation(std::wstring_view path);

// ---------------------------------------------------------------------------
// Handles (handles.cpp)
// ---------------------------------------------------------------------------

HANDLE ToHandle(std::uintptr_t value);
std::uintptr_t FromHandle(HANDLE handle);
std::uintptr_t NewHandleValue();
// The path text a file or find handle was opened with; empty for no handle.
std::wstring HandlePath(HANDLE handle);
OpenFile* FindOpenFile(HANDLE handle);
// A new open asking for `access` with `share` meets a handle that forbids it.
bool SharingConflict(const Node& node, DWORD access, DWORD share);
bool OpenWithoutShare(const Node& node, DWORD share);
bool IsOpen(const Node& node);
// Carries out each pending deletion whose file no handle holds any more.
void SettleDeletions();

// ---------------------------------------------------------------------------
// Access rights (access.cpp)
// ---------------------------------------------------------------------------

// What a call does with the handle it is given, for the right it needs.
enum class AccessUse {
  kRead,
  kWrite,
  kFlush,
  kQueryAttributes,
  kQuerySize,
  kQueryName,
  kList,
  kRename,
  kDispose,
  kOpenBelow,
};

// The rights a handle holds when `desired` was asked for: generic rights
// mapped to a file's own, and what CreateFileW adds to every open.
ACCESS_MASK GrantedAccess(ACCESS_MASK desired, bool byCreateFile);
ACCESS_MASK RequiredAccess(AccessUse use);
bool HasAccess(const OpenFile& open, AccessUse use);
// The item's security refuses an open granted `granted` (DenyAccess).
bool Refused(const Node& node, ACCESS_MASK granted);

// ---------------------------------------------------------------------------
// Crashes (crashes.cpp)
// ---------------------------------------------------------------------------

void Crash();
bool Dead();

// ---------------------------------------------------------------------------
// Calls, faults and the last error (call_record.cpp)
// ---------------------------------------------------------------------------

std::wstring Text(LPCWSTR text);
Call NewCall(Api api, std::wstring path, std::vector<DWORD> args = {});
void Record(Call call);
void Record(Api api, std::wstring path, std::vector<DWORD> args = {});
const Fault* DueFault(Api api, std::wstring_view path);

template <typename T>
T Fail(DWORD error, T result) {
  S().lastError = error;
  return result;
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

}  // namespace van_tide::standin
