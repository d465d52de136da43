// The store file against the platform's own data-protection service (the
// stand-in's natively, the real one under Wine).
#include "store/protected_identity.h"

#include "platform/status.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide {
namespace {

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
  HRESULT ReadBack(const std::string& contents) {
    tree_.WriteFile(L"store.dat", contents);
    token_ = "before";
    missing_ = false;
    return VantideReadProtectedIdentity(tree_.PathOf(L"store.dat"), &token_, &missing_);
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

TEST_F(ProtectedIdentityTest, AMissingStoreSetsTheFlag) {
  token_ = "before";
  EXPECT_LT(VantideReadProtectedIdentity(tree_.PathOf(L"absent.dat"), &token_, &missing_), 0);
  EXPECT_TRUE(missing_);
  EXPECT_LT(VantideReadProtectedIdentity(tree_.PathOf(L"absent\\store.dat"), &token_, &missing_), 0);
  EXPECT_TRUE(missing_);
  EXPECT_EQ(token_, "before");
}

}  // namespace
}  // namespace van_tide
