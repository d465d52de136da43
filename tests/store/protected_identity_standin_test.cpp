// The store against the stand-in's data-protection service: other users,
// tampering, failed calls and the exact arguments of both calls.
#include "store/protected_identity.h"

#include "platform/status.h"
#include "standin/standin.h"
#include "support/open_folder.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

constexpr wchar_t kStore[] = L"C:\\Roaming\\Vantide\\license-device.dat";
const std::string kToken = "van-tide-hud-0123456789abcdef0123456789abcdef";

class ProtectedIdentityStandinTest : public testing::StandinTest {
 protected:
  std::string SealedStore() {
    std::string bytes;
    EXPECT_EQ(VantideSealIdentity(kToken, &bytes), kStatusOk);
    return bytes;
  }
  HRESULT Read() {
    const testing::FileInFolder store = testing::OpenFolderOf(kStore);
    EXPECT_TRUE(store.folder.IsOpen());
    token_ = "before";
    missing_ = false;
    return VantideReadProtectedIdentity(store.folder, store.name, &token_, &missing_);
  }
  std::string token_;
  bool missing_ = false;
};

TEST_F(ProtectedIdentityStandinTest, BothCallsForbidPromptsAndPassNothingElse) {
  standin::AddFile(kStore, SealedStore());
  ASSERT_EQ(Read(), kStatusOk);
  std::vector<standin::Call> service;
  for (const standin::Call& call : standin::Calls()) {
    if (call.api == Api::CryptProtectData || call.api == Api::CryptUnprotectData) service.push_back(call);
  }
  ASSERT_EQ(service.size(), 2U);
  EXPECT_EQ(service[0].api, Api::CryptProtectData);
  EXPECT_EQ(service[0].description, L"Vantide license device");
  EXPECT_EQ(service[1].api, Api::CryptUnprotectData);
  for (const standin::Call& call : service) {
    EXPECT_EQ(call.args, std::vector<DWORD>{CRYPTPROTECT_UI_FORBIDDEN});
    EXPECT_TRUE(call.nullArguments);  // no entropy, no prompt, no description asked back
  }
}

TEST_F(ProtectedIdentityStandinTest, AStoreSealedForAnotherUserDoesNotOpen) {
  standin::SetCurrentUser(L"S-1-5-21-2002");
  const std::string theirs = SealedStore();
  standin::SetCurrentUser(L"S-1-5-21-1001");
  standin::AddFile(kStore, theirs);
  EXPECT_EQ(Read(), static_cast<HRESULT>(NTE_BAD_KEY_STATE));
  EXPECT_EQ(token_, "before");
  EXPECT_FALSE(missing_);
}

TEST_F(ProtectedIdentityStandinTest, ATamperedOrCutBlobDoesNotOpen) {
  const std::string sealed = SealedStore();
  std::string flipped = sealed;
  flipped[sealed.size() / 2 + 8] = static_cast<char>(flipped[sealed.size() / 2 + 8] ^ 0x01);
  for (const std::string& contents : {flipped, sealed.substr(0, sealed.size() - 1), sealed + "x"}) {
    standin::AddFile(kStore, contents);
    EXPECT_EQ(Read(), static_cast<HRESULT>(0x8007000DU));
    EXPECT_EQ(token_, "before");
  }
}

TEST_F(ProtectedIdentityStandinTest, AFailedUnsealKeepsItsErrorAndLeavesTheTokenAlone) {
  standin::AddFile(kStore, SealedStore());
  const struct {
    DWORD error;
    HRESULT status;
  } cases[] = {{ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U)},
               {0, kStatusFailedWithoutReason},
               {NTE_BAD_KEY_STATE, static_cast<HRESULT>(NTE_BAD_KEY_STATE)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    standin::InjectFault({.api = Api::CryptUnprotectData, .error = c.error});
    EXPECT_EQ(Read(), c.status);
    EXPECT_EQ(token_, "before");
  }
}

// A link at the store's name is refused whether the handle is the link itself
// (Windows) or its target (Wine), and nothing reaches the service.
TEST_F(ProtectedIdentityStandinTest, TheReadsOwnRefusalsPassThroughUnchanged) {
  standin::AddFile(L"C:\\elsewhere\\store", SealedStore());
  standin::AddFileLink(kStore, L"C:\\elsewhere\\store");
  for (const bool handlesFollowLinks : {false, true}) {
    SCOPED_TRACE(handlesFollowLinks ? "handles follow links" : "handles are the links");
    standin::SetHandlesFollowLinks(handlesFollowLinks);
    EXPECT_EQ(Read(), kStatusCantAccessFile);
    EXPECT_FALSE(missing_);
    EXPECT_EQ(token_, "before");
    EXPECT_TRUE(standin::CallPaths(Api::ReadFile).empty());
    EXPECT_TRUE(standin::CallPaths(Api::CryptUnprotectData).empty());
  }
}

TEST_F(ProtectedIdentityStandinTest, AFailedSealLeavesTheBytesAlone) {
  const struct {
    DWORD error;
    HRESULT status;
  } cases[] = {{ERROR_NOT_ENOUGH_MEMORY, static_cast<HRESULT>(0x80070008U)},
               {0, static_cast<HRESULT>(0x80004005U)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    standin::InjectFault({.api = Api::CryptProtectData, .error = c.error});
    std::string bytes = "kept";
    EXPECT_EQ(VantideSealIdentity(kToken, &bytes), c.status);
    EXPECT_EQ(bytes, "kept");
  }
}

}  // namespace
}  // namespace van_tide
