// The product's own walk, for tests that hand a folder to a function that
// works below it, and for tests that look at a file through the same walk.
#pragma once

#include "fs/folder_walk.h"
#include "fs/path.h"

#include <string>

namespace van_tide::testing {

// The folder at `path` as the walk opens it; empty when the walk fails.
inline VantideFolder OpenFolder(const Path& path) {
  VantideFolder folder;
  bool missing = false;
  if (VantideOpenFolderPath(path, &folder, &missing) < 0) return VantideFolder();
  return folder;
}

// The folder holding the file at `path`, opened, and the file's name.
struct FileInFolder {
  VantideFolder folder;
  std::wstring name;
};

inline FileInFolder OpenFolderOf(const Path& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return {OpenFolder(path.substr(0, cut)), path.substr(cut + 1)};
}

}  // namespace van_tide::testing
