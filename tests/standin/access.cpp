// Access rights: what a handle holds, and what each call asks of it.
//
// Windows grants a handle its rights once, at the open, and checks them at
// every later call made through it: a handle opened without a right fails the
// call that needs it with ERROR_ACCESS_DENIED, however the file's security
// would have let the open ask for more. Wine checks none of this, so the
// stand-in is where a call made through a handle that lacks the right shows.
//
// - Generic rights are mapped to a file's specific rights at the open, as the
//   file object's generic mapping says ("File Security and Access Rights",
//   Microsoft Learn): GENERIC_READ to FILE_GENERIC_READ, GENERIC_WRITE to
//   FILE_GENERIC_WRITE (which holds no FILE_READ_ATTRIBUTES), GENERIC_EXECUTE
//   to FILE_GENERIC_EXECUTE, GENERIC_ALL to FILE_ALL_ACCESS.
// - CreateFileW adds SYNCHRONIZE | FILE_READ_ATTRIBUTES to whatever it is
//   asked for before it calls NtCreateFile (the CreateFileW page: with no
//   access asked for, attributes can still be queried); a direct
//   NtCreateFile grants exactly what it is asked for.
// - The rights one call needs are in kRequirements below, one row a call,
//   with the page each comes from. A row with several rights is met by any
//   of them.
//
// The stand-in keeps no access lists: an open is refused for its rights only
// where DenyAccess took some away from the item.
#include "standin/machine.h"

#include <stdexcept>
#include <string_view>

namespace van_tide::standin {
namespace {

struct Requirement {
  AccessUse use;
  const char* call;
  ACCESS_MASK rights;  // any one of them suffices; 0: the call needs none
  const char* source;
};

constexpr Requirement kRequirements[] = {
    {AccessUse::kRead, "ReadFile", FILE_READ_DATA,
     "ReadFile: the handle must have been created with read access; NtReadFile: FILE_READ_DATA"},
    {AccessUse::kWrite, "WriteFile", FILE_WRITE_DATA | FILE_APPEND_DATA,
     "WriteFile: the handle must have been created with write access; NtWriteFile: FILE_WRITE_DATA or "
     "FILE_APPEND_DATA"},
    {AccessUse::kFlush, "FlushFileBuffers", FILE_WRITE_DATA | FILE_APPEND_DATA,
     "FlushFileBuffers: the handle must have GENERIC_WRITE; NtFlushBuffersFile: FILE_WRITE_DATA or "
     "FILE_APPEND_DATA"},
    {AccessUse::kQueryAttributes, "GetFileInformationByHandle", FILE_READ_ATTRIBUTES,
     "ZwQueryInformationFile: FileBasicInformation and FileAllInformation need FILE_READ_ATTRIBUTES"},
    {AccessUse::kQuerySize, "GetFileSizeEx", 0,
     "ZwQueryInformationFile: FileStandardInformation, no particular access"},
    {AccessUse::kQueryName, "GetFileInformationByHandleEx(FileNameInfo), GetFinalPathNameByHandleW", 0,
     "ZwQueryInformationFile: FileNameInformation, no particular access"},
    {AccessUse::kList, "GetFileInformationByHandleEx(FileIdBothDirectoryInfo)", FILE_LIST_DIRECTORY,
     "ZwQueryDirectoryFile and the FILE_LIST_DIRECTORY right of a folder (File Access Rights Constants)"},
    {AccessUse::kRename, "NtSetInformationFile(FileRenameInformation)", DELETE,
     "ZwSetInformationFile: FileRenameInformation needs DELETE"},
    {AccessUse::kDispose, "NtSetInformationFile(FileDispositionInformation)", DELETE,
     "ZwSetInformationFile: FileDispositionInformation needs DELETE"},
    {AccessUse::kOpenBelow, "NtCreateFile relative to a folder handle", 0,
     "NtCreateFile: RootDirectory is only a starting point; the object manager takes the handle for no "
     "right, and the new open is checked against the item's own security"},
};

}  // namespace

ACCESS_MASK GrantedAccess(ACCESS_MASK desired, bool byCreateFile) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if ((desired & GENERIC_READ) != 0) granted |= FILE_GENERIC_READ;
  if ((desired & GENERIC_WRITE) != 0) granted |= FILE_GENERIC_WRITE;
  if ((desired & GENERIC_EXECUTE) != 0) granted |= FILE_GENERIC_EXECUTE;
  if ((desired & GENERIC_ALL) != 0) granted |= FILE_ALL_ACCESS;
  if (byCreateFile) granted |= SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  return granted;
}

void DenyAccess(std::wstring_view path, ACCESS_MASK rights) {
  const Lookup lookup = LookupPath(SetupLocation(path), false);
  if (lookup.error != ERROR_SUCCESS) {
    throw std::invalid_argument("stand-in: nothing to deny access to at " + Narrow(path));
  }
  lookup.node->denied = rights;
}

bool Refused(const Node& node, ACCESS_MASK granted) { return (node.denied & granted) != 0; }

ACCESS_MASK RequiredAccess(AccessUse use) {
  for (const Requirement& requirement : kRequirements) {
    if (requirement.use == use) return requirement.rights;
  }
  return 0;
}

bool HasAccess(const OpenFile& open, AccessUse use) {
  const ACCESS_MASK rights = RequiredAccess(use);
  return rights == 0 || (open.access & rights) != 0;
}

}  // namespace van_tide::standin
