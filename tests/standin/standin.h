// In-memory stand-in for the Win32 subset the tool uses, for the native (Linux)
// build. It is test infrastructure: it exists so that every failure path can be
// driven on purpose and observed. The product sees only the Win32 API
// (win32_api.h, through src/platform/win32.h); tests and tools drive the
// stand-in through this header.
//
// Model, in brief: one concern a file, and each file opens with its part of
// the model.
// - win32_api.h: the Win32 names, types, constants and functions, kept
//   exactly as Windows spells them.
// - names.cpp: names and paths: case, listing order, valid names, the
//   normalisation of paths and the literal paths after "\\?\".
// - files.cpp: drives, shares, folders, files and links, and the lookup of a
//   path among them; attributes, folder creation, moves, deletion, listing;
//   the set-up and inspection functions below.
// - handles.cpp: opening, sharing, reading, writing, flushing and closing;
//   the handles other processes hold.
// - relative.cpp: work through folder handles: relative opens and creation,
//   listing, final paths, renaming and deleting by handle, native statuses.
// - data_protection.cpp: sealing for the current user, and LocalFree.
// - environment.cpp: environment variables, WideDupEnv and FreeEnvCopy.
// - call_record.cpp: the call record, planned faults, hooks, the last error,
//   Reset.
// - crashes.cpp: durability, crashes and Restart.
// - machine.h and names.h: the state and helpers these files share; internal
//   to the stand-in, never included by tests or tools.
#pragma once

#include "standin/win32_api.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Control of the stand-in, for tests and tools
// ---------------------------------------------------------------------------

namespace van_tide::standin {

// Every call the stand-in implements, for fault injection and the call record.
// LocalFree is not recorded (it can still be faulted); OutstandingLocalBuffers
// tells whether the buffers were released. RtlNtStatusToDosError and
// CompareStringOrdinal, which touch nothing, are neither recorded nor faulted.
enum class Api {
  CreateFileW,
  ReadFile,
  WriteFile,
  FlushFileBuffers,
  CloseHandle,
  GetFileInformationByHandle,
  GetFileSizeEx,
  GetFileAttributesW,
  GetFileAttributesExW,
  CreateDirectoryW,
  MoveFileExW,
  DeleteFileW,
  FindFirstFileExW,
  FindNextFileW,
  FindClose,
  CryptProtectData,
  CryptUnprotectData,
  LocalFree,
  WideDupEnv,
  NtCreateFile,
  NtSetInformationFile,
  GetFileInformationByHandleEx,
  GetFinalPathNameByHandleW,
};

const char* ApiName(Api api);

// One call as it was made. `path` is the path text exactly as passed (for calls
// on a handle: the text the handle was opened with, or the name a rename by
// handle gave it; for WideDupEnv: the
// variable name; for the data-protection calls: empty). `path2` is the target
// of MoveFileExW and of a rename by NtSetInformationFile. For NtCreateFile
// `path` is the path of the folder handle joined with the name, so planned
// faults name relative opens by their full path. `args` holds the call's DWORD arguments in parameter order:
// CreateFileW: access, share mode, disposition, flags and attributes;
// ReadFile/WriteFile: the byte count asked for; MoveFileExW: flags;
// FindFirstFileExW: info level, search op, additional flags;
// NtCreateFile: access, share access, disposition, options;
// NtSetInformationFile and GetFileInformationByHandleEx: the information
// class; GetFinalPathNameByHandleW: buffer length, flags;
// CryptProtectData/CryptUnprotectData: flags. `description` is the data
// description passed to CryptProtectData. `nullArguments` tells for the
// data-protection calls whether entropy, reserved and prompt were all null
// (and, for CryptUnprotectData, the description output too).
struct Call {
  Api api;
  std::wstring path;
  std::wstring path2;
  std::vector<DWORD> args;
  std::wstring description;
  bool nullArguments = true;
};

// A planned failure. It matches calls of `api` whose path (as in Call) equals
// `path` exactly, or every call of `api` when `path` is empty. The first `skip`
// matching calls go through; the next `count` fail (count < 0: all that
// follow). A failing call sets the last error to `error` (0 is allowed) and
// returns the API's failure value, except:
// - ReadFile/WriteFile with `shortBy` > 0 succeed but transfer `shortBy` bytes
//   fewer than asked (never fewer than zero); the call is otherwise carried out
//   as usual, so a bad handle or a missing access right still fails. With
//   `failAfterTransfer` the short count is really transferred (written to the
//   file, or read into the buffer with the position advanced) and then the
//   call fails with `error`; *bytesWritten / *bytesRead tell the count;
// - WideDupEnv fails with `error` as its errno_t (for example ENOMEM);
// - a failing CloseHandle or FindClose still releases the handle, as a close
//   that reports an error does on Windows: the handle cannot be used again.
// When several planned faults match a call, each counts it and the first one
// planned that is due decides.
struct Fault {
  Api api = Api::CreateFileW;  // set it for InjectFault; InjectFaultAtCall ignores it
  DWORD error = 0;
  std::wstring path = {};  // initialised, so designated initialisers may leave it out
  int skip = 0;
  int count = 1;
  DWORD shortBy = 0;
  bool failAfterTransfer = false;
};

// Back to a fresh machine: only drive C: (empty) exists, the current folder is
// C:\, the environment is empty, the user is "S-1-5-21-1001", no faults,
// hooks or crash are planned, nothing is held open, no move is pending, the
// call record is empty and every counter is zero. The last error is set to 0.
// Buffers the code under test never released are freed.
void Reset();

// File system. Paths are full Windows paths (drive or \\server\share); missing
// folders above the new item are created, and so is a missing share (a missing
// drive is not: add it with AddDrive). Adding over an existing item replaces
// it. Link targets are full paths, kept as text and resolved when followed; the
// target need not exist. A path the stand-in cannot place (bad syntax, missing
// drive, a file where a folder is needed) throws std::invalid_argument. The
// last name is a long name: one that spells another item's short name makes
// an item of its own beside it (a lookup by that name then reaches the new
// one first), as under Wine, where a host's file may bear any name.
void AddDrive(wchar_t letter);
void AddDirectory(std::wstring_view path);
void AddFile(std::wstring_view path, std::string_view bytes);
void AddDirectoryLink(std::wstring_view path, std::wstring_view target);
void AddFileLink(std::wstring_view path, std::wstring_view target);
void SetCurrentFolder(std::wstring_view path);  // an existing folder
// Where listings of a folder other than a root give "." and "..". NTFS gives
// them first, and so does the stand-in unless told otherwise; Windows promises
// no order, a volume's root has neither, and network file systems order
// entries their own way, so code that lists must not count on them.
enum class DotEntries { kFirst, kNone, kLast };
void SetDotEntries(DotEntries where);
// Handles as Wine gives them: an open follows a link at its end even when
// told to open the link itself (FILE_FLAG_OPEN_REPARSE_POINT,
// FILE_OPEN_REPARSE_POINT), so the handle's attributes and final path are
// its target's; only queries by path see the link. A listing through a
// handle gives a link its target's file index (the one a handle through it
// holds) with the reparse bit. While it is on, platform::WorksByPath()
// answers true, as it does under Wine. Off after Reset.
void SetHandlesFollowLinks(bool follow);
// The item's security refuses the user `rights` (specific rights, such as
// FILE_LIST_DIRECTORY): an open of it, by path or relative, that is granted
// any of them fails with ERROR_ACCESS_DENIED (STATUS_ACCESS_DENIED), as one
// that asks for more than an access list allows does on Windows. A folder
// that grants Traverse but not List is DenyAccess(path, FILE_LIST_DIRECTORY).
// A link at the end is not followed. Replaces what was denied before.
void DenyAccess(std::wstring_view path, ACCESS_MASK rights);
// A folder on another volume that reads, in every other way, as the member
// it stands for: handles on the item at `path` (a link there is not
// followed) report `serial` as their volume's serial number, while its path,
// listing entry and file index stay its own. Gone with the item or Reset; a
// missing item throws std::invalid_argument.
void SetReportedVolumeSerial(std::wstring_view path, DWORD serial);
// A reopen that reaches another folder: an open by the empty name relative
// to a handle on the folder at `path` opens the folder at `other` instead;
// opens of a name below it are untouched. Links at the end are not followed;
// either being no folder throws std::invalid_argument. Gone with the folder
// or Reset.
void RedirectReopen(std::wstring_view path, std::wstring_view other);
// A folder (existing; a link at the end is followed) whose names compare with
// regard to case, as NTFS's per-folder case sensitivity makes them: a name
// reaches only the entry spelled exactly so, and "x" and "X" can both be
// made there. Short names still reach their items. Not undone but by Reset.
void SetCaseSensitive(std::wstring_view path);
// What a handle's name (FileNameInfo, not the final path) says of folders
// reached by their 8.3 short names through relative opens. NTFS names the
// item a handle was opened by its short name by that short name: only the
// normalized name gives every member its long name (MS-FSCC 2.4.30,
// FileNormalizedNameInformation). Whether a handle opened below such a
// folder names that folder short as well is not documented, so both are
// modelled: kLastOnly gives the folders above by their long names,
// kWholeChain keeps every short name its chain of relative opens went
// through. An open by path, and every name under SetHandlesFollowLinks (as
// Wine gives them), reads long. kLastOnly after Reset.
enum class ShortNamesInNames { kLastOnly, kWholeChain };
void SetShortNamesInNames(ShortNamesInNames names);
// An item and all below it; links are not followed; nothing happens when it
// does not exist. Handles open on it stay usable.
void Remove(std::wstring_view path);

// Another process swapping a folder for a link in one step, as a rename
// followed at once by the link's creation would on Windows, with nothing in
// between: the item at `path` (itself: a link there is not followed) is moved
// to `aside`, and a folder link to `target` takes its name. When nothing
// stands at `path` but its folder exists, only the link is made. False, with
// nothing changed, when the item cannot be moved as MoveFileExW could not move
// it (a handle on it, the process's own or a held one, that does not share
// deletion) or when the folder that would hold the link is missing. Missing
// folders above `aside` are made; `aside` must not exist, must be on the
// volume of `path` and must not lie inside the item (else
// std::invalid_argument). Like the other set-up functions it is not recorded,
// never faulted and leaves the last error alone; the move is durable at once.
bool ExchangeWithLink(std::wstring_view path, std::wstring_view target, std::wstring_view aside);

// Inspection without touching the call record. Links met above the last
// member are followed; the last member is reported as itself.
bool Exists(std::wstring_view path);
// True for a folder and for a folder link (whose attributes carry
// FILE_ATTRIBUTE_DIRECTORY), as an attribute query tells.
bool IsDirectory(std::wstring_view path);
// The contents of a file (following a file link); empty when not a file.
std::string FileContents(std::wstring_view path);
// Names directly in a folder, in listing order.
std::vector<std::wstring> ListNames(std::wstring_view folder);

// Environment.
void SetEnvironmentVariable(std::wstring_view name, std::wstring_view value);
void UnsetEnvironmentVariable(std::wstring_view name);

// Data-protection service: the current user (a SID text).
void SetCurrentUser(std::wstring_view sid);

// Fault injection and the call record.
void InjectFault(const Fault& fault);
// The call recorded at `index` of Calls() (0-based, counting from the last
// Reset, ClearCalls or Restart) fails as `fault` says, whatever its API and
// path: fault.api, path, skip and count are ignored. It wins over faults
// planned by name, which still count the call.
void InjectFaultAtCall(std::size_t index, const Fault& fault);
const std::vector<Call>& Calls();
// Empties the record; positions given to InjectFaultAtCall, CrashAfterCall
// and RunBeforeCall count from here on.
void ClearCalls();
// The paths of the recorded calls of one API, in order.
std::vector<std::wstring> CallPaths(Api api);

// Resources still held by the code under test.
std::size_t OpenHandleCount();          // file and find handles not yet closed
std::size_t OutstandingLocalBuffers();  // LocalAlloc'd outputs not yet freed
std::size_t OutstandingEnvCopies();     // WideDupEnv copies not given to FreeEnvCopy
// CloseHandle or FindClose calls given INVALID_HANDLE_VALUE, which is what a
// failed open returns: on Windows that value is also the current process's
// pseudo-handle, so closing it is never a harmless no-op to rely on.
std::size_t InvalidHandleCloses();
// The path texts the open handles were opened with, oldest first: tells a
// failing test which handle leaked.
std::vector<std::wstring> OpenHandlePaths();

// Crashes. The process under test dies right after the call at `index` (as
// counted by InjectFaultAtCall) has been carried out; that call's effects stay
// and it returns normally. Then every handle (held ones too) is gone with its
// share locks, every file keeps only its durable contents, pending moves are
// undone, and every later call has no effect, is not recorded and fails with
// ERROR_INVALID_HANDLE (WideDupEnv with EINVAL); LocalFree still frees and
// uncounts a buffer.
void CrashAfterCall(std::size_t index);
bool Crashed();

// Another process acting mid-run: `action` runs just before the call at
// `index` is carried out, before faults are looked at. It may use the set-up
// functions; Win32 calls made inside it are neither recorded nor faulted.
void RunBeforeCall(std::size_t index, std::function<void()> action);

// Another process holding a file (or folder; a link at the end is followed)
// open: not recorded, not counted by OpenHandleCount or OpenHandlePaths, but
// met by sharing checks, moves and deletes like any handle. The open is taken
// as given, without a sharing check. Released by ReleaseHeld, Restart or
// Reset; a missing item throws std::invalid_argument.
void HoldOpen(std::wstring_view path, DWORD access, DWORD share);
void ReleaseHeld();

// A new process on the disk as it is now: the record, planned faults, hooks
// and the crash are cleared, every handle (held ones too) is gone, the last
// error is 0, and LocalAlloc buffers of the old process are freed. Folders,
// files (live and durable contents), pending moves, links, the environment,
// the current folder and the user stay.
void Restart();

// True while one of the stand-in's Win32 functions (or WideDupEnv) runs, hooks
// included: an allocation-failure test uses it to fail only the product's own
// allocations, since a real Win32 call never raises a C++ error.
bool InPlatformCall();

}  // namespace van_tide::standin
