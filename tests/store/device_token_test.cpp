#include "store/device_token.h"

#include <gtest/gtest.h>

#include <string>

namespace van_tide {
namespace {

const std::string kPrefix = "van-tide-hud-";

struct TokenCase {
  const char* name;
  std::string text;
  bool valid;
};

const TokenCase kTokenCases[] = {
    {"lower-case digits", kPrefix + "0123456789abcdef0123456789abcdef", true},
    {"all zeros", kPrefix + std::string(32, '0'), true},
    {"all upper-case A", kPrefix + std::string(32, 'A'), true},
    {"mixed case", kPrefix + std::string(16, 'f') + std::string(16, 'F'), true},
    {"empty", "", false},
    {"44 bytes", kPrefix + std::string(31, '0'), false},
    {"46 bytes, valid first 45", kPrefix + std::string(33, '0'), false},
    {"trailing line feed", kPrefix + std::string(32, '0') + "\n", false},
    {"trailing carriage return", kPrefix + std::string(32, '0') + "\r", false},
    {"leading space", " " + kPrefix + std::string(31, '0'), false},
    {"a g among the digits", kPrefix + std::string(31, 'a') + "g", false},
    {"a space among the digits", kPrefix + std::string(31, 'a') + " ", false},
    {"a NUL among the digits", kPrefix + std::string(31, 'a') + std::string(1, '\0'), false},
    {"upper-case prefix", "VAN-TIDE-HUD-" + std::string(32, '0'), false},
    {"NUL in the prefix", std::string("van-tide\0hud-", 13) + std::string(32, '0'), false},
    {"separator in the digits", kPrefix + std::string(16, '0') + "-" + std::string(15, '0'), false},
    {"byte just past 9", kPrefix + std::string(31, '0') + ":", false},
    {"byte just before a", kPrefix + std::string(31, '0') + "`", false},
    {"high byte", kPrefix + std::string(31, '0') + "\xe1", false},
};

TEST(DeviceToken, AcceptsExactlyThePrefixAndThirtyTwoHexDigits) {
  for (const TokenCase& c : kTokenCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VantideIsDeviceToken(c.text), c.valid);
  }
}

}  // namespace
}  // namespace van_tide
