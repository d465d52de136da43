// The chain check against a real folder tree (the stand-in's natively, real
// folders under Wine).
#include "fs/directory_chain.h"

#include "platform/status.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

namespace van_tide {
namespace {

using testing::TestTree;

class DirectoryChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.MakeDirectory(L"Roaming\\Vantide");
    tree_.WriteFile(L"Roaming\\file", "x");
  }
  TestTree tree_;
};

struct ChainCase {
  const wchar_t* dir;  // below the tree's root
  HRESULT status;
  bool missing;        // the flag afterwards; the caller set it to false
};

const ChainCase kChainCases[] = {
    {L"Roaming\\Vantide", kStatusOk, false},
    {L"Roaming/Vantide", kStatusOk, false},
    {L"Roaming\\\\Vantide\\", kStatusOk, false},
    {L"Roaming\\Absent", VantideStatusFromWin32(ERROR_FILE_NOT_FOUND), true},
    {L"Absent\\Vantide", VantideStatusFromWin32(ERROR_FILE_NOT_FOUND), true},  // stops at Absent
    {L"Roaming\\file", kStatusNotADirectory, false},
    {L"Roaming\\file\\below", kStatusNotADirectory, false},
};

TEST_F(DirectoryChainTest, ReportsTheFirstMemberThatIsNotAPlainFolder) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    bool missing = false;
    EXPECT_EQ(VantideCheckDirectoryChain(tree_.PathOf(c.dir), &missing), c.status);
    EXPECT_EQ(missing, c.missing);
  }
}

TEST_F(DirectoryChainTest, RefusesALinkAnywhereOnTheChainEvenWhenAllExists) {
  if (!tree_.MakeDirectoryLink(L"Linked", L"Roaming")) GTEST_SKIP() << "no directory links here";
  for (const wchar_t* dir : {L"Linked", L"Linked\\Vantide"}) {
    SCOPED_TRACE(dir);
    bool missing = false;
    EXPECT_EQ(VantideCheckDirectoryChain(tree_.PathOf(dir), &missing), kStatusCantAccessFile);
    EXPECT_FALSE(missing);
  }
}

TEST_F(DirectoryChainTest, EmptyPathAndDriveRootsAreNotExamined) {
  for (const wchar_t* dir : {L"", L"C:\\", L"C:"}) {
    SCOPED_TRACE(dir);
    bool missing = true;
    EXPECT_EQ(VantideCheckDirectoryChain(dir, &missing), kStatusOk);
    EXPECT_TRUE(missing);  // not written
  }
}

}  // namespace
}  // namespace van_tide
