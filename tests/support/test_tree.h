// A scratch folder tree for tests that run on both builds: a folder on the
// stand-in's drive natively, a fresh temporary folder on Windows (removed
// again by the destructor).
#pragma once

#include "fs/path.h"

#include <string>
#include <string_view>

namespace van_tide::testing {

class TestTree {
 public:
  TestTree();
  ~TestTree();
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  // The tree's root folder, absolute, without a trailing separator.
  const Path& Root() const { return root_; }
  // Root, a backslash, then `relative` as written (slashes are kept).
  Path PathOf(std::wstring_view relative) const;

  // Folders above the new item are created as needed.
  void MakeDirectory(std::wstring_view relative);
  void WriteFile(std::wstring_view relative, std::string_view bytes);
  // A directory symbolic link (a junction where links cannot be made) at
  // `relative` that points to the folder `targetRelative` of this tree.
  // Returns false when this machine cannot make one; the test then skips.
  bool MakeDirectoryLink(std::wstring_view relative, std::wstring_view targetRelative);

  bool Exists(std::wstring_view relative) const;
  bool IsDirectory(std::wstring_view relative) const;
  // The file's bytes; empty when it cannot be read.
  std::string ReadFile(std::wstring_view relative) const;

  // The process environment as the code under test reads it. A null value
  // removes the variable.
  static void SetEnvironment(const wchar_t* name, const wchar_t* value);

 private:
  Path root_;
};

}  // namespace van_tide::testing
