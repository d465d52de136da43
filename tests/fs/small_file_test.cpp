// Whole-file reads against real files (the stand-in's natively, real ones
// under Wine).
#include "fs/small_file.h"

#include "platform/status.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide {
namespace {

using testing::TestTree;

class SmallFileTest : public ::testing::Test {
 protected:
  HRESULT Read(const wchar_t* relative) {
    missing_ = false;
    bytes_ = "untouched";
    return VantideReadSmallFile(tree_.PathOf(relative), &bytes_, &missing_);
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

TEST_F(SmallFileTest, TellsAMissingFileOrFolderFromARefusedOne) {
  tree_.MakeDirectory(L"folder");
  EXPECT_EQ(Read(L"absent"), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);
  EXPECT_EQ(Read(L"absent\\f"), static_cast<HRESULT>(0x80070003U));
  EXPECT_TRUE(missing_);
  // A folder cannot be opened as a file: refused, not absent.
  EXPECT_LT(Read(L"folder"), 0);
  EXPECT_FALSE(missing_);
  EXPECT_EQ(bytes_, "untouched");
}

TEST_F(SmallFileTest, ACallerNeedNotAskWhetherTheFileIsMissing) {
  EXPECT_EQ(VantideReadSmallFile(tree_.PathOf(L"absent"), &bytes_, nullptr),
            static_cast<HRESULT>(0x80070002U));
}

}  // namespace
}  // namespace van_tide
