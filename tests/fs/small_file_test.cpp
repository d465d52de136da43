// Whole-file reads against real files (the stand-in's natively, real ones
// under Wine), in a folder the walk has opened.
#include "fs/small_file.h"

#include "platform/status.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide {
namespace {

using testing::TestTree;

class SmallFileTest : public ::testing::Test {
 protected:
  // `name` in the tree's root folder.
  HRESULT Read(const wchar_t* name) {
    missing_ = false;
    bytes_ = "untouched";
    const VantideFolder folder = testing::OpenFolder(tree_.Root());
    EXPECT_TRUE(folder.IsOpen());
    return VantideReadSmallFile(folder, name, &bytes_, &missing_);
  }
  TestTree tree_;
  std::string bytes_;
  bool missing_ = false;
};

TEST_F(SmallFileTest, ReturnsTheBytesExactlyUpToTheBound) {
  // Both ends of the allowed range, 1 and 65,536 bytes, and binary between.
  const std::string smallest("\x80", 1);
  const std::string binary("\0\x01\xff\r\n\x80 end\0", 10);
  const std::string largest(65536, 'a');
  for (const std::string* contents : {&smallest, &binary, &largest}) {
    SCOPED_TRACE(contents->size());
    tree_.WriteFile(L"f", *contents);
    EXPECT_EQ(Read(L"f"), kStatusOk);
    EXPECT_EQ(bytes_, *contents);
    EXPECT_FALSE(missing_);
  }
}

TEST_F(SmallFileTest, RefusesEmptyAndOversizedFilesWithoutReadingThem) {
  const struct {
    std::string contents;
    HRESULT status;
  } cases[] = {
      {std::string(), kStatusInvalidData},
      {std::string(65537, 'a'), kStatusFileTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents.size());
    tree_.WriteFile(L"f", c.contents);
    EXPECT_EQ(Read(L"f"), c.status);
    EXPECT_EQ(bytes_, "untouched");
    EXPECT_FALSE(missing_);
  }
}

TEST_F(SmallFileTest, TellsAMissingFileFromARefusedOne) {
  tree_.MakeDirectory(L"folder");
  EXPECT_EQ(Read(L"absent"), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);
  // A folder cannot be opened as a file: refused, not absent.
  EXPECT_LT(Read(L"folder"), 0);
  EXPECT_FALSE(missing_);
  EXPECT_EQ(bytes_, "untouched");
}

// A file's name is read as written: "f " and "f." are files of their own
// beside "f", never "f" itself.
TEST_F(SmallFileTest, ReadsANameWithATrailingBlankOrPeriodAsWritten) {
  tree_.WriteFile(L"f", "plain");
  for (const wchar_t* name : {L"f ", L"f."}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Read(name), static_cast<HRESULT>(0x80070002U));
    EXPECT_TRUE(missing_);
    EXPECT_EQ(bytes_, "untouched");
  }
}

// A link to a file is refused whatever it leads to: on Windows by its reparse
// attribute, under Wine, which shows the target instead, by its path on its
// volume.
TEST_F(SmallFileTest, RefusesAFileLink) {
  tree_.WriteFile(L"target", "elsewhere");
  if (!tree_.MakeFileLink(L"link", L"target")) GTEST_SKIP() << "no file links on this machine";
  EXPECT_EQ(Read(L"link"), kStatusCantAccessFile);
  EXPECT_FALSE(missing_);
  EXPECT_EQ(bytes_, "untouched");
}

TEST_F(SmallFileTest, ACallerNeedNotAskWhetherTheFileIsMissing) {
  const VantideFolder folder = testing::OpenFolder(tree_.Root());
  EXPECT_EQ(VantideReadSmallFile(folder, L"absent", &bytes_, nullptr), static_cast<HRESULT>(0x80070002U));
}

}  // namespace
}  // namespace van_tide
