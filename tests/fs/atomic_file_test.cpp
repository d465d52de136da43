// Atomic creation against real files (the stand-in's natively, real ones
// under Wine), in folders the walk has opened or created.
#include "fs/atomic_file.h"

#include "platform/status.h"
#include "platform/win32.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace van_tide {
namespace {

using testing::TestTree;

// Creates the file at `relative` below the tree's root as the tool does: the
// folders above it first, each below the one above, then the file in the
// last of them.
HRESULT CreateBelowRoot(const TestTree& tree, std::wstring_view relative, std::string_view contents) {
  const VantideFolder root = testing::OpenFolder(tree.Root());
  if (!root.IsOpen()) return kStatusFailedWithoutReason;
  const std::size_t cut = relative.find_last_of(L'\\');
  if (cut == std::wstring_view::npos) return VantideCreateFileAtomically(root, relative, contents);
  VantideFolder folder;
  const HRESULT folderStatus = VantideCreateFoldersBelow(root, relative.substr(0, cut), &folder);
  if (folderStatus < 0) return folderStatus;
  return VantideCreateFileAtomically(folder, relative.substr(cut + 1), contents);
}

class AtomicFileTest : public ::testing::Test {
 protected:
  HRESULT Create(std::wstring_view relative, std::string_view contents) {
    return CreateBelowRoot(tree_, relative, contents);
  }
  TestTree tree_;
};

struct NewFileCase {
  const wchar_t* target;
  std::string contents;
  std::vector<const wchar_t*> createdFolders;
};

TEST_F(AtomicFileTest, CreatesExactlyTheTargetWithItsBytes) {
  const NewFileCase cases[] = {
      {L"license-device.dat", "device record", {}},
      {L"missing\\deeper\\f.dat", "two folders down", {L"missing", L"missing\\deeper"}},
      {L"empty.dat", std::string(), {}},
      // Nothing is text: a zero byte ends nothing, high bytes stay as they are.
      {L"binary.dat", std::string("\0\x01\xff\r\n\x80\x1a end\0", 11), {}},
      {L"large.dat", std::string(70000, '\xa5'), {}},
  };
  for (const NewFileCase& c : cases) {
    SCOPED_TRACE(std::wstring(L"target: ") + c.target);
    EXPECT_EQ(Create(c.target, c.contents), kStatusOk);
    for (const wchar_t* folder : c.createdFolders) EXPECT_TRUE(tree_.IsDirectory(folder)) << "folder";
    ASSERT_TRUE(tree_.Exists(c.target));
    EXPECT_FALSE(tree_.IsDirectory(c.target));
    EXPECT_EQ(tree_.ReadFile(c.target), c.contents);
    EXPECT_FALSE(tree_.Exists(std::wstring(c.target) + L".tmp"));
  }
}

struct BlockedCase {
  const wchar_t* existing;  // a file that stands in the way
  const wchar_t* target;
  HRESULT status;
  std::vector<const wchar_t*> absent;  // must not exist afterwards
};

// Whatever is already there wins and stays exactly as it was.
const BlockedCase kBlockedCases[] = {
    // The rename never replaces: an existing target keeps its contents.
    {L"f.dat", L"f.dat", static_cast<HRESULT>(0x800700B7U), {L"f.dat.tmp"}},
    // A temporary file of another run is never opened, reused or removed.
    {L"f.dat.tmp", L"f.dat", static_cast<HRESULT>(0x80070050U), {L"f.dat"}},
    // A file where the target's folder belongs: the folder cannot appear.
    {L"blocker", L"blocker\\f.dat", kStatusNotADirectory, {L"blocker\\f.dat.tmp"}},
    {L"blocker", L"blocker\\sub\\f.dat", kStatusNotADirectory, {L"blocker\\sub"}},
};

TEST(AtomicFileBlockedTest, LeavesWhatStandsInTheWayUntouched) {
  for (const BlockedCase& c : kBlockedCases) {
    SCOPED_TRACE(std::wstring(L"existing: ") + c.existing + L", target: " + c.target);
    TestTree tree;
    tree.WriteFile(c.existing, "already here");
    EXPECT_EQ(CreateBelowRoot(tree, c.target, "new contents"), c.status);
    EXPECT_FALSE(tree.IsDirectory(c.existing));
    EXPECT_EQ(tree.ReadFile(c.existing), "already here");
    for (const wchar_t* item : c.absent) EXPECT_FALSE(tree.Exists(item)) << "present";
  }
}

// A folder that is not open names no folder: the name would be read against
// whatever the system takes for a missing folder, so nothing may appear in
// the current folder.
TEST_F(AtomicFileTest, AFolderNotOpenCreatesNothing) {
  tree_.SetCurrentFolder(L"");
  const VantideFolder none;
  EXPECT_LT(VantideCreateFileAtomically(none, L"bare-name.dat", "x"), 0);
  EXPECT_FALSE(tree_.Exists(L"bare-name.dat"));
  EXPECT_FALSE(tree_.Exists(L"bare-name.dat.tmp"));
}

// The file goes into the folder held, through a link nowhere: a link at the
// folder's name is refused before anything is created behind it.
TEST_F(AtomicFileTest, NothingIsCreatedBehindAFolderLink) {
  tree_.MakeDirectory(L"target");
  if (!tree_.MakeDirectoryLink(L"link", L"target")) GTEST_SKIP() << "no folder links on this machine";
  EXPECT_EQ(Create(L"link\\f.dat", "through the link"), kStatusCantAccessFile);
  EXPECT_FALSE(tree_.Exists(L"target\\f.dat"));
  EXPECT_FALSE(tree_.Exists(L"target\\f.dat.tmp"));
}

}  // namespace
}  // namespace van_tide
