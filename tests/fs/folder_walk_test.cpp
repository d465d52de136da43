// The walk and folder creation against a real folder tree (the stand-in's
// natively, real folders under Wine).
#include "fs/folder_walk.h"

#include "fs/small_file.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using testing::TestTree;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002U);

// Which folder of the tree a handle holds: each folder of the fixture holds a
// file "here" with its own name in it, read through the handle.
std::string Marker(const VantideFolder& folder) {
  std::string bytes;
  bool missing = false;
  if (VantideReadSmallFile(folder, L"here", &bytes, &missing) < 0) return "(none)";
  return bytes;
}

class FolderWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.WriteFile(L"here", "root");
    tree_.WriteFile(L"Roaming\\here", "Roaming");
    tree_.WriteFile(L"Roaming\\Vantide\\here", "Vantide");
    tree_.WriteFile(L"Roaming\\file", "x");
  }
  TestTree tree_;
};

struct WalkCase {
  const wchar_t* dir;  // below the tree's root
  HRESULT status;
  const wchar_t* rest;  // the members from the missing one on; null: not missing
  const char* held;     // the folder held afterwards, by its marker; null: not asked
};

const WalkCase kWalkCases[] = {
    {L"Roaming\\Vantide", kStatusOk, nullptr, "Vantide"},
    {L"Roaming/Vantide", kStatusOk, nullptr, "Vantide"},
    {L"Roaming\\\\Vantide\\", kStatusOk, nullptr, "Vantide"},
    {L"ROAMING\\vantide", kStatusOk, nullptr, "Vantide"},
    {L"Roaming\\Absent", kFileNotFound, L"Absent", "Roaming"},
    {L"Roaming\\Absent\\deeper", kFileNotFound, L"Absent\\deeper", "Roaming"},
    {L"Absent\\Vantide", kFileNotFound, L"Absent\\Vantide", "root"},
    {L"Roaming\\file", kStatusNotADirectory, nullptr, nullptr},
    {L"Roaming\\file\\below", kStatusNotADirectory, nullptr, nullptr},
};

TEST_F(FolderWalkTest, HoldsTheFolderOrReportsTheFirstMemberThatIsNotAPlainFolder) {
  for (const WalkCase& c : kWalkCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    // A caller may come with the flag already set: every failure writes it,
    // a success leaves it alone.
    for (const bool before : {false, true}) {
      SCOPED_TRACE(before);
      VantideFolder folder;
      bool missing = before;
      std::wstring rest = L"untouched";
      EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(c.dir), &folder, &missing, &rest), c.status);
      EXPECT_EQ(missing, c.status >= 0 ? before : c.rest != nullptr);
      EXPECT_EQ(rest, c.rest != nullptr ? c.rest : L"untouched");
      if (c.held != nullptr) {
        EXPECT_EQ(Marker(folder), c.held);
      }
    }
  }
}

TEST_F(FolderWalkTest, WalksOnBelowAFolderItHolds) {
  const VantideFolder root = testing::OpenFolder(tree_.Root());
  ASSERT_TRUE(root.IsOpen());
  VantideFolder folder;
  bool missing = false;
  ASSERT_EQ(VantideOpenFolderBelow(root, L"Roaming\\Vantide", &folder, &missing), kStatusOk);
  EXPECT_EQ(Marker(folder), "Vantide");
  EXPECT_EQ(Marker(root), "root");
}

TEST_F(FolderWalkTest, RefusesALinkAnywhereOnTheChainEvenWhenAllExists) {
  if (!tree_.MakeDirectoryLink(L"Linked", L"Roaming")) GTEST_SKIP() << "no directory links here";
  for (const wchar_t* dir : {L"Linked", L"Linked\\Vantide"}) {
    SCOPED_TRACE(dir);
    for (const bool before : {false, true}) {
      SCOPED_TRACE(before);
      VantideFolder folder;
      bool missing = before;
      EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(dir), &folder, &missing), kStatusCantAccessFile);
      EXPECT_FALSE(missing);
    }
  }
}

// The start of a walk is a drive or a share, named by the path itself: a
// path without one would start wherever the current folder happens to be.
TEST_F(FolderWalkTest, StartsOnlyAtADriveOrShareOfItsOwn) {
  const struct {
    const wchar_t* path;
    HRESULT status;
  } cases[] = {
      {L"", kStatusInvalidName},
      {L"C:", kStatusInvalidName},
      {L"Roaming", kStatusInvalidName},
      {L"C:\\", kStatusOk},
  };
  tree_.SetCurrentFolder(L"");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    VantideFolder folder;
    bool missing = true;
    EXPECT_EQ(VantideOpenFolderPath(c.path, &folder, &missing), c.status);
    EXPECT_TRUE(missing);  // not written
    EXPECT_EQ(folder.IsOpen(), c.status >= 0);
  }
}

TEST_F(FolderWalkTest, ACallerNeedNotAskWhetherAMemberIsMissing) {
  VantideFolder folder;
  EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(L"Roaming\\Absent"), &folder, nullptr), kFileNotFound);
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

struct CreateCase {
  const wchar_t* dir;  // below the tree's root
  HRESULT status;
  std::vector<const wchar_t*> folders;  // must be folders afterwards
};

// The tree holds the file "file" and the folder "existing\inner". A file in
// the way is no folder, wherever it stands, and nothing is made below it.
const CreateCase kCreateCases[] = {
    {L"existing\\inner", kStatusOk, {L"existing\\inner"}},
    {L"existing\\inner\\", kStatusOk, {L"existing\\inner"}},
    {L"a\\b\\c", kStatusOk, {L"a", L"a\\b", L"a\\b\\c"}},
    {L"s/t//u\\", kStatusOk, {L"s", L"s\\t", L"s\\t\\u"}},
    {L"existing\\new", kStatusOk, {L"existing\\new"}},
    {L"file", kStatusNotADirectory, {}},
    {L"file\\sub", kStatusNotADirectory, {}},
    {L"file\\sub\\deeper", kStatusNotADirectory, {}},
};

TEST_F(FolderWalkTest, CreationMakesWhatIsMissingAndReportsAFileInTheWay) {
  tree_.WriteFile(L"file", "x");
  tree_.MakeDirectory(L"existing\\inner");
  tree_.WriteFile(L"existing\\inner\\here", "inner");
  const VantideFolder root = testing::OpenFolder(tree_.Root());
  ASSERT_TRUE(root.IsOpen());
  for (const CreateCase& c : kCreateCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    VantideFolder folder;
    EXPECT_EQ(VantideCreateFoldersBelow(root, c.dir, &folder), c.status);
    for (const wchar_t* made : c.folders) EXPECT_TRUE(tree_.IsDirectory(made)) << "folder";
  }
  EXPECT_EQ(tree_.ReadFile(L"file"), "x");
  EXPECT_FALSE(tree_.Exists(L"file\\sub"));
  // A folder that existed is the one held, with what it holds.
  VantideFolder folder;
  ASSERT_EQ(VantideCreateFoldersBelow(root, L"existing\\inner", &folder), kStatusOk);
  EXPECT_EQ(Marker(folder), "inner");
}

// Nothing is created behind a link: the link is refused as the walk refuses
// it, and the folder it leads to stays as it was.
TEST_F(FolderWalkTest, CreationRefusesAFolderLink) {
  tree_.MakeDirectory(L"target");
  if (!tree_.MakeDirectoryLink(L"link", L"target")) GTEST_SKIP() << "no folder links on this machine";
  const VantideFolder root = testing::OpenFolder(tree_.Root());
  ASSERT_TRUE(root.IsOpen());
  for (const wchar_t* dir : {L"link", L"link\\new"}) {
    SCOPED_TRACE(dir);
    VantideFolder folder;
    EXPECT_EQ(VantideCreateFoldersBelow(root, dir, &folder), kStatusCantAccessFile);
  }
  EXPECT_FALSE(tree_.Exists(L"target\\new"));
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

// Below the start a name reaches the file system as written: a trailing blank
// or period stays, and a device name names a folder. Each is a folder of its
// own beside "plain", made and found again by that name, never "plain"
// itself. Wine names a folder without its trailing blanks and periods in a
// handle's path on its volume, so there the path test refuses such a folder
// instead.
TEST_F(FolderWalkTest, ANameWindowsRewritesInPathsIsAnOrdinaryFolderBelowTheStart) {
  tree_.WriteFile(L"plain\\here", "plain");
  const VantideFolder root = testing::OpenFolder(tree_.Root());
  ASSERT_TRUE(root.IsOpen());
  const struct {
    const wchar_t* name;
    bool trailing;  // a trailing blank or period
  } cases[] = {{L"plain ", true}, {L"plain.", true}, {L"CON", false}, {L"nul.txt", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HRESULT expected = c.trailing && TestTree::UnderWine() ? kStatusCantAccessFile : kStatusOk;
    VantideFolder made;
    EXPECT_EQ(VantideCreateFoldersBelow(root, c.name, &made), expected);
    const std::wstring literal = testing::LiteralForm(tree_.PathOf(c.name));
    const DWORD attributes = GetFileAttributesW(literal.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0U);

    VantideFolder found;
    bool missing = false;
    EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(std::wstring(c.name) + L"\\"), &found, &missing), expected);
    if (expected >= 0) {
      EXPECT_EQ(Marker(found), "(none)");  // not "plain"
    }
  }
  EXPECT_EQ(tree_.ReadFile(L"plain\\here"), "plain");
}

}  // namespace
}  // namespace van_tide
