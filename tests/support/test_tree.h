// A scratch folder tree for tests that run on both builds: a folder on the
// stand-in's drive natively, a fresh temporary folder on Windows (removed
// again by the destructor).
#pragma once

#include "fs/path.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide::testing {

// The literal ("\\?\") form of an absolute path, in which every name below
// the root is read as written: no trailing blank or period dropped, no device
// name, "x " beside "x" reachable.
inline Path LiteralForm(const Path& absolute) {
  if (absolute.starts_with(L"\\\\?\\")) return absolute;
  if (absolute.starts_with(L"\\\\.\\")) return L"\\\\?\\" + absolute.substr(4);
  if (absolute.starts_with(L"\\\\")) return L"\\\\?\\UNC" + absolute.substr(1);
  return L"\\\\?\\" + absolute;
}

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
  // Returns false when this machine cannot make one; the test then skips (and
  // fails where VANTIDE_TEST_LINKS_REQUIRED=1 says that links must work).
  // The target need not exist: a missing one makes a dangling link.
  bool MakeDirectoryLink(std::wstring_view relative, std::wstring_view targetRelative);
  // A file symbolic link at `relative` to the file `targetRelative` of this
  // tree, which need not exist either. Returns false when this machine cannot
  // make one (Windows without the right to make links); the test then skips,
  // as above.
  // Under Wine the link is a Unix one, which Wine shows as its target file.
  bool MakeFileLink(std::wstring_view relative, std::wstring_view targetRelative);
  // Makes the folder `relative` of this tree the process's current folder,
  // until the tree is gone.
  void SetCurrentFolder(std::wstring_view relative);

  bool Exists(std::wstring_view relative) const;
  bool IsDirectory(std::wstring_view relative) const;
  // The file's bytes; empty when it cannot be read.
  std::string ReadFile(std::wstring_view relative) const;

  // The process environment as the code under test reads it. A null value
  // removes the variable.
  static void SetEnvironment(const wchar_t* name, const wchar_t* value);
  // Copies of environment values handed out and not yet given back. Only the
  // stand-in counts them; on Windows this is always 0.
  static std::size_t OutstandingEnvCopies();

  // A drive letter that names no drive on this machine.
  static wchar_t FreeDriveLetter();
  // True in the Windows build when it runs under Wine rather than Windows.
  static bool UnderWine();

 private:
  Path root_;
  // Links this tree made on Windows, removed as links before anything else is
  // deleted: under Wine a file link does not look like a link, and deleting it
  // through the Windows API would delete its target instead. (The stand-in's
  // tree needs none: the next tree resets the machine.)
  std::vector<Path> links_;
  // The current folder before SetCurrentFolder, put back by the destructor.
  Path previousFolder_;
};

}  // namespace van_tide::testing
