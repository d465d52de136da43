// In-memory stand-in for the Win32 subset the tool uses, for the native (Linux)
// build. It is test infrastructure: it exists so that every failure path can be
// driven on purpose and observed. It keeps the Win32 names, types, constants
// and error codes exactly, so that product code compiles unchanged.
//
// Model, in brief:
// - Drives (C: exists after Reset) and server shares (\\server\share, added on
//   demand) hold folders and files. Names compare without regard to case as
//   NTFS does, through a fixed upper-casing of UTF-16 code units that does
//   not depend on the process locale: Unicode's simple upper case for ASCII,
//   Latin-1 Supplement, Latin Extended-A, Greek and Cyrillic, less U+0131
//   and U+017F (which would become ASCII I and S); other letters compare as
//   written. "\\?\", "\??\" and "\\.\" prefixes are accepted before a drive
//   or UNC\server\share. Relative paths resolve against the current folder
//   (C:\ after Reset).
// - Links: a folder link (junction or directory symbolic link) reports
//   FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, a file link reports
//   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT. Attribute queries
//   report the link itself; a link met in the middle of a path is followed.
//   CreateFileW follows a link at the end of the path unless
//   FILE_FLAG_OPEN_REPARSE_POINT is given.
// - Error codes follow Windows: a missing last member gives ERROR_FILE_NOT_FOUND,
//   a missing or non-folder member above it ERROR_PATH_NOT_FOUND, opening a
//   folder without FILE_FLAG_BACKUP_SEMANTICS ERROR_ACCESS_DENIED, CREATE_NEW on
//   an existing name ERROR_FILE_EXISTS, a share-mode conflict
//   ERROR_SHARING_VIOLATION, a move onto an existing name ERROR_ALREADY_EXISTS.
// - Paths are normalised as Windows does before the file system sees them:
//   both separators, runs of them collapse, "." and ".." apply lexically
//   (never above the root), a member ending in a single period loses it
//   ("x.\y" is "x\y"; "...\y" stays), and unless the path ends in a
//   separator its last member loses all trailing periods and spaces
//   ("f.txt. " is "f.txt"; a last member "..." vanishes, leaving a trailing
//   separator). "\\.\" paths are normalised too. After "\\?\" or "\??\"
//   (backslashes exactly) nothing is: only "\" separates, names keep their
//   periods and spaces, and an empty member, "." or ".." gives
//   ERROR_INVALID_NAME, as the file system refuses such names. <>:"/|?* or a
//   control character in a name give ERROR_INVALID_NAME. A trailing separator
//   names a folder: after a folder link it reaches the target (reported
//   without the reparse bit, as on Wine), after a file it gives
//   ERROR_INVALID_NAME. A link cycle ends in ERROR_CANT_RESOLVE_FILENAME.
// - Handles: share modes are checked both ways as on Windows; a folder opens
//   only with FILE_FLAG_BACKUP_SEMANTICS; an open file is moved or deleted
//   only when every handle on it shares deletion (else
//   ERROR_SHARING_VIOLATION). Listing gives "." and ".." first (except at a
//   root), then names in the ordinal order of their upper-cased UTF-16 code
//   units, as NTFS does (a character beyond the BMP, a surrogate pair there,
//   sorts below U+E000).
// - Successful calls leave the last error as it was, so code that reads it
//   after a success is caught reading a stale value. The exceptions are
//   Windows' own, all in CreateFileW: a call that creates the file sets it to
//   0 (ERROR_SUCCESS), whatever the disposition (CREATE_NEW, CREATE_ALWAYS,
//   OPEN_ALWAYS); CREATE_ALWAYS and OPEN_ALWAYS on an existing file set it to
//   ERROR_ALREADY_EXISTS. OPEN_EXISTING and TRUNCATE_EXISTING leave it.
// - The data-protection service seals for the current user; a blob opens only
//   for that user (else the last error is NTE_BAD_KEY_STATE, 0x8009000B) and
//   only when unaltered (else ERROR_INVALID_DATA). Its output buffers come from
//   LocalAlloc and are counted until LocalFree.
// - The environment tells an unset variable from an empty one; variable names
//   compare through the same upper-casing as file names.
// - Durability is modelled at its worst. A file has live contents (what reads
//   see) and durable contents (what survives a crash). AddFile's contents are
//   durable; WriteFile changes only the live ones; FlushFileBuffers on a handle
//   makes its file's live contents durable; CloseHandle flushes nothing.
//   Creating a file or folder, truncating a file on open and deleting a file
//   are durable at once, so a file created and never flushed is empty after a
//   crash. MoveFileExW with MOVEFILE_WRITE_THROUGH is durable at once; without
//   it the move is pending until a FlushFileBuffers on any handle of the same
//   volume (NTFS commits its log with a flush), and a crash undoes pending
//   moves newest first: the item goes back to its old name (and a file it
//   replaced comes back), unless something else now stands there or the item
//   has since left its new name.
// - Faults by position (InjectFaultAtCall) decide one call by its index in the
//   record, whatever its API and path; a ReadFile or WriteFile fault with
//   failAfterTransfer transfers its short count and then fails, as a write
//   does when the disk fills part-way.
// - A crash (CrashAfterCall) kills the process under test right after one
//   call: its handles and their share locks go, files fall back to their
//   durable contents, pending moves are undone, and every later call fails
//   with ERROR_INVALID_HANDLE without touching the machine or the record, so
//   the code under test runs to its end harmlessly. Restart then starts a new
//   process on the disk as the crash left it.
// - Other processes: RunBeforeCall runs a test's action just before a given
//   call (a file appearing or vanishing mid-run), and HoldOpen keeps a file
//   open with the given access and share mode, uncounted and unrecorded, so
//   that sharing, moves and deletes meet it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Win32 types and constants
// ---------------------------------------------------------------------------

#define WINAPI

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using BOOL = int;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using HLOCAL = void*;
using HRESULT = std::int32_t;
using errno_t = int;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

inline constexpr std::size_t MAX_PATH = 260;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

enum FINDEX_INFO_LEVELS { FindExInfoStandard, FindExInfoBasic, FindExInfoMaxInfoLevel };
enum FINDEX_SEARCH_OPS {
  FindExSearchNameMatch,
  FindExSearchLimitToDirectories,
  FindExSearchLimitToDevices,
  FindExSearchMaxSearchOp
};

struct DATA_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
struct CRYPTPROTECT_PROMPTSTRUCT;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFU;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

inline constexpr DWORD GENERIC_READ = 0x80000000U;
inline constexpr DWORD GENERIC_WRITE = 0x40000000U;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
inline constexpr DWORD FIND_FIRST_EX_CASE_SENSITIVE = 0x1;
inline constexpr DWORD FIND_FIRST_EX_LARGE_FETCH = 0x2;
inline constexpr DWORD IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003U;
inline constexpr DWORD IO_REPARSE_TAG_SYMLINK = 0xA000000CU;
inline constexpr DWORD CRYPTPROTECT_UI_FORBIDDEN = 0x1;
inline constexpr DWORD CRYPTPROTECT_LOCAL_MACHINE = 0x4;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_DUP_NAME = 52;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
inline constexpr DWORD ERROR_NETNAME_DELETED = 64;
inline constexpr DWORD ERROR_BAD_NET_NAME = 67;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_CANT_ACCESS_FILE = 1920;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
inline constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000BU;

// ---------------------------------------------------------------------------
// Win32 functions
// ---------------------------------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD error);

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE object);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
DWORD GetFileAttributesW(LPCWSTR fileName);
BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID fileInformation);
BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
BOOL DeleteFileW(LPCWSTR fileName);
HANDLE FindFirstFileExW(LPCWSTR fileName, FINDEX_INFO_LEVELS infoLevel, LPVOID findFileData,
                        FINDEX_SEARCH_OPS searchOp, LPVOID searchFilter, DWORD additionalFlags);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData);
BOOL FindClose(HANDLE findFile);

BOOL CryptProtectData(DATA_BLOB* dataIn, LPCWSTR dataDescription, DATA_BLOB* optionalEntropy, LPVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags, DATA_BLOB* dataOut);
BOOL CryptUnprotectData(DATA_BLOB* dataIn, LPWSTR* dataDescription, DATA_BLOB* optionalEntropy,
                        LPVOID reserved, CRYPTPROTECT_PROMPTSTRUCT* promptStruct, DWORD flags,
                        DATA_BLOB* dataOut);
HLOCAL LocalFree(HLOCAL memory);

// ---------------------------------------------------------------------------
// Control of the stand-in, for tests and tools
// ---------------------------------------------------------------------------

namespace van_tide::standin {

// Every call the stand-in implements, for fault injection and the call record.
// LocalFree is the one call that is not recorded (it can still be faulted);
// OutstandingLocalBuffers tells whether the buffers were released.
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
};

const char* ApiName(Api api);

// One call as it was made. `path` is the path text exactly as passed (for calls
// on a handle: the text the handle was opened with; for WideDupEnv: the
// variable name; for the data-protection calls: empty). `path2` is the target
// of MoveFileExW. `args` holds the call's DWORD arguments in parameter order:
// CreateFileW: access, share mode, disposition, flags and attributes;
// ReadFile/WriteFile: the byte count asked for; MoveFileExW: flags;
// FindFirstFileExW: info level, search op, additional flags;
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
// drive, a file where a folder is needed) throws std::invalid_argument.
void AddDrive(wchar_t letter);
void AddDirectory(std::wstring_view path);
void AddFile(std::wstring_view path, std::string_view bytes);
void AddDirectoryLink(std::wstring_view path, std::wstring_view target);
void AddFileLink(std::wstring_view path, std::wstring_view target);
void SetCurrentFolder(std::wstring_view path);  // an existing folder
// An item and all below it; links are not followed; nothing happens when it
// does not exist. Handles open on it stay usable.
void Remove(std::wstring_view path);

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
