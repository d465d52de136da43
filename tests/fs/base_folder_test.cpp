#include "fs/base_folder.h"

#include "support/test_tree.h"

#include <gtest/gtest.h>

namespace van_tide {
namespace {

using testing::TestTree;

constexpr wchar_t kVariable[] = L"VANTIDE_TEST_BASE";

class BaseFolderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TestTree::SetEnvironment(kVariable, nullptr);
    // Every way out of the lookup gives its copy back, a refused value too.
    EXPECT_EQ(TestTree::OutstandingEnvCopies(), 0U);
  }
  TestTree tree_;  // a clean environment natively
};

struct ValueCase {
  const wchar_t* value;
  const wchar_t* folder;  // what the lookup yields: the value itself or nothing
};

const ValueCase kValueCases[] = {
    {L"C:\\Users\\me\\AppData\\Roaming", L"C:\\Users\\me\\AppData\\Roaming"},
    {L"C:/Users/me/", L"C:/Users/me/"},  // kept exactly, trailing separator too
    {L"\\\\server\\profiles\\me", L"\\\\server\\profiles\\me"},
    {L"\\\\?\\C:\\Users\\me", L"\\\\?\\C:\\Users\\me"},
    {L"C:\\%USERNAME%\\x", L"C:\\%USERNAME%\\x"},  // no expansion
    {L"C:", L""},
    {L"C:Users", L""},
    {L"\\Users", L""},
    {L"Users", L""},
    {L"\\\\", L""},
    {L"x", L""},
    {L"ab", L""},
    {L"1:\\x", L""},
    {L"\u00e9:\\x", L""},
    {L"\\??\\\\x", L""},
    {L" C:\\x", L""},  // nothing is trimmed
    // A walk down these would not see the folders the file system opens.
    {L"C:\\Users\\nothing\\..\\Roaming", L""},
    {L"C:\\a\\.\\b", L""},
    {L"\\\\?\\UNC\\server", L""},
    {L"\\\\?\\GLOBALROOT\\x", L""},
    {L"\\\\.\\pipe\\x", L""},
    {L"\\\\?\\UNC\\server\\share\\me", L"\\\\?\\UNC\\server\\share\\me"},
    {L"C:\\a.b\\.c\\..e", L"C:\\a.b\\.c\\..e"},
    // Members a reader of the whole path takes for something other than the
    // folder the walk opens by that name: trailing blanks and periods, a device
    // name as the last member outside "\\?\", streams, and a slash inside a
    // name behind "\\?\".
    {L"C:\\Users\\me \\Roaming", L""},
    {L"C:\\Users\\me.\\Roaming", L""},
    {L"C:\\Users\\me\\Roaming ", L""},
    {L"C:\\Users\\me\\Roaming.", L""},
    {L"C:\\Users\\me\\Roaming\\ ", L""},
    {L"C:\\Users\\me\\LPT1 ", L""},
    {L"C:\\Users\\me\\NUL", L""},
    {L"C:\\Users\\me\\Roaming::$INDEX_ALLOCATION", L""},
    {L"C:\\Users\\me:x\\Roaming", L""},
    {L"\\\\?\\C:\\Users/me", L""},
    {L"\\\\?\\UNC\\server.\\share\\me", L""},
    {L"\\\\?\\UNC\\server\\share \\me", L""},
    {L"\\\\server \\share\\me", L""},
    {L"\\\\server\\share:x\\me", L""},
    // A device name names a folder wherever the walk meets it, and so it does
    // for a reader of the whole path above the last member, and anywhere
    // behind "\\?\".
    {L"C:\\Users\\CON\\Roaming", L"C:\\Users\\CON\\Roaming"},
    {L"C:\\Users\\aux.txt\\Roaming", L"C:\\Users\\aux.txt\\Roaming"},
    {L"\\\\?\\C:\\Users\\me\\NUL", L"\\\\?\\C:\\Users\\me\\NUL"},
    // Names that merely look alike are read as written.
    {L"C:\\Users\\CONSOLE\\COM10\\LPT\\nul_\\.x\\x.y", L"C:\\Users\\CONSOLE\\COM10\\LPT\\nul_\\.x\\x.y"},
    // As the last member, a device name is the device whatever blanks stand
    // before its extension.
    {L"C:\\Users\\me\\nul .txt", L""},
    {L"C:\\Users\\me\\Com1  .log", L""},
    // Every port digit names a port: 0 and the superscripts one, two and
    // three as much as 1 to 9.
    {L"C:\\Users\\me\\COM0", L""},
    {L"C:\\Users\\me\\lpt0", L""},
    {L"C:\\Users\\me\\COM\u00B9", L""},
    {L"C:\\Users\\me\\LPT\u00B2", L""},
    {L"C:\\Users\\me\\com\u00B3.txt", L""},
    // Names next to a device name are folders there too: a user named Jon is
    // not the console.
    {L"C:\\Users\\Jon", L"C:\\Users\\Jon"},
    {L"C:\\Users\\Ron", L"C:\\Users\\Ron"},
    {L"C:\\Users\\XOM1", L"C:\\Users\\XOM1"},
    {L"C:\\Users\\COMX", L"C:\\Users\\COMX"},
    {L"C:\\Users\\LPTs", L"C:\\Users\\LPTs"},
    {L"C:\\Users\\NULL", L"C:\\Users\\NULL"},
    {L"C:\\Users\\CONIN", L"C:\\Users\\CONIN"},
    {L"C:\\Users\\Cox", L"C:\\Users\\Cox"},
    {L"C:\\Users\\COM10", L"C:\\Users\\COM10"},
    {L"C:\\Users\\COM\u2074", L"C:\\Users\\COM\u2074"},  // a superscript four is no port
    {L"\\\\?\\C:\\Users\\me", L"\\\\?\\C:\\Users\\me"},
    {L"//server/share/me", L"//server/share/me"},
};

TEST_F(BaseFolderTest, YieldsOnlyAbsoluteValuesUnchanged) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(std::wstring(L"value: ") + c.value);
    TestTree::SetEnvironment(kVariable, c.value);
    EXPECT_EQ(VantideGetBaseFolder(kVariable), c.folder);
  }
}

TEST_F(BaseFolderTest, UnsetAndEmptyYieldNothing) {
  TestTree::SetEnvironment(kVariable, nullptr);
  EXPECT_EQ(VantideGetBaseFolder(kVariable), L"");
  TestTree::SetEnvironment(kVariable, L"");
  EXPECT_EQ(VantideGetBaseFolder(kVariable), L"");
}

TEST_F(BaseFolderTest, MatchesTheNameWithoutRegardToCase) {
  TestTree::SetEnvironment(kVariable, L"C:\\x");
  EXPECT_EQ(VantideGetBaseFolder(L"vantide_test_base"), L"C:\\x");
}

}  // namespace
}  // namespace van_tide
