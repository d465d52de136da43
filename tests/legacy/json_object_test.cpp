#include "legacy/json_object.h"

#include "support/deep_json.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide {
namespace {

using nlohmann::json;
using testing::DeepTree;
using testing::Way;
using namespace std::string_literals;

// `levels` objects, each the value of member "a" of the one above it; the
// innermost one holds `innermost` as its text (for example "" or "\"x\":1").
std::string NestedObjects(int levels, std::string_view innermost) {
  std::string text;
  for (int i = 1; i < levels; ++i) text += "{\"a\":";
  text += '{';
  text += innermost;
  text += '}';
  text.append(static_cast<std::size_t>(levels - 1), '}');
  return text;
}

// A top-level object whose member "a" holds `arrays` nested arrays; the
// innermost array holds `innermost`.
std::string ObjectOfNestedArrays(int arrays, std::string_view innermost) {
  std::string text = "{\"a\":";
  text.append(static_cast<std::size_t>(arrays), '[');
  text += innermost;
  text.append(static_cast<std::size_t>(arrays), ']');
  return text + "}";
}

struct DecodeCase {
  const char* name;
  std::string text;
  bool accepted;
};

std::ostream& operator<<(std::ostream& os, const DecodeCase& c) { return os << c.name; }

class DecodeJsonObjectTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeJsonObjectTable, AnswersAsExpected) {
  const DecodeCase& c = GetParam();
  json out = json{{"before", true}};
  const json before = out;
  EXPECT_EQ(VantideDecodeJsonObject(c.text, &out), c.accepted);
  if (c.accepted) {
    EXPECT_TRUE(out.is_object());
    EXPECT_FALSE(out.contains("before"));
  } else {
    EXPECT_EQ(out, before);
  }
}

const DecodeCase kDecodeCases[] = {
    // One object and nothing else.
    {"EmptyObject", "{}", true},
    {"WhiteSpaceAround", " \t\r\n{}\r\n\t ", true},
    {"TrailingCharacter", "{} x", false},
    {"SecondObject", "{}{}", false},
    {"TrailingComma", "{},", false},
    {"TrailingNul", "{}\0"s, false},
    {"SecondObjectAfterNul", "{\"a\":1} \0{\"b\":2}"s, false},
    {"TextAfterNul", "{}\0junk"s, false},
    {"NulBeforeObject", "\0{}"s, false},
    {"ByteFFAfterObject", "{}\xFF", false},
    {"MemberTrailingComma", "{\"a\":1,}", false},
    {"EmptyText", "", false},
    {"OnlyWhiteSpace", " \r\n\t", false},
    {"TopLevelArray", "[]", false},
    {"TopLevelArrayHoldingObject", "[{\"a\":1}]", false},
    {"TopLevelString", "\"{}\"", false},
    {"TopLevelNumber", "1", false},
    {"TopLevelTrue", "true", false},
    {"TopLevelFalse", "false", false},
    {"TopLevelNull", "null", false},
    {"Unterminated", "{\"a\":1", false},

    // Member names: once per object, compared after escapes are decoded.
    {"DuplicateEqualValues", R"({"a":1,"a":1})", false},
    {"DuplicateDifferentTypes", R"({"a":1,"a":"1"})", false},
    {"NamesDifferingInCase", R"({"a":1,"A":1})", true},
    {"NameAndItsEscape", R"({"a":1,"\u0061":2})", false},
    {"EscapeAndItsName", R"({"\u0061":1,"a":2})", false},
    {"EscapedQuoteTwice", R"({"\"":1,"\u0022":2})", false},
    {"EmptyNameTwice", R"({"":1,"":2})", false},
    {"SameNameParentAndChild", R"({"a":{"a":1}})", true},
    {"SameNameInArrayElements", R"({"x":[{"a":1},{"a":2}]})", true},
    {"SameNameInSiblings", R"({"x":{"a":1},"y":{"a":2}})", true},
    {"ChildNameLaterInParent", R"({"x":{"a":1},"a":2})", true},
    {"DuplicateAfterChildCloses", R"({"a":{"b":1},"a":2})", false},
    {"DuplicateInChild", R"({"x":{"b":1,"b":2}})", false},
    {"DuplicateInArrayElement", R"({"x":[1,{"b":1,"b":2}]})", false},
    {"DuplicateDeepInSecondSibling", R"({"x":{"a":1},"y":{"z":{"c":1,"c":1}}})", false},

    // Comments are syntax errors.
    {"BlockCommentBetweenMembers", "{\"a\":1,/*c*/\"b\":2}", false},
    {"LineCommentAfterObject", "{\"a\":1}//c", false},
    {"LineCommentBeforeObject", "//c\n{}", false},

    // The UTF-8 byte-order mark is skipped at the very start, and only there.
    {"ByteOrderMark", "\xEF\xBB\xBF{\"a\":1}", true},
    {"ByteOrderMarkAfterWhiteSpace", " \xEF\xBB\xBF{}", false},
    {"ByteOrderMarkTwice", "\xEF\xBB\xBF\xEF\xBB\xBF{}", false},
    {"TruncatedByteOrderMark", "\xEF\xBB{}", false},
    {"OnlyByteOrderMark", "\xEF\xBB\xBF", false},

    // Depth: a container at level 65 (counting the top-level object as 1)
    // may exist but must be empty.
    {"Objects64DeepWithMember", NestedObjects(64, "\"x\":1"), true},
    {"Objects65DeepEmpty", NestedObjects(65, ""), true},
    {"Objects65DeepWithMember", NestedObjects(65, "\"x\":1"), false},
    {"Objects66DeepEmpty", NestedObjects(66, ""), false},
    {"Arrays64InObjectEmpty", ObjectOfNestedArrays(64, ""), true},
    {"Arrays64InObjectWithValue", ObjectOfNestedArrays(64, "1"), false},
    {"Arrays63InObjectWithValue", ObjectOfNestedArrays(63, "1"), true},
    {"Arrays65InObject", ObjectOfNestedArrays(65, ""), false},

    // Text content.
    {"EscapedNulInValue", R"({"a":"\u0000"})", true},
    {"RawNulInString", "{\"a\":\"x\0y\"}"s, false},
    {"InvalidUtf8InName", "{\"\xC0\xAF\":1}", false},
    {"InvalidUtf8InValue", "{\"a\":\"\xFF\"}", false},
    {"TruncatedUtf8InValue", "{\"a\":\"\xE2\x82\"}", false},
    {"LoneHighSurrogate", R"({"a":"\uD800"})", false},
    {"LoneLowSurrogate", R"({"a":"\uDC00"})", false},
    {"HighSurrogateThenLetter", R"({"a":"\uD800\u0041"})", false},
    {"SurrogatePair", R"({"a":"\uD83D\uDE00"})", true},
};

INSTANTIATE_TEST_SUITE_P(Texts, DecodeJsonObjectTable, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(DecodeJsonObject, KeepsTheWholeDocument) {
  json out;
  ASSERT_TRUE(
      VantideDecodeJsonObject(R"({"b":[1,"x",{"c":null}],"\u0061":{"d":-2.5,"e":true},"f":"\u00e9"})", &out));
  const json expected = {
      {"a", {{"d", -2.5}, {"e", true}}},
      {"b", json::array({1, "x", {{"c", nullptr}}})},
      {"f", "\xC3\xA9"},
  };
  EXPECT_EQ(out, expected);
}

TEST(DecodeJsonObject, ReplacesPreviousValueOnSuccess) {
  json out = {{"old", 1}, {"keep", "no"}};
  ASSERT_TRUE(VantideDecodeJsonObject(R"({"new":2})", &out));
  EXPECT_EQ(out, json({{"new", 2}}));
}

TEST(DecodeJsonObject, LeavesOutputAloneOnFailure) {
  // Failures found early, late (after much of a document is built) and by
  // each of the two refusals.
  const std::string failing[] = {
      "",
      "[1,2]",
      R"({"a":[1,2,3],"b":{"c":"long enough to be built"},"a":0})",
      NestedObjects(66, ""),
      R"({"a":1} trailing)",
  };
  for (const std::string& text : failing) {
    SCOPED_TRACE(text.substr(0, 40));
    json out = {{"keep", json::array({1, 2})}};
    const json before = out;
    EXPECT_FALSE(VantideDecodeJsonObject(text, &out));
    EXPECT_EQ(out, before);
  }
}

TEST(DecodeJsonObject, NullOutputIsRefused) { EXPECT_FALSE(VantideDecodeJsonObject("{}", nullptr)); }

// Runs `body` on a thread of its own whose stack is `bytes`, as small as a
// Windows program's main thread gets unless its linker asks for more.
void RunOnStackOf(std::size_t bytes, std::function<void()> body) {
#if defined(_WIN32)
  HANDLE thread = CreateThread(
      nullptr, bytes,
      [](LPVOID argument) -> DWORD {
        (*static_cast<std::function<void()>*>(argument))();
        return 0;
      },
      &body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
#else
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  const int created = pthread_create(
      &thread, &attributes,
      [](void* argument) -> void* {
        (*static_cast<std::function<void()>*>(argument))();
        return nullptr;
      },
      &body);
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(created, 0);
  pthread_join(thread, nullptr);
#endif
}

constexpr std::size_t kMainThreadStack = std::size_t{1} << 20;

// A document handed in may be deeper than any the decoder would build, and
// letting go of it must neither recurse nor allocate: on a main thread's
// stack, far deeper than a recursion there could go, of any shape.
TEST(DismantleJson, EmptiesTreesOfAnyDepthInLittleStack) {
  struct Shape {
    const char* name;
    Way way;
  };
  const Shape shapes[] = {{"first member", Way::kFirstMember},
                          {"last member", Way::kLastMember},
                          {"middle element", Way::kMiddleElement},
                          {"only element", Way::kOnlyElement},
                          {"mixed", Way::kMixed}};
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    bool objectKept = false;
    bool arrayKept = false;
    RunOnStackOf(kMainThreadStack, [&] {
      json tree = DeepTree(200'000, shape.way);
      const bool wasObject = tree.is_object();
      VantideDismantleJson(tree);
      (wasObject ? objectKept : arrayKept) = tree.empty() && tree.is_object() == wasObject;
    });
    EXPECT_TRUE(objectKept || arrayKept);
  }
}

TEST(DecodeJsonObject, LetsGoOfADeepOldValueInLittleStack) {
  bool decoded = false;
  bool replaced = false;
  RunOnStackOf(kMainThreadStack, [&] {
    json out = {{"old", DeepTree(1'000'000, Way::kMixed)}};
    decoded = VantideDecodeJsonObject(R"({"new":1})", &out);
    replaced = out == json{{"new", 1}};
  });
  EXPECT_TRUE(decoded);
  EXPECT_TRUE(replaced);
}

// Hostile inputs of the largest size a legacy file may have. The decoder is
// noexcept, so an escaping exception would terminate the test program; the
// sanitizer build also catches stack exhaustion and leaks here.
TEST(DecodeJsonObject, SurvivesHostileInput) {
  constexpr std::size_t kSize = 65536;
  std::string repeatedMember;
  while (repeatedMember.size() + 5 <= kSize) repeatedMember += "{\"a\":";
  std::string closedArrays = "{\"a\":" + std::string(kSize / 2 - 4, '[');
  closedArrays += std::string(kSize / 2 - 4, ']') + "}";

  const std::string hostile[] = {
      std::string(kSize, '['),
      std::string(kSize, '{'),
      repeatedMember,
      closedArrays,
      std::string(kSize, '\0'),
      "{\"a\":" + std::string(kSize - 6, '9') + "}",
      "{\"a\":1e99999}",
      "{\"a\":\"" + std::string(kSize - 8, '\xFF') + "\"}",
      "{\"a\":\"" + std::string(kSize - 8, '\\') + "\"}",
      std::string(kSize, '\xEF'),
  };
  for (const std::string& text : hostile) {
    SCOPED_TRACE(text.substr(0, 16));
    json out = 7;
    const bool accepted = VantideDecodeJsonObject(text, &out);
    if (accepted) {
      EXPECT_TRUE(out.is_object());
    } else {
      EXPECT_EQ(out, json(7));
    }
  }
}

// Every single-byte change of a valid document: whatever the answer, the call
// returns, and a true answer always carries an object.
TEST(DecodeJsonObject, SurvivesSingleByteMutations) {
  const std::string valid =
      R"({"version":1,"public_key":"van-tide-hud-0123456789abcdef0123456789ABCDEF","x":[{"y":null}]})";
  const char replacements[] = {'\0', '"', '\\', '{', '}', '[', ']', ':', ',', '\xEF', '\xC3', '1'};
  for (std::size_t i = 0; i < valid.size(); ++i) {
    for (char replacement : replacements) {
      std::string text = valid;
      text[i] = replacement;
      json out;
      if (VantideDecodeJsonObject(text, &out)) {
        EXPECT_TRUE(out.is_object()) << "position " << i;
      } else {
        EXPECT_TRUE(out.is_null()) << "position " << i;
      }
    }
  }
}

}  // namespace
}  // namespace van_tide
