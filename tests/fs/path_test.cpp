#include "fs/path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace van_tide {
namespace {

struct RootCase {
  const wchar_t* path;
  const wchar_t* rootName;
  const wchar_t* rootDirectory;
  bool absolute;
  bool devicePrefix;  // the root name is one of "\\?", "\\." and "\??"
};

// The root grammar decides everything else: which paths are absolute, what a
// join keeps, where the parent stops and which prefixes the chain walk skips.
const RootCase kRootCases[] = {
    {L"C:\\Users\\me", L"C:", L"\\", true, false},
    {L"c:/x//y", L"c:", L"/", true, false},
    {L"C:x", L"C:", L"", false, false},
    {L"C:", L"C:", L"", false, false},
    {L"C:\\", L"C:", L"\\", true, false},
    // Both ends of the alphabet in either case, and none of the characters
    // between "Z" and "a".
    {L"A:\\x", L"A:", L"\\", true, false},
    {L"a:\\x", L"a:", L"\\", true, false},
    {L"Z:\\x", L"Z:", L"\\", true, false},
    {L"z:\\x", L"z:", L"\\", true, false},
    {L"[:\\x", L"", L"", false, false},
    {L"`:\\x", L"", L"", false, false},
    {L"\\\\server\\share\\x", L"\\\\server", L"\\", true, false},
    {L"\\\\server", L"\\\\server", L"", true, false},
    {L"//server/share", L"//server", L"/", true, false},
    {L"\\\\?\\C:\\x", L"\\\\?", L"\\", true, true},
    {L"\\\\.\\x", L"\\\\.", L"\\", true, true},
    {L"\\??\\C:\\x", L"\\??", L"\\", true, true},
    // A prefix alone is one too: a bare "\??\" is the root of the devices.
    {L"\\\\?\\", L"\\\\?", L"\\", true, true},
    {L"\\\\.\\", L"\\\\.", L"\\", true, true},
    {L"\\??\\", L"\\??", L"\\", true, true},
    {L"\\??\\\\x", L"", L"\\", false, false},         // a separator fifth: no device prefix
    {L"\\\\?\\\\x", L"\\\\?", L"\\\\", true, false},  // then it reads as a server named "?"
    {L"\\x", L"", L"\\", false, false},
    {L"/x", L"", L"/", false, false},
    {L"\\\\\\x", L"", L"\\\\\\", false, false},
    {L"\\\\", L"", L"\\\\", false, false},
    {L"x\\y", L"", L"", false, false},
    {L"x", L"", L"", false, false},
    {L"", L"", L"", false, false},
    {L"1:\\x", L"", L"", false, false},
    {L"\u00e9:\\x", L"", L"", false, false},  // only ASCII letters name drives
    {L"ab", L"", L"", false, false},
    // Next to a device prefix without being one: a device prefix needs "?" or
    // "." third after two separators, or "??" after one.
    {L"\\\\a\\share\\x", L"\\\\a", L"\\", true, false},  // a server whose name has one letter
    {L"//a/share", L"//a", L"/", true, false},
    {L"\\\\??\\x", L"\\\\??", L"\\", true, false},  // two separators, then "??": a server
    {L"\\?a\\x", L"", L"\\", false, false},         // one separator needs "??"
    {L"\\?.\\x", L"", L"\\", false, false},
    // The same characters anywhere but at the start make no prefix.
    {L"x\\?\\y", L"", L"", false, false},
    {L"a??\\b", L"", L"", false, false},
    {L"\\a?\\x", L"", L"\\", false, false},
};

TEST(PathRoot, SplitsRootNameAndRootDirectoryAndTellsAbsolute) {
  for (const RootCase& c : kRootCases) {
    const Path path = c.path;
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    const std::size_t rootName = VantideRootNameLength(path);
    const std::size_t rootPath = VantideRootPathLength(path);
    EXPECT_EQ(path.substr(0, rootName), c.rootName);
    EXPECT_EQ(path.substr(rootName, rootPath - rootName), c.rootDirectory);
    EXPECT_EQ(VantideIsAbsolutePath(path), c.absolute);
    EXPECT_EQ(VantideHasDevicePrefix(path), c.devicePrefix);
  }
}

struct JoinCase {
  const wchar_t* left;
  const wchar_t* right;
  const wchar_t* joined;
};

const JoinCase kJoinCases[] = {
    {L"C:\\Roaming", L"Vantide", L"C:\\Roaming\\Vantide"},
    {L"C:\\Roaming\\Vantide", L"license-device.dat", L"C:\\Roaming\\Vantide\\license-device.dat"},
    {L"C:\\a", L"C:\\b", L"C:\\b"},  // right absolute
    {L"C:\\a", L"D:\\b", L"D:\\b"},
    {L"C:\\a", L"D:b", L"D:b"},       // another drive's relative path
    {L"C:\\a", L"c:b", L"c:b"},       // root names compare case-sensitively
    {L"C:\\a", L"C:b", L"C:\\a\\b"},  // same drive: the name joins in
    {L"C:\\a\\b", L"\\x", L"C:\\x"},  // rooted right keeps left's drive
    {L"C:\\a", L"/b", L"C:/b"},
    {L"\\\\server", L"share", L"\\\\server\\share"},
    {L"\\\\s", L"x", L"\\\\s\\x"},  // the shortest server name, as long as "C:\\"
    {L"C:", L"x", L"C:x"},          // a drive alone takes no separator
    {L"", L"x", L"x"},
    {L"C:\\a\\", L"b", L"C:\\a\\b"},
    {L"C:\\", L"b", L"C:\\b"},
    {L"C:/a/", L"b", L"C:/a/b"},
    {L"C:\\a", L"", L"C:\\a\\"},
    {L"C:\\a", L"Adobe/UXP/PluginsStorage/PHSP", L"C:\\a\\Adobe/UXP/PluginsStorage/PHSP"},
    {L"\\\\?\\C:\\x", L"y", L"\\\\?\\C:\\x\\y"},
    {L"x", L"y", L"x\\y"},
};

TEST(PathJoin, FollowsWindowsJoinRules) {
  for (const JoinCase& c : kJoinCases) {
    SCOPED_TRACE(std::wstring(c.left) + L" + " + c.right);
    const Path left = c.left;
    const Path right = c.right;
    EXPECT_EQ(VantideJoinPath(left, right), c.joined);
    EXPECT_EQ(left, c.left);  // inputs are values, never changed
    EXPECT_EQ(right, c.right);
  }
}

struct ParentCase {
  const wchar_t* path;
  const wchar_t* parent;
};

const ParentCase kParentCases[] = {
    {L"C:\\Roaming\\Vantide\\license-device.dat", L"C:\\Roaming\\Vantide"},
    {L"C:\\Roaming\\Vantide", L"C:\\Roaming"},
    {L"C:\\Roaming", L"C:\\"},
    {L"C:\\", L"C:\\"},
    {L"C:", L"C:"},
    {L"C:a", L"C:"},
    {L"a", L""},
    {L"", L""},
    {L"C:\\a\\\\b", L"C:\\a"},
    {L"C:\\a\\b\\", L"C:\\a\\b"},
    {L"\\\\server\\share\\x", L"\\\\server\\share"},
    {L"\\\\server\\", L"\\\\server\\"},
    {L"\\\\server\\share", L"\\\\server\\"},
    {L"\\\\?\\C:\\x", L"\\\\?\\C:"},
    {L"\\\\\\x", L"\\\\\\"},
    {L"a/b", L"a"},
};

TEST(PathParent, DropsTheLastComponentButNeverTheRoot) {
  for (const ParentCase& c : kParentCases) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    EXPECT_EQ(VantideParentPath(c.path), c.parent);
  }
}

struct WalkCase {
  const wchar_t* path;
  const wchar_t* walkStart;  // what a walk down the folders never queries or creates
  bool walkable;
};

// A walk sees the folders the file system opens only when no member after its
// start is made of dots alone (the file system resolves those first) and a
// device path names a drive or a complete share.
const WalkCase kWalkCases[] = {
    {L"C:\\Users\\me", L"C:\\", true},
    {L"C:\\", L"C:\\", true},
    {L"C:/a//b/", L"C:/", true},
    {L"C:x", L"C:", true},
    // A server's root is no folder: a walk starts at the share.
    {L"\\\\server\\share\\me", L"\\\\server\\share\\", true},
    {L"\\\\server\\share", L"\\\\server\\share", true},
    {L"\\\\server\\", L"\\\\server\\", false},
    {L"\\\\server", L"\\\\server", false},
    {L"\\x\\y", L"\\", true},
    {L"x\\y", L"", true},
    {L"", L"", true},
    {L"\\\\?\\C:\\Users\\me", L"\\\\?\\C:\\", true},
    {L"\\\\?\\C:\\\\x", L"\\\\?\\C:\\\\", true},
    {L"\\\\?\\C:\\", L"\\\\?\\C:\\", true},
    {L"\\\\.\\C:\\x", L"\\\\.\\C:\\", true},  // the dot of the prefix is no member
    {L"\\??\\C:\\x", L"\\??\\C:\\", true},
    {L"//?/C:/x", L"//?/C:/", true},
    {L"\\\\?\\UNC\\server\\share\\me", L"\\\\?\\UNC\\server\\share\\", true},
    {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share", true},
    {L"\\\\?\\unc\\server\\share\\me", L"\\\\?\\unc\\server\\share\\", true},
    // Names that merely contain dots are names.
    {L"C:\\a.b\\.c\\..e", L"C:\\", true},
    {L"C:\\Users\\nothing\\..\\Roaming", L"C:\\", false},
    {L"C:\\a\\.\\b", L"C:\\", false},
    {L"C:\\a\\...\\b", L"C:\\", false},
    {L"C:\\a\\..", L"C:\\", false},
    {L"C:\\a\\.\\", L"C:\\", false},
    {L"C:\\.", L"C:\\", false},
    {L"C:..\\x", L"C:", false},
    {L"..\\x", L"", false},
    {L"\\\\server\\share\\..\\x", L"\\\\server\\share\\", false},
    {L"\\\\?\\C:\\..\\x", L"\\\\?\\C:\\", false},
    {L"\\\\?\\UNC\\server\\share\\.\\x", L"\\\\?\\UNC\\server\\share\\", false},
    // Behind a device prefix, anything but a drive or a complete share.
    {L"\\\\?\\GLOBALROOT\\x", L"\\\\?\\", false},
    {L"\\\\.\\pipe\\x", L"\\\\.\\", false},
    {L"\\\\?\\C:x", L"\\\\?\\", false},
    {L"\\\\?\\C:", L"\\\\?\\", false},
    // A server or share made of dots, or a server "?": joined with a name,
    // "\\." and "\\?" turn into device prefixes.
    {L"\\\\.", L"\\\\.", false},
    {L"\\\\?", L"\\\\?", false},
    {L"\\\\..\\share\\Roaming", L"\\\\..\\share\\", false},
    {L"\\\\...\\x", L"\\\\...\\x", false},
    {L"\\\\server\\.", L"\\\\server\\.", false},
    {L"\\\\?\\UNC\\..\\share\\x", L"\\\\?\\UNC\\..\\share\\", false},
    {L"\\\\?\\UNC\\server\\.", L"\\\\?\\UNC\\server\\.", false},
    {L"\\\\?\\UNC\\server\\..\\x", L"\\\\?\\UNC\\server\\..\\", false},
    {L"\\\\.server\\share", L"\\\\.server\\share", true},
    {L"\\\\a\\share\\me", L"\\\\a\\share\\", true},
    // A device prefix with too little behind it names no drive, and only "UNC"
    // (in any case) followed by a separator names a share.
    {L"\\\\?\\", L"\\\\?\\", false},
    {L"\\\\?\\C", L"\\\\?\\", false},
    {L"\\\\?\\UNCserver\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\UXC\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\UNX\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\XNC\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\uNc\\server\\share\\x", L"\\\\?\\uNc\\server\\share\\", true},
    // "UNC\" with nothing after it: a share without its names, refused as one.
    {L"\\\\?\\UNC\\", L"\\\\?\\UNC\\", false},
    // Only ASCII letters fold: an accented u is no U.
    {L"\\\\?\\\u00faNC\\server\\share\\x", L"\\\\?\\", false},
};

TEST(PathWalk, StartsBelowTheRootAndTellsWalkablePaths) {
  for (const WalkCase& c : kWalkCases) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    const std::wstring_view path = c.path;
    EXPECT_EQ(path.substr(0, VantideWalkStartLength(path)), c.walkStart);
    EXPECT_EQ(VantideIsWalkablePath(path), c.walkable);
  }
}

// An incomplete share is not walkable, whatever the walk would start at. A
// device path is passed on without collapsing separators, so a doubled one
// leaves the server or the share name empty.
TEST(PathWalk, RefusesAnIncompleteShareBehindADevicePrefix) {
  for (const wchar_t* path : {L"\\\\?\\UNC\\server", L"\\\\?\\UNC\\server\\", L"\\\\?\\UNC\\", L"\\\\?\\UNC",
                              L"\\\\?\\UNC\\\\share\\x", L"\\\\?\\UNC\\server\\\\share\\x"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(VantideIsWalkablePath(path));
  }
}

// Windows' path functions end a string at U+0000, so a member holding it
// would be read as its part before it: refused in every kind of member. The
// same paths with a letter in its place are walkable.
TEST(PathWalk, RefusesAMemberHoldingUPlus0000) {
  using namespace std::string_literals;
  for (const std::wstring& path :
       {L"C:\\a\0b\\x"s, L"C:\\Users\\me\0"s, L"C:\\CON\0x\\y"s, L"C:\\x\\\0"s, L"\\\\?\\C:\\a\0b"s,
        L"\\\\server\0\\share\\x"s, L"\\\\server\\sh\0are\\x"s, L"\\\\?\\UNC\\s\0\\share\\x"s}) {
    SCOPED_TRACE(testing::PrintToString(path));
    EXPECT_FALSE(VantideIsWalkablePath(path));
    std::wstring cut = path;
    std::replace(cut.begin(), cut.end(), L'\0', L'z');
    EXPECT_TRUE(VantideIsWalkablePath(cut));
  }
}

// Callers hand in pieces of longer paths. Each piece below is what the
// functions see as a whole string, yet a peek at the element after the view
// finds the separator that follows it in the buffer and reads a different
// root: a drive, a drive with its root folder, no device prefix, a share, a
// drive behind a device prefix, a device prefix.
TEST(PathView, ReadsOnlyInsideTheViewItIsGiven) {
  const struct {
    const wchar_t* buffer;
    std::size_t length;
  } cases[] = {
      {L"C:\\x", 1},        {L"C:\\x", 2},        {L"\\\\?\\\\x", 4}, {L"\\\\?\\UNC\\s\\h", 7},
      {L"\\\\?\\C:\\x", 6}, {L"\\\\?\\C:\\x", 3},
  };
  for (const auto& c : cases) {
    const std::wstring_view piece(c.buffer, c.length);
    const std::wstring whole(piece);
    SCOPED_TRACE(std::wstring(L"piece: ") + whole + L" of " + c.buffer);
    EXPECT_EQ(VantideStartsWithDriveDesignator(piece), VantideStartsWithDriveDesignator(whole));
    EXPECT_EQ(VantideHasDevicePrefix(piece), VantideHasDevicePrefix(whole));
    EXPECT_EQ(VantideRootNameLength(piece), VantideRootNameLength(whole));
    EXPECT_EQ(VantideRootPathLength(piece), VantideRootPathLength(whole));
    EXPECT_EQ(VantideWalkStartLength(piece), VantideWalkStartLength(whole));
    EXPECT_EQ(VantideIsWalkablePath(piece), VantideIsWalkablePath(whole));
  }
}

}  // namespace
}  // namespace van_tide
