#include "fs/directory_chain.h"

#include "platform/status.h"

#include <string_view>

namespace van_tide {
namespace {

// Adds one component the way joining adds a plain name: a backslash unless the
// prefix is empty, ends in a separator, or is a drive designator alone. Unlike
// joining, a component that itself looks like "D:x" is appended as written, so
// every queried prefix is a prefix of the path the caller goes on to use.
void AppendComponent(Path& prefix, std::size_t rootNameLength, std::wstring_view component) {
  const bool driveAlone = prefix.size() == rootNameLength && rootNameLength < 3;
  if (!prefix.empty() && !driveAlone && !VantideIsSeparator(prefix.back())) prefix.push_back(L'\\');
  prefix.append(component);
}

HRESULT QueryMember(const Path& prefix, bool* missing) {
  const DWORD attributes = GetFileAttributesW(prefix.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (missing != nullptr) {
      *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return VantideFailureFromWin32(error);
  }
  // Reparse first: a junction or a link to a folder also carries the folder bit.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return kStatusNotADirectory;
  return kStatusOk;
}

}  // namespace

HRESULT VantideCheckDirectoryChain(const Path& dir, bool* missing) {
  const std::wstring_view view{dir};
  const std::size_t rootNameLength = VantideRootNameLength(view);
  // Behind a device prefix the drive or share belongs to the root: joining
  // element by element would let "C:" replace the prefix and query "C:" and
  // "C:x" relative to that drive's current folder, and "\\?\UNC" is no folder
  // at all; either way the folders that are opened would go unexamined.
  std::size_t position = VantideWalkStartLength(view);
  // A member that Windows rewrites would be asked about under another name
  // than the one the caller then opens through: at the end of a prefix "me "
  // is "me", in the middle of the caller's path it stays "me ".
  if (!VantideAreMembersReadAsWritten(view, position)) return kStatusInvalidName;
  Path prefix{view.substr(0, position)};
  prefix.reserve(dir.size() + 1);

  bool sawComponent = false;
  while (position < view.size()) {
    const std::size_t begin = position;
    while (position < view.size() && !VantideIsSeparator(view[position])) ++position;
    AppendComponent(prefix, rootNameLength, view.substr(begin, position - begin));
    sawComponent = true;
    const HRESULT status = QueryMember(prefix, missing);
    if (status < 0) return status;
    while (position < view.size() && VantideIsSeparator(view[position])) ++position;
  }

  // A trailing separator names the last folder once more, as a folder.
  if (sawComponent && VantideIsSeparator(view.back())) {
    prefix.push_back(L'\\');
    return QueryMember(prefix, missing);
  }
  return kStatusOk;
}

}  // namespace van_tide
