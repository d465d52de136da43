// Spellings that sit right next to a device prefix or a share without being
// one, and device prefixes that stop before naming a drive or a share.
#include "fs/path.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace van_tide {
namespace {

struct RootCase {
  const wchar_t* path;
  const wchar_t* rootName;
  bool absolute;
};

// A device prefix needs "?" or "." third after two separators, or "??" after
// one; anything else in that place is a server name or an ordinary folder.
const RootCase kLookalikeRoots[] = {
    {L"\\\\a\\share\\x", L"\\\\a", true},  // a server whose name has one letter
    {L"//a/share", L"//a", true},
    {L"\\\\??\\x", L"\\\\??", true},         // two separators, then "??": a server
    {L"\\?a\\x", L"", false},               // one separator needs "??"
    {L"\\?.\\x", L"", false},
};

TEST(PathRootLookalikes, ServerNamesAndFoldersAreNotDevicePrefixes) {
  for (const RootCase& c : kLookalikeRoots) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    const Path path = c.path;
    EXPECT_FALSE(VantideHasDevicePrefix(path));
    EXPECT_EQ(path.substr(0, VantideRootNameLength(path)), c.rootName);
    EXPECT_EQ(VantideIsAbsolutePath(path), c.absolute);
  }
}

struct WalkCase {
  const wchar_t* path;
  const wchar_t* walkStart;
  bool walkable;
};

const WalkCase kWalkCases[] = {
    // A share on a server with a one-letter name is walked like any other.
    {L"\\\\a\\share\\me", L"\\\\a\\", true},
    // A device prefix with nothing, or too little, behind it names no drive.
    {L"\\\\?\\", L"\\\\?\\", false},
    {L"\\\\?\\C", L"\\\\?\\", false},
    // "UNC" exactly, in any case, and then a separator; nothing less names a share.
    {L"\\\\?\\UNCserver\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\UXC\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\UNX\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\XNC\\server\\share\\x", L"\\\\?\\", false},
    {L"\\\\?\\uNc\\server\\share\\x", L"\\\\?\\uNc\\server\\share\\", true},
};

TEST(PathWalkLookalikes, OnlyADriveOrAFullShareBehindADevicePrefixIsWalked) {
  for (const WalkCase& c : kWalkCases) {
    SCOPED_TRACE(std::wstring(L"path: ") + c.path);
    const std::wstring_view path = c.path;
    EXPECT_EQ(path.substr(0, VantideWalkStartLength(path)), c.walkStart);
    EXPECT_EQ(VantideIsWalkablePath(path), c.walkable);
  }
}

}  // namespace
}  // namespace van_tide
