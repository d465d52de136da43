// Legacy identity files against real files (the stand-in's natively, real ones
// under Wine).
#include "legacy/legacy_identity_file.h"

#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "support/open_folder.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace van_tide {
namespace {

using nlohmann::json;
using testing::FileInFolder;
using testing::kTokenA;
using testing::kTokenB;
using testing::LegacyFile;
using testing::LegacyFileWithVersion;
using testing::OpenFolderOf;
using testing::TestTree;

constexpr wchar_t kFile[] = L"PluginData\\license-device.json";

class LegacyIdentityFileTest : public ::testing::Test {
 protected:
  // Opens the folder of the file as the scan does, then reads the file by its
  // name in that folder.
  HRESULT Read(const wchar_t* relative = kFile) {
    const FileInFolder file = OpenFolderOf(tree_.PathOf(relative));
    EXPECT_TRUE(file.folder.IsOpen());
    token_.clear();
    missing_ = false;
    return VantideReadLegacyIdentityFile(file.folder, file.name, &token_, &missing_);
  }
  TestTree tree_;
  std::string token_;
  bool missing_ = false;
};

struct ContentCase {
  const char* name;
  std::string contents;
  HRESULT status;
};

std::ostream& operator<<(std::ostream& os, const ContentCase& c) { return os << c.name; }

class LegacyIdentityFileContents : public LegacyIdentityFileTest,
                                   public ::testing::WithParamInterface<ContentCase> {};

TEST_P(LegacyIdentityFileContents, YieldsTheTokenOnlyFromAWellFormedFile) {
  const ContentCase& c = GetParam();
  tree_.WriteFile(kFile, c.contents);
  EXPECT_EQ(Read(), c.status);
  EXPECT_FALSE(missing_);
  if (c.status == kStatusOk) {
    EXPECT_EQ(token_, kTokenA);
  }
}

const std::string kA = kTokenA;
// kTokenA with its prefix's "v" and its first digit written as escapes.
const std::string kAEscaped = "\\u0076an-tide-hud-\\u00301" + kTokenA.substr(15);

const ContentCase kContentCases[] = {
    {"OnlyTheTwoMembers", LegacyFile(kA), kStatusOk},
    {"ReverseOrder", R"({"public_key":")" + kA + R"(","version":1})", kStatusOk},
    {"FurtherMembers",
     R"({"a":"x","version":1,"n":{"public_key":5,"version":2},"l":[1,{}],"public_key":")" + kA +
         R"(","z":null})",
     kStatusOk},
    {"PrettyPrintedWithByteOrderMark",
     "\xEF\xBB\xBF{\r\n  \"version\": 1,\r\n  \"public_key\": \"" + kA + "\"\r\n}\r\n", kStatusOk},
    {"EscapedTokenCharacters", LegacyFile(kAEscaped), kStatusOk},

    // Only the bare number 1 is version 1.
    {"VersionWithFraction", LegacyFileWithVersion("1.0", kA), kStatusInvalidData},
    {"VersionWithExponent", LegacyFileWithVersion("1e0", kA), kStatusInvalidData},
    {"VersionTenthsTimesTen", LegacyFileWithVersion("10e-1", kA), kStatusInvalidData},
    {"VersionTwo", LegacyFileWithVersion("2", kA), kStatusInvalidData},
    {"VersionZero", LegacyFileWithVersion("0", kA), kStatusInvalidData},
    {"VersionMinusOne", LegacyFileWithVersion("-1", kA), kStatusInvalidData},
    {"VersionMinusZero", LegacyFileWithVersion("-0", kA), kStatusInvalidData},
    {"VersionAbove64Bits", LegacyFileWithVersion("18446744073709551617", kA), kStatusInvalidData},
    {"VersionOneWrapped", LegacyFileWithVersion("4294967297", kA), kStatusInvalidData},
    {"VersionString", LegacyFileWithVersion("\"1\"", kA), kStatusInvalidData},
    {"VersionTrue", LegacyFileWithVersion("true", kA), kStatusInvalidData},
    {"VersionNull", LegacyFileWithVersion("null", kA), kStatusInvalidData},
    {"VersionArray", LegacyFileWithVersion("[1]", kA), kStatusInvalidData},
    {"VersionObject", LegacyFileWithVersion("{\"version\":1}", kA), kStatusInvalidData},

    // Both members are required, under their exact names.
    {"NoVersion", R"({"public_key":")" + kA + R"("})", kStatusInvalidData},
    {"VersionNameInOtherCase", R"({"Version":1,"public_key":")" + kA + R"("})", kStatusInvalidData},
    {"NoPublicKey", R"({"version":1})", kStatusInvalidData},
    {"PublicKeyNameInOtherCase", R"({"version":1,"Public_Key":")" + kA + R"("})", kStatusInvalidData},
    {"PublicKeyOnlyInNestedObject", R"({"version":1,"n":{"public_key":")" + kA + R"("}})",
     kStatusInvalidData},
    {"PublicKeyNumber", R"({"version":1,"public_key":5})", kStatusInvalidData},
    {"PublicKeyNull", R"({"version":1,"public_key":null})", kStatusInvalidData},
    {"PublicKeyArray", R"({"version":1,"public_key":[")" + kA + R"("]})", kStatusInvalidData},
    {"PublicKeyObject", R"({"version":1,"public_key":{"k":")" + kA + R"("}})", kStatusInvalidData},

    // The token is checked as unescaped, untrimmed text.
    {"TokenWithTrailingLineFeed", LegacyFile(kA + "\\n"), kStatusInvalidData},
    {"TokenWithTrailingSpace", LegacyFile(kA + " "), kStatusInvalidData},
    {"TokenWithLeadingSpace", LegacyFile(" " + kA), kStatusInvalidData},
    {"TokenWithUpperCasePrefix", LegacyFile("VAN-TIDE-HUD-" + kA.substr(13)), kStatusInvalidData},
    {"TokenWith31Digits", LegacyFile(kA.substr(0, 44)), kStatusInvalidData},
    {"TokenWith33Digits", LegacyFile(kA + "0"), kStatusInvalidData},
    {"TokenWithEscapedNul", LegacyFile(kA.substr(0, 44) + "\\u0000"), kStatusInvalidData},
    {"TokenWithNonHexDigit", LegacyFile(kA.substr(0, 44) + "g"), kStatusInvalidData},
    {"EmptyToken", LegacyFile(""), kStatusInvalidData},

    // The strict decoding applies in full.
    {"VersionTwiceEqual", R"({"version":1,"version":1,"public_key":")" + kA + R"("})", kStatusInvalidData},
    {"PublicKeyTwiceEqual", R"({"version":1,"public_key":")" + kA + R"(","public_key":")" + kA + R"("})",
     kStatusInvalidData},
    {"DuplicateInsideAnotherMember", R"({"x":{"y":1,"y":1},"version":1,"public_key":")" + kA + R"("})",
     kStatusInvalidData},
    {"TopLevelArrayHoldingAGoodObject", "[" + LegacyFile(kA) + "]", kStatusInvalidData},
    {"TwoGoodObjects", LegacyFile(kA) + LegacyFile(kA), kStatusInvalidData},
    {"GoodObjectThenNulAndText", LegacyFile(kA) + std::string(1, '\0') + "x", kStatusInvalidData},
    {"Comment", "/* id */" + LegacyFile(kA), kStatusInvalidData},
    {"NotJson", "version=1\npublic_key=" + kA, kStatusInvalidData},
    {"OnlyWhiteSpace", "  \r\n", kStatusInvalidData},
};

INSTANTIATE_TEST_SUITE_P(Contents, LegacyIdentityFileContents, ::testing::ValuesIn(kContentCases),
                         [](const ::testing::TestParamInfo<ContentCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(LegacyIdentityFileTest, ReadsUpToTheSizeBound) {
  std::string largest = LegacyFile(kTokenA);
  largest.append(65536 - largest.size(), ' ');
  tree_.WriteFile(kFile, largest);
  EXPECT_EQ(Read(), kStatusOk);
  EXPECT_EQ(token_, kTokenA);

  tree_.WriteFile(kFile, largest + " ");
  EXPECT_EQ(Read(), kStatusFileTooLarge);
  EXPECT_FALSE(missing_);

  tree_.WriteFile(kFile, "");
  EXPECT_EQ(Read(), kStatusInvalidData);
  EXPECT_FALSE(missing_);
}

TEST_F(LegacyIdentityFileTest, MissingFileOrFolderIsFlaggedAsMissing) {
  // The folder exists, the file does not; names that merely start alike do.
  tree_.MakeDirectory(L"PluginData");
  tree_.WriteFile(L"PluginData\\license-device.json.tmp", LegacyFile(kTokenA));
  EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing_);

  // One and two folders missing above the file: the walk to the file's folder
  // says so, and the file is never asked for.
  for (const wchar_t* folder : {L"Absent", L"Absent\\Deeper"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(folder)));
    VantideFolder reached;
    bool missing = false;
    const HRESULT status = VantideOpenFolderPath(tree_.PathOf(folder), &reached, &missing);
    EXPECT_TRUE(status == static_cast<HRESULT>(0x80070002U) || status == static_cast<HRESULT>(0x80070003U))
        << std::hex << status;
    EXPECT_TRUE(missing);
  }
}

TEST_F(LegacyIdentityFileTest, WhatStandsInTheWayIsRefusedNotMissing) {
  // A folder where the file should be exists; it just cannot be read as one.
  tree_.MakeDirectory(kFile);
  const HRESULT folderStatus = Read();
  EXPECT_LT(folderStatus, 0);
  EXPECT_NE(folderStatus, static_cast<HRESULT>(0x80070002U));
  EXPECT_NE(folderStatus, static_cast<HRESULT>(0x80070003U));
  EXPECT_FALSE(missing_);

  // A file where a folder above should be: the walk to the file's folder
  // stops there, and does not take it for absent either.
  tree_.WriteFile(L"Blocked", LegacyFile(kTokenA));
  VantideFolder folder;
  bool missing = false;
  EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(L"Blocked"), &folder, &missing), kStatusNotADirectory);
  EXPECT_FALSE(missing);
}

// A link on the way is refused, never read through, wherever it stands: above
// the file the walk to the folder refuses it, at the file's name the read.
TEST_F(LegacyIdentityFileTest, ALinkOnTheWayIsRefused) {
  tree_.WriteFile(L"Real\\license-device.json", LegacyFile(kTokenB));
  if (!tree_.MakeDirectoryLink(L"Linked", L"Real")) GTEST_SKIP() << "no directory links here";
  VantideFolder folder;
  bool missing = false;
  EXPECT_EQ(VantideOpenFolderPath(tree_.PathOf(L"Linked"), &folder, &missing), kStatusCantAccessFile);
  EXPECT_FALSE(missing);

  tree_.MakeDirectory(L"PluginData");
  if (!tree_.MakeFileLink(kFile, L"Real\\license-device.json")) GTEST_SKIP() << "no file links here";
  EXPECT_EQ(Read(), kStatusCantAccessFile);
  EXPECT_FALSE(missing_);
  EXPECT_EQ(token_, "");
  EXPECT_EQ(Read(L"Real\\license-device.json"), kStatusOk);
  EXPECT_EQ(token_, kTokenB);
}

TEST(FindJsonMember, FindsOnlyAnExactMemberOfAnObject) {
  const json object = {{"version", 1}, {"Public_Key", "x"}, {"nested", {{"inner", true}}}};
  const json* version = VantideFindJsonMember(object, "version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(*version, json(1));
  EXPECT_EQ(VantideFindJsonMember(object, "public_key"), nullptr);
  EXPECT_EQ(VantideFindJsonMember(object, "inner"), nullptr);
  EXPECT_EQ(VantideFindJsonMember(object, "versio"), nullptr);
  EXPECT_EQ(VantideFindJsonMember(object, ""), nullptr);
  EXPECT_EQ(VantideFindJsonMember(object, nullptr), nullptr);
  // Looking up must never insert a default member.
  EXPECT_EQ(object.size(), 3U);

  for (const json& notAnObject : {json(nullptr), json::array({"version"}), json("version"), json(1)}) {
    EXPECT_EQ(VantideFindJsonMember(notAnObject, "version"), nullptr);
  }
}

TEST_F(LegacyIdentityFileTest, WithoutAPlaceForTheTokenNothingIsRead) {
  tree_.WriteFile(kFile, "{}");
  const FileInFolder file = OpenFolderOf(tree_.PathOf(kFile));
  EXPECT_EQ(VantideReadLegacyIdentityFile(file.folder, file.name, nullptr, &missing_),
            static_cast<HRESULT>(0x80070057U));
  EXPECT_FALSE(missing_);
}

}  // namespace
}  // namespace van_tide
