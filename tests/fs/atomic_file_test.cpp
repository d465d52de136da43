// Atomic creation and the folder chain against real files (the stand-in's
// natively, real ones under Wine).
#include "fs/atomic_file.h"

#include "platform/status.h"
#include "platform/win32.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using testing::TestTree;

class AtomicFileTest : public ::testing::Test {
 protected:
  HRESULT Create(std::wstring_view relative, std::string_view contents) {
    return VantideCreateFileAtomically(tree_.PathOf(relative), contents);
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
    // The move never replaces: an existing target keeps its contents.
    {L"f.dat", L"f.dat", static_cast<HRESULT>(0x800700B7U), {L"f.dat.tmp"}},
    // A temporary file of another run is never opened, reused or removed.
    {L"f.dat.tmp", L"f.dat", static_cast<HRESULT>(0x80070050U), {L"f.dat"}},
    // A file where the target's folder belongs: the folder cannot appear.
    {L"blocker", L"blocker\\f.dat", static_cast<HRESULT>(0x800700B7U), {L"blocker\\f.dat.tmp"}},
    {L"blocker", L"blocker\\sub\\f.dat", static_cast<HRESULT>(0x800700B7U), {L"blocker\\sub"}},
};

TEST(AtomicFileBlockedTest, LeavesWhatStandsInTheWayUntouched) {
  for (const BlockedCase& c : kBlockedCases) {
    SCOPED_TRACE(std::wstring(L"existing: ") + c.existing + L", target: " + c.target);
    TestTree tree;
    tree.WriteFile(c.existing, "already here");
    EXPECT_EQ(VantideCreateFileAtomically(tree.PathOf(c.target), "new contents"), c.status);
    EXPECT_FALSE(tree.IsDirectory(c.existing));
    EXPECT_EQ(tree.ReadFile(c.existing), "already here");
    for (const wchar_t* item : c.absent) EXPECT_FALSE(tree.Exists(item)) << "present";
  }
}

TEST_F(AtomicFileTest, ABareFileNameHasNoFolderAndCreatesNothing) {
  const Path name = L"vantide-atomic-bare-name.dat";
  EXPECT_EQ(VantideCreateFileAtomically(name, "x"), static_cast<HRESULT>(0x80070003U));
  EXPECT_EQ(GetFileAttributesW(name.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW((name + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}

struct ChainCase {
  const wchar_t* dir;  // below the tree's root; empty: the root itself
  DWORD error;
  std::vector<const wchar_t*> folders;  // must be folders afterwards
};

// The tree holds the file "file" and the folder "existing\inner". Expected
// codes follow the walk: a step that meets a file gives 183, a step below it
// fails with a not-found error, which does not hide the 183.
const ChainCase kChainCases[] = {
    {L"", 0, {}},
    {L"existing\\inner", 0, {L"existing\\inner"}},
    {L"existing\\inner\\", 0, {L"existing\\inner"}},
    {L"a\\b\\c", 0, {L"a", L"a\\b", L"a\\b\\c"}},
    {L"s/t//u\\", 0, {L"s", L"s\\t", L"s\\t\\u"}},
    {L"existing\\new", 0, {L"existing\\new"}},
    {L"file", 183, {}},
    {L"file\\sub", 183, {}},
    {L"file\\sub\\deeper", 183, {}},
};

TEST_F(AtomicFileTest, DirectoryChainCreatesWhatIsMissingAndReportsAFileInTheWay) {
  tree_.WriteFile(L"file", "x");
  tree_.MakeDirectory(L"existing\\inner");
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    const Path dir = *c.dir == L'\0' ? tree_.Root() : tree_.PathOf(c.dir);
    EXPECT_EQ(VantideCreateDirectoryChain(dir), c.error);
    for (const wchar_t* folder : c.folders) EXPECT_TRUE(tree_.IsDirectory(folder)) << "folder";
  }
  EXPECT_EQ(tree_.ReadFile(L"file"), "x");
  EXPECT_FALSE(tree_.Exists(L"file\\sub"));
}

TEST_F(AtomicFileTest, DirectoryChainGoesThroughAFolderLink) {
  tree_.MakeDirectory(L"target");
  if (!tree_.MakeDirectoryLink(L"link", L"target")) GTEST_SKIP() << "no folder links on this machine";
  EXPECT_EQ(VantideCreateDirectoryChain(tree_.PathOf(L"link")), 0U);
  EXPECT_EQ(Create(L"link\\new\\f.dat", "through the link"), kStatusOk);
  EXPECT_EQ(tree_.ReadFile(L"target\\new\\f.dat"), "through the link");
}

}  // namespace
}  // namespace van_tide
