// The native test tree lives on the stand-in's drive; a fresh stand-in per
// tree keeps tests apart.
#include "support/test_tree.h"

#include "platform/win32.h"
#include "standin/standin.h"

namespace van_tide::testing {

TestTree::TestTree() : root_(L"C:\\scratch") {
  standin::Reset();
  standin::AddDirectory(root_);
}

// The next tree or fixture resets the stand-in; only the current folder is
// put back, as the Windows tree does.
TestTree::~TestTree() {
  if (!previousFolder_.empty()) standin::SetCurrentFolder(previousFolder_);
}

Path TestTree::PathOf(std::wstring_view relative) const { return root_ + L"\\" + std::wstring(relative); }

void TestTree::MakeDirectory(std::wstring_view relative) { standin::AddDirectory(PathOf(relative)); }

void TestTree::WriteFile(std::wstring_view relative, std::string_view bytes) {
  standin::AddFile(PathOf(relative), bytes);
}

bool TestTree::MakeDirectoryLink(std::wstring_view relative, std::wstring_view targetRelative) {
  standin::AddDirectoryLink(PathOf(relative), PathOf(targetRelative));
  return true;
}

bool TestTree::MakeFileLink(std::wstring_view relative, std::wstring_view targetRelative) {
  standin::AddFileLink(PathOf(relative), PathOf(targetRelative));
  return true;
}

void TestTree::SetCurrentFolder(std::wstring_view relative) {
  // Every tree starts on a fresh stand-in, whose current folder is C:\.
  if (previousFolder_.empty()) previousFolder_ = L"C:\\";
  standin::SetCurrentFolder(PathOf(relative));
}

bool TestTree::Exists(std::wstring_view relative) const { return standin::Exists(PathOf(relative)); }

bool TestTree::IsDirectory(std::wstring_view relative) const {
  return standin::IsDirectory(PathOf(relative));
}

std::string TestTree::ReadFile(std::wstring_view relative) const {
  return standin::FileContents(PathOf(relative));
}

void TestTree::SetEnvironment(const wchar_t* name, const wchar_t* value) {
  if (value == nullptr) {
    standin::UnsetEnvironmentVariable(name);
  } else {
    standin::SetEnvironmentVariable(name, value);
  }
}

// The stand-in has drive C: alone unless a test adds one.
wchar_t TestTree::FreeDriveLetter() { return L'Q'; }

bool TestTree::UnderWine() { return false; }

std::size_t TestTree::OutstandingEnvCopies() { return standin::OutstandingEnvCopies(); }

}  // namespace van_tide::testing
