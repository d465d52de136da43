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
  bool missing;  // a member is missing: the flag is set; otherwise it stays as the caller set it
};

const ChainCase kChainCases[] = {
    {L"Roaming\\Vantide", kStatusOk, false},
    {L"Roaming/Vantide", kStatusOk, false},
    {L"Roaming\\\\Vantide\\", kStatusOk, false},
    {L"Roaming\\Absent", static_cast<HRESULT>(0x80070002U), true},
    {L"Absent\\Vantide", static_cast<HRESULT>(0x80070002U), true},  // stops at Absent
    {L"Roaming\\file", kStatusNotADirectory, false},
    {L"Roaming\\file\\below", kStatusNotADirectory, false},
};

TEST_F(DirectoryChainTest, ReportsTheFirstMemberThatIsNotAPlainFolder) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    // A caller may come with the flag already set; only a missing member
    // writes it.
    for (const bool before : {false, true}) {
      SCOPED_TRACE(before);
      bool missing = before;
      EXPECT_EQ(VantideCheckDirectoryChain(tree_.PathOf(c.dir), &missing), c.status);
      EXPECT_EQ(missing, c.missing || before);
    }
  }
}

TEST_F(DirectoryChainTest, RefusesALinkAnywhereOnTheChainEvenWhenAllExists) {
  if (!tree_.MakeDirectoryLink(L"Linked", L"Roaming")) GTEST_SKIP() << "no directory links here";
  for (const wchar_t* dir : {L"Linked", L"Linked\\Vantide"}) {
    SCOPED_TRACE(dir);
    for (const bool before : {false, true}) {
      SCOPED_TRACE(before);
      bool missing = before;
      EXPECT_EQ(VantideCheckDirectoryChain(tree_.PathOf(dir), &missing), kStatusCantAccessFile);
      EXPECT_EQ(missing, before);  // not written
    }
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

TEST_F(DirectoryChainTest, ACallerNeedNotAskWhetherAMemberIsMissing) {
  EXPECT_EQ(VantideCheckDirectoryChain(tree_.PathOf(L"Roaming\\Absent"), nullptr),
            static_cast<HRESULT>(0x80070002U));
}

}  // namespace
}  // namespace van_tide
