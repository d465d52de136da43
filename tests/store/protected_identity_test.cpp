// The store file against the platform's own data-protection service (the
// stand-in's natively, the real one under Wine).
#include "store/protected_identity.h"

#include "platform/status.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide {
namespace {

using testing::OpenFolder;
using testing::TestTree;

const std::string kToken = "van-tide-hud-0123456789abcdefABCDEF0123456789";
const std::string kMagic{kVantideStoreMagic};

class ProtectedIdentityTest : public ::testing::Test {
 protected:
  std::string Seal(const std::string& token) {
    std::string bytes;
    EXPECT_EQ(VantideSealIdentity(token, &bytes), kStatusOk);
    return bytes;
  }
  // Reads `name` of the tree's root folder, held open as the caller holds the
  // store's folder.
  HRESULT Read(const wchar_t* name) {
    const VantideFolder folder = OpenFolder(tree_.Root());
    EXPECT_TRUE(folder.IsOpen());
    token_ = "before";
    missing_ = false;
    return VantideReadProtectedIdentity(folder, name, &token_, &missing_);
  }
  HRESULT ReadBack(const std::string& contents) {
    tree_.WriteFile(L"store.dat", contents);
    return Read(L"store.dat");
  }
  TestTree tree_;
  std::string token_;
  bool missing_ = false;
};

TEST_F(ProtectedIdentityTest, SealedTokenReadsBackByteForByte) {
  const std::string bytes = Seal(kToken);
  EXPECT_EQ(bytes.substr(0, 16), kMagic);
  EXPECT_GT(bytes.size(), 16U);
  EXPECT_EQ(bytes.find(kToken), std::string::npos);  // sealed, not stored in the clear
  EXPECT_EQ(ReadBack(bytes), kStatusOk);
  EXPECT_EQ(token_, kToken);
}

TEST_F(ProtectedIdentityTest, RefusesADamagedFrameWithoutUnsealing) {
  const std::string blob = Seal(kToken).substr(16);
  const struct {
    const char* name;
    std::string contents;
  } cases[] = {
      {"magic only", kMagic},
      {"15 bytes", kMagic.substr(0, 15)},
      {"carriage return before the line feed", "VANTIDE-DPAPI-1\r\n" + blob},
      {"lower-case magic", "vantide-dpapi-1\n" + blob},
      {"blob without magic", blob},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadBack(c.contents), kStatusInvalidData);
    EXPECT_EQ(token_, "before");
    EXPECT_FALSE(missing_);
  }
}

TEST_F(ProtectedIdentityTest, RefusesASealedTextThatIsNoToken) {
  for (const std::string& text : {kToken + "\n", std::string("van-tide-hud-"), std::string("x")}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ReadBack(Seal(text)), kStatusInvalidData);
    EXPECT_EQ(token_, text);  // the unsealed text is handed over, the status says it is bad
  }
}

// Only an absent store may lead to the legacy files; a folder where the store
// should be is something that exists and cannot be read, and is never
// replaced.
TEST_F(ProtectedIdentityTest, OnlyAnAbsentStoreOrFolderSetsTheFlag) {
  tree_.MakeDirectory(L"folder.dat");
  const struct {
    const wchar_t* name;
    bool missing;
  } cases[] = {{L"absent.dat", true}, {L"folder.dat", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)));
    EXPECT_LT(Read(c.name), 0);
    EXPECT_EQ(missing_, c.missing);
    EXPECT_EQ(token_, "before");
  }

  // A missing folder above the store is found by the walk to the store's
  // folder, which says so the same way; the store is never asked for.
  VantideFolder folder;
  bool missing = false;
  EXPECT_LT(VantideOpenFolderPath(tree_.PathOf(L"absent"), &folder, &missing), 0);
  EXPECT_TRUE(missing);
}

}  // namespace
}  // namespace van_tide
