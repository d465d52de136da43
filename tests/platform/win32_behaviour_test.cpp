// How the Win32 API behaves where the product relies on it: attributes of
// folders, files and links, the errors of opening, creating, moving, deleting
// and listing, share modes, creation dispositions, names compared without
// regard to case, trailing periods and spaces, literal paths, listing order,
// the sealing service and the environment. The same cases run natively
// against the stand-in and in the Windows build against the real API and real
// files, so that the stand-in is held to what Windows does.
//
// Every case states Windows' behaviour. Where Wine is known to differ, the
// Wine run notes the named deviation instead of failing (see WineDeviation);
// natively and on Windows the check is a plain expectation.
#include "platform/win32_behaviour.h"

#include "platform/win32.h"
#include "legacy/environment_override.h"
#include "support/test_tree.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide {
namespace {

using testing::EnvironmentOverride;
using testing::TestTree;
using namespace testing::win32;  // the tables read as plain calls

// ---------------------------------------------------------------------------
// Paths and attributes
// ---------------------------------------------------------------------------

TEST_F(Win32BehaviourTest, AttributeQueriesAnswerLikeWindows) {
  const std::wstring missingDrive = std::wstring(1, TestTree::FreeDriveLetter()) + L":\\x";
  const struct {
    std::wstring path;
    Outcome expected;
    WineDeviation wine = WineDeviation::kNone;
  } cases[] = {
      {P(L"a"), Is(kDir)},
      {P(L"a\\f.txt"), Is(kFile)},
      {Mixed(P(L"a\\f.txt")), Is(kFile)},
      {Drive() + L"\\", Is(kDir)},
      // A missing last member is 2; a missing or non-folder member above it 3.
      {P(L"a\\missing"), Fails(ERROR_FILE_NOT_FOUND)},
      {P(L"missing\\x"), Fails(ERROR_PATH_NOT_FOUND)},
      {P(L"a\\f.txt\\x"), Fails(ERROR_PATH_NOT_FOUND)},
      {missingDrive, Fails(ERROR_PATH_NOT_FOUND), WineDeviation::kMissingDrive},
      {L"", Fails(ERROR_PATH_NOT_FOUND)},
      // A trailing separator names a folder; after a file it is an invalid name.
      {P(L"a\\"), Is(kDir)},
      {P(L"a\\f.txt\\"), Fails(ERROR_INVALID_NAME), WineDeviation::kPathThroughAFile},
      {P(L"a\\missing\\"), Fails(ERROR_FILE_NOT_FOUND)},
      // Lexical forms: runs of either separator, "." and "..", never above the
      // root, even after a missing member.
      {P(L"\\a//\\f.txt"), Is(kFile)},
      {P(L"a\\.\\sub\\..\\..\\a\\f.txt"), Is(kFile)},
      {Drive() + L"\\..\\.." + BelowDrive() + L"\\a", Is(kDir)},
      {P(L"f.txt\\..\\a"), Is(kDir)},
      {P(L"a\\f?.txt"), Fails(ERROR_INVALID_NAME)},
      {P(L"a<\\f.txt"), Fails(ERROR_INVALID_NAME)},
      // Device prefixes.
      {L"\\\\?\\" + P(L"a\\f.txt"), Is(kFile)},
      {L"\\??\\" + P(L"a"), Is(kDir)},
      {L"\\\\.\\" + P(L"a"), Is(kDir)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(c.wine, Attributes(c.path), c.expected));
  }
}

TEST_F(Win32BehaviourTest, RelativePathsFollowTheCurrentFolder) {
  const struct {
    const wchar_t* folder;  // the current folder, in the tree
    std::wstring path;
    Outcome expected;
  } cases[] = {
      {L"", L"a\\f.txt", Is(kFile)},
      {L"", BelowDrive() + L"\\a", Is(kDir)},  // against the current drive's root
      {L"", Drive() + L"a\\sub", Is(kDir)},    // against the drive's current folder
      {L"a\\sub", L"..\\f.txt", Is(kFile)},
      {L"a\\sub", Drive() + L"..\\f.txt", Is(kFile)},
      {L"a\\sub", L".", Is(kDir)},
      {L"a\\sub", L"f.txt", Fails(ERROR_FILE_NOT_FOUND)},
      {L"a\\sub", BelowDrive() + L"\\a\\f.txt", Is(kFile)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path) + " in " + Shown(c.folder));
    tree_.SetCurrentFolder(c.folder);
    EXPECT_EQ(Attributes(c.path), c.expected);
  }
}

// NTFS upper-cases names through a table that covers far more than ASCII.
TEST_F(Win32BehaviourTest, NamesMatchWithoutRegardToCaseBeyondAscii) {
  tree_.WriteFile(L"c\\\u00e4rger.txt", "a");                  // a-diaeresis
  tree_.WriteFile(L"c\\\u0142\u00f3d\u017a", "l");             // l-stroke, o-acute, d, z-acute
  tree_.WriteFile(L"c\\\u03c3\u03bf\u03c6\u03af\u03b1", "s");  // Greek, an iota with tonos
  tree_.MakeDirectory(L"c\\\u0434\u043e\u043c");               // Cyrillic
  tree_.WriteFile(L"c\\\u00ff", "y");                          // y-diaeresis, whose upper case is U+0178
  tree_.WriteFile(L"c\\\u0131", "i");                          // dotless i
  tree_.WriteFile(L"c\\\u00df", "s");                          // sharp s
  const struct {
    std::wstring path;
    Outcome expected;
  } cases[] = {
      {P(L"c\\\u00c4RGER.TXT"), Is(kFile)},
      {P(L"C\\\u0141\u00d3D\u0179"), Is(kFile)},
      {P(L"c\\\u03a3\u039f\u03a6\u038a\u0391"), Is(kFile)},
      {P(L"c\\\u0414\u041e\u041c\\"), Is(kDir)},
      {P(L"c\\\u0178"), Is(kFile)},
      // Letters whose upper case is ASCII or more than one letter stay apart.
      {P(L"c\\I"), Fails(ERROR_FILE_NOT_FOUND)},
      {P(L"c\\SS"), Fails(ERROR_FILE_NOT_FOUND)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_EQ(Attributes(c.path), c.expected);
  }

  EXPECT_EQ(Open(P(L"c\\\u00c4RGER.TXT"), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Report(CreateDirectoryW(P(L"c\\\u0414\u041e\u041c").c_str(), nullptr)),
            Refused(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(tree_.ReadFile(L"c\\\u00e4rger.txt"), "a");
  // A change of case only is a rename of the item onto itself.
  EXPECT_TRUE(AsOnWindows(WineDeviation::kCaseOnlyRename,
                          Report(MoveFileExW(P(L"c\\\u00e4rger.txt").c_str(), P(L"c\\\u00c4rger.txt").c_str(),
                                             MOVEFILE_WRITE_THROUGH)),
                          kDone));
  EXPECT_EQ(tree_.ReadFile(L"c\\\u00e4rger.txt"), "a");
  EXPECT_TRUE(AsOnWindows(WineDeviation::kCaseOnlyRename, StoredName(P(L"c\\\u00e4rger.txt")),
                          std::wstring(L"\u00c4rger.txt")));
}

// Windows normalises a path before the file system sees it: a member that
// ends in one period loses it, and the last member (unless a separator
// follows) loses all its trailing periods and spaces.
TEST_F(Win32BehaviourTest, TrailingPeriodsAndSpacesAreTrimmedAsWindowsNormalises) {
  // A folder whose name ends in a space: only a literal path makes one.
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + P(L"sp ")).c_str(), nullptr));
  tree_.SetCurrentFolder(L"");
  const struct {
    std::wstring path;
    Outcome expected;
    WineDeviation wine = WineDeviation::kNone;
  } cases[] = {
      {P(L"a\\f.txt."), Is(kFile)},
      {P(L"a\\f.txt "), Is(kFile)},
      {P(L"a\\f.txt. .. "), Is(kFile)},
      {L"a\\f.txt.", Is(kFile)},
      {P(L"a.\\f.txt"), Is(kFile)},
      {L"\\\\.\\" + P(L"a\\f.txt."), Is(kFile)},  // a \\.\ path is normalised too
      // Above the last member only a single period goes; spaces stay.
      {P(L"a..\\f.txt"), Fails(ERROR_PATH_NOT_FOUND)},
      {P(L"a \\f.txt"), Fails(ERROR_PATH_NOT_FOUND)},
      {P(L"sp \\"), Is(kDir)},
      {P(L"sp "), Fails(ERROR_FILE_NOT_FOUND)},
      // A last member of periods and spaces only is gone, leaving the
      // separator before it: the folder, or an invalid name after a file.
      {P(L"a\\..."), Is(kDir)},
      {P(L"a\\ "), Is(kDir)},
      {P(L"a\\f.txt\\..."), Fails(ERROR_INVALID_NAME), WineDeviation::kPathThroughAFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(c.wine, Attributes(c.path), c.expected));
  }

  EXPECT_TRUE(CreateDirectoryW(L"x.", nullptr));
  EXPECT_TRUE(CreateDirectoryW(P(L"y \\").c_str(), nullptr));  // the separator keeps the space
  const HANDLE file = Open(P(L"a\\n.txt. "), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(MoveFileExW(P(L"a\\f.txt.").c_str(), P(L"a\\g.txt ").c_str(), MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(Names(tree_.Root()), (std::vector<std::wstring>{L"a", L"sp ", L"x", L"y "}));
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"g.txt", L"n.txt", L"sub"}));
  EXPECT_EQ(StoredName(P(L"a\\G.TXT. ")), L"g.txt");
}

// After \\?\ or \??\ the file system gets the text as written: nothing is
// trimmed or applied, "/" is part of a name, and members it can never hold
// (empty, "." or "..") are invalid names. \\.\ is no such prefix.
TEST_F(Win32BehaviourTest, LiteralPathsAreNotNormalised) {
  const std::wstring literal = L"\\\\?\\";
  const struct {
    std::wstring path;
    Outcome expected;
  } cases[] = {
      {literal + P(L"a\\f.txt"), Is(kFile)},
      {literal + P(L"a\\sub\\"), Is(kDir)},
      {literal + P(L"a\\f.txt."), Fails(ERROR_FILE_NOT_FOUND)},
      {literal + P(L"a\\f.txt "), Fails(ERROR_FILE_NOT_FOUND)},
      {literal + P(L"a.\\f.txt"), Fails(ERROR_PATH_NOT_FOUND)},
      {literal + P(L"a\\..\\a\\f.txt"), Fails(ERROR_INVALID_NAME)},
      {literal + P(L"a\\.\\f.txt"), Fails(ERROR_INVALID_NAME)},
      {literal + P(L"a\\sub\\.."), Fails(ERROR_INVALID_NAME)},
      {L"\\??\\" + P(L"a\\sub\\.."), Fails(ERROR_INVALID_NAME)},
      {literal + P(L"a\\\\f.txt"), Fails(ERROR_INVALID_NAME)},
      {literal + P(L"a/f.txt"), Fails(ERROR_INVALID_NAME)},
      // Normalised device paths.
      {L"\\\\.\\" + P(L"a\\sub\\..\\f.txt"), Is(kFile)},
      {L"//?/" + Mixed(P(L"a\\sub\\..\\f.txt")), Is(kFile)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_EQ(Attributes(c.path), c.expected);
  }

  // Names that only a literal path can make, and reach.
  EXPECT_TRUE(CreateDirectoryW((literal + P(L"a\\dots.")).c_str(), nullptr));
  const HANDLE file = Open(L"\\??\\" + P(L"a\\space "), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"dots.", L"f.txt", L"space ", L"sub"}));
  EXPECT_EQ(Attributes(literal + P(L"a\\dots.")), Is(kDir));
  EXPECT_EQ(Attributes(P(L"a\\dots.")), Fails(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Attributes(literal + P(L"a\\space ")), Is(kFile));

  DWORD error = 0;
  EXPECT_TRUE(List(literal + P(L"a\\..\\*"), &error).empty());
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  EXPECT_EQ(StoredName(literal + P(L"a\\space ")), L"space ");
}

// Outside a literal path, a last member that names a DOS device ("CON",
// "nul.txt", "Com1 ") is the device, while the same name in the middle of a
// path is a folder's. What Windows reports for the device itself is not
// relied on here, only that the folder of that name is not what answers.
TEST_F(Win32BehaviourTest, ADeviceNameAsTheLastMemberIsTheDevice) {
  const std::wstring literal = L"\\\\?\\";
  // Only a literal path makes them: a plain one would ask the console.
  ASSERT_TRUE(CreateDirectoryW((literal + P(L"a\\CON")).c_str(), nullptr));
  const HANDLE file = Open(literal + P(L"a\\CON\\f.txt"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  for (const wchar_t* member : {L"CON", L"con.txt", L"Con ", L"nul", L"COM1", L"lpt9.log", L"AUX"}) {
    const std::wstring path = P(L"a\\") + member;
    SCOPED_TRACE(Shown(path));
    const Outcome outcome = Attributes(path);
    EXPECT_FALSE(outcome.error == 0 && (outcome.attributes & kDir) != 0) << outcome;
  }
  EXPECT_EQ(Attributes(P(L"a\\CON\\f.txt")), Is(kFile));
  EXPECT_EQ(Attributes(P(L"a\\CON\\")), Is(kDir));
  EXPECT_EQ(Attributes(literal + P(L"a\\CON")), Is(kDir));
  // Names that only look like devices are names.
  for (const wchar_t* name : {L"CONSOLE", L"COM10", L"LPT", L"nul_"}) {
    SCOPED_TRACE(Shown(name));
    EXPECT_EQ(Attributes(P(L"a\\") + name), Fails(ERROR_FILE_NOT_FOUND));
  }
}

// NTFS reads a colon in a member as the start of a stream, literal paths
// included: the default streams name the item itself.
TEST_F(Win32BehaviourTest, AColonStartsAStream) {
  const struct {
    std::wstring path;
    Outcome expected;
  } cases[] = {
      {P(L"a\\sub::$INDEX_ALLOCATION"), Is(kDir)},
      {P(L"a\\sub:$I30:$INDEX_ALLOCATION"), Is(kDir)},
      {P(L"a\\sub::$INDEX_ALLOCATION\\"), Is(kDir)},
      {L"\\\\?\\" + P(L"a\\sub::$INDEX_ALLOCATION"), Is(kDir)},
      {P(L"a\\f.txt::$DATA"), Is(kFile)},
      {P(L"a::$INDEX_ALLOCATION\\f.txt"), Is(kFile)},
      {P(L"a\\f.txt:none"), Fails(ERROR_FILE_NOT_FOUND)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(WineDeviation::kStreams, Attributes(c.path), c.expected));
  }
}

// A long name that does not fit 8.3 may have a short alias (NTFS makes them
// unless the volume is told not to); where it has one, the alias reaches the
// same item, and a search by it reports the long name.
TEST_F(Win32BehaviourTest, AShortNameReachesTheSameItem) {
  tree_.WriteFile(L"a\\Long folder name\\f.txt", "x");
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileExW(P(L"a\\Long folder name").c_str(), FindExInfoStandard, &data,
                                       FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FindClose(find));
  const std::wstring alias = data.cAlternateFileName;
  if (alias.empty()) GTEST_SKIP() << "this volume makes no short names";
  EXPECT_NE(alias, L"Long folder name");
  EXPECT_EQ(Attributes(P(L"a\\") + alias), Is(kDir));
  EXPECT_EQ(Attributes(P(L"a\\") + alias + L"\\f.txt"), Is(kFile));
  EXPECT_EQ(StoredName(P(L"a\\") + alias), L"Long folder name");
}

TEST_F(Win32BehaviourTest, ExtendedAttributesReportTheItemWithItsSize) {
  const struct {
    std::wstring path;
    DWORD attributes;
    DWORD size;
  } cases[] = {
      {P(L"a\\f.txt"), kFile, 3},
      {P(L"a"), kDir, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(c.path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes & kTold, c.attributes);
    EXPECT_EQ(data.nFileSizeLow, c.size);
    EXPECT_EQ(data.nFileSizeHigh, 0U);
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  EXPECT_EQ(Report(GetFileAttributesExW(P(L"missing\\x").c_str(), GetFileExInfoStandard, &data)),
            Refused(ERROR_PATH_NOT_FOUND));
}

// ---------------------------------------------------------------------------
// CreateFileW and handles
// ---------------------------------------------------------------------------

TEST_F(Win32BehaviourTest, OpenFailsWithTheErrorsWindowsGives) {
  const struct {
    const wchar_t* path;
    DWORD access;
    DWORD disposition;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {L"a\\missing", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
      {L"missing\\f", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
      {L"missing\\f", GENERIC_WRITE, CREATE_NEW, 0, ERROR_PATH_NOT_FOUND},
      {L"a\\f.txt\\x", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
      {L"a", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
      {L"a\\f.txt", GENERIC_WRITE, CREATE_NEW, 0, ERROR_FILE_EXISTS},
      {L"a", GENERIC_WRITE, CREATE_NEW, FILE_FLAG_BACKUP_SEMANTICS, ERROR_FILE_EXISTS},
      {L"a\\new\\", GENERIC_WRITE, CREATE_NEW, 0, ERROR_INVALID_NAME},
      {L"a\\f.txt\\", GENERIC_READ, OPEN_EXISTING, 0, ERROR_INVALID_NAME},
      {L"a\\n*w", GENERIC_WRITE, CREATE_NEW, 0, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    SetLastError(kPlanted);
    const HANDLE file = Open(P(c.path), c.access, 0, c.disposition, c.flags);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"f.txt", L"sub"}));
}

TEST_F(Win32BehaviourTest, FoldersOpenWithBackupSemantics) {
  for (const std::wstring& path : {P(L"a"), Drive() + L"\\"}) {
    SCOPED_TRACE(Shown(path));
    const HANDLE folder = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(HandleAttributes(folder), kDir);
    char byte = 0;
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(folder, &byte, 1, &read, nullptr));
    EXPECT_TRUE(CloseHandle(folder));
  }
}

TEST_F(Win32BehaviourTest, CreationDispositionsCreateAndTruncateLikeWindows) {
  HANDLE file = Open(P(L"a\\n.txt"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5U);
  EXPECT_TRUE(FlushFileBuffers(file));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(tree_.ReadFile(L"a\\n.txt"), "hello");

  file = Open(P(L"a\\n.txt"), GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadAll(file), "hello");
  EXPECT_TRUE(CloseHandle(file));

  file = Open(P(L"a\\n.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(tree_.ReadFile(L"a\\n.txt"), "");

  file = Open(P(L"a\\f.txt"), GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "");

  file = Open(P(L"a\\o.txt"), GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(tree_.Exists(L"a\\o.txt"));
}

// A successful CreateFileW sets the last error: 0 when it created the file,
// ERROR_ALREADY_EXISTS when one of the two dispositions that may create met
// an existing file.
TEST_F(Win32BehaviourTest, ASuccessfulOpenTellsThroughTheLastErrorWhetherItCreated) {
  const struct {
    const wchar_t* path;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {L"a\\new1", CREATE_NEW, ERROR_SUCCESS},          {L"a\\new2", CREATE_ALWAYS, ERROR_SUCCESS},
      {L"a\\new3", OPEN_ALWAYS, ERROR_SUCCESS},         {L"a\\f.txt", CREATE_ALWAYS, ERROR_ALREADY_EXISTS},
      {L"a\\f.txt", OPEN_ALWAYS, ERROR_ALREADY_EXISTS}, {L"a\\f.txt", OPEN_EXISTING, ERROR_SUCCESS},
      {L"a\\f.txt", TRUNCATE_EXISTING, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path) + ", disposition " + std::to_string(c.disposition));
    SetLastError(kPlanted);
    const HANDLE file = Open(P(c.path), GENERIC_WRITE, 0, c.disposition);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(CloseHandle(file));
  }
}

TEST_F(Win32BehaviourTest, HandlesEnforceTheirAccessRights) {
  const HANDLE reader = Open(P(L"a\\f.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  const HANDLE writer =
      Open(P(L"a\\f.txt"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  char buffer[4] = {};
  DWORD count = 7;
  EXPECT_EQ(Report(ReadFile(writer, buffer, 4, &count, nullptr)), Refused(ERROR_ACCESS_DENIED));
  EXPECT_EQ(count, 0U);
  EXPECT_EQ(Report(WriteFile(reader, "x", 1, &count, nullptr)), Refused(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Report(FlushFileBuffers(reader)), Refused(ERROR_ACCESS_DENIED));

  // Reads and writes move each handle's own position; the end of the file
  // reads as success with no bytes.
  EXPECT_TRUE(WriteFile(writer, "XY", 2, &count, nullptr));
  EXPECT_EQ(ReadAll(reader), "XYc");
  EXPECT_EQ(ReadAll(reader), "");
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(reader, &size));
  EXPECT_EQ(size.QuadPart, 3);
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(Win32BehaviourTest, ShareModesConflictBothWays) {
  constexpr DWORD kRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const struct {
    const char* name;
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool conflict;
  } cases[] = {
      {"readers sharing reads", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
      {"writer after a reader that shares only reads", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kRW,
       true},
      {"reader after an exclusive writer", GENERIC_WRITE, 0, GENERIC_READ, kRW, true},
      {"reader that does not share the open write", GENERIC_WRITE, kRW, GENERIC_READ, FILE_SHARE_READ, true},
      {"writer and reader sharing both", GENERIC_WRITE, kRW, GENERIC_READ, kRW, false},
      {"exclusive reader after a reader", GENERIC_READ, kRW, GENERIC_READ, 0, true},
      {"attribute-only opens take no part", 0, 0, GENERIC_READ, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HANDLE first = Open(P(L"a\\f.txt"), c.firstAccess, c.firstShare, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(kPlanted);
    const HANDLE second = Open(P(L"a\\f.txt"), c.secondAccess, c.secondShare, OPEN_EXISTING);
    if (c.conflict) {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    } else {
      EXPECT_NE(second, INVALID_HANDLE_VALUE);
    }
    if (second != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(second));
    }
    EXPECT_TRUE(CloseHandle(first));
  }
}

// ---------------------------------------------------------------------------
// Folders, moves and deletion
// ---------------------------------------------------------------------------

TEST_F(Win32BehaviourTest, CreateDirectoryRefusesWhatExistsAndNeedsItsParent) {
  const struct {
    std::wstring path;
    Result expected;
    WineDeviation wine;
  } cases[] = {
      {P(L"a\\new"), kDone, WineDeviation::kNone},
      {P(L"a\\new2\\"), kDone, WineDeviation::kNone},
      {P(L"a"), Refused(ERROR_ALREADY_EXISTS), WineDeviation::kNone},
      {P(L"a\\f.txt"), Refused(ERROR_ALREADY_EXISTS), WineDeviation::kNone},
      {Drive() + L"\\", Refused(ERROR_ACCESS_DENIED), WineDeviation::kCreateDirectoryOnRoot},
      {P(L"missing\\new"), Refused(ERROR_PATH_NOT_FOUND), WineDeviation::kNone},
      {P(L"a\\f.txt\\new"), Refused(ERROR_PATH_NOT_FOUND), WineDeviation::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(c.wine, Report(CreateDirectoryW(c.path.c_str(), nullptr)), c.expected));
  }
  EXPECT_TRUE(tree_.IsDirectory(L"a\\new"));
  EXPECT_TRUE(tree_.IsDirectory(L"a\\new2"));
}

TEST_F(Win32BehaviourTest, MoveNeverReplacesWithoutBeingAsked) {
  tree_.WriteFile(L"a\\g.txt", "old");
  EXPECT_EQ(Report(MoveFileExW(P(L"a\\f.txt").c_str(), P(L"a\\G.TXT").c_str(), MOVEFILE_WRITE_THROUGH)),
            Refused(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "abc");
  EXPECT_EQ(tree_.ReadFile(L"a\\g.txt"), "old");

  EXPECT_TRUE(MoveFileExW(P(L"a\\f.txt").c_str(), P(L"a\\g.txt").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(tree_.Exists(L"a\\f.txt"));
  EXPECT_EQ(tree_.ReadFile(L"a\\g.txt"), "abc");

  // A new case for the same name is a rename, not a clash.
  EXPECT_TRUE(AsOnWindows(WineDeviation::kCaseOnlyRename,
                          Report(MoveFileExW(P(L"a\\g.txt").c_str(), P(L"a\\G.txt").c_str(), 0)), kDone));
  EXPECT_TRUE(AsOnWindows(WineDeviation::kCaseOnlyRename, Names(P(L"a")),
                          std::vector<std::wstring>{L"G.txt", L"sub"}));

  // A move to a new name in another folder keeps the name as written.
  EXPECT_TRUE(MoveFileExW(P(L"a\\g.txt").c_str(), P(L"a\\sub\\Moved.TXT").c_str(), MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(Names(P(L"a\\sub")), (std::vector<std::wstring>{L"Moved.TXT"}));
}

TEST_F(Win32BehaviourTest, MoveFailsWithTheErrorsWindowsGives) {
  const struct {
    const wchar_t* from;
    const wchar_t* to;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {L"a\\missing", L"a\\x", 0, ERROR_FILE_NOT_FOUND},
      {L"missing\\f", L"a\\x", 0, ERROR_PATH_NOT_FOUND},
      {L"a\\f.txt", L"missing\\x", 0, ERROR_PATH_NOT_FOUND},
      {L"a\\f.txt", L"a\\sub", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.from) + " to " + Shown(c.to));
    EXPECT_EQ(Report(MoveFileExW(P(c.from).c_str(), P(c.to).c_str(), c.flags)), Refused(c.error));
  }
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "abc");
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"f.txt", L"sub"}));
}

TEST_F(Win32BehaviourTest, OpenFilesCannotBeMovedOrDeletedUnlessTheyShareDeletion) {
  const HANDLE open = Open(P(L"a\\f.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Report(MoveFileExW(P(L"a\\f.txt").c_str(), P(L"a\\g.txt").c_str(), 0)),
            Refused(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Report(DeleteFileW(P(L"a\\f.txt").c_str())), Refused(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(open));

  const HANDLE shared =
      Open(P(L"a\\f.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_NE(shared, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(P(L"a\\f.txt").c_str()));
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDeleteWhileOpen, tree_.Exists(L"a\\f.txt"), false));
  EXPECT_EQ(ReadAll(shared), "abc");  // the handle keeps the contents
  EXPECT_TRUE(CloseHandle(shared));
}

TEST_F(Win32BehaviourTest, DeleteRemovesFilesButNotFolders) {
  const struct {
    const wchar_t* path;
    Result expected;
  } cases[] = {
      {L"a\\missing", Refused(ERROR_FILE_NOT_FOUND)},
      {L"missing\\f", Refused(ERROR_PATH_NOT_FOUND)},
      {L"a", Refused(ERROR_ACCESS_DENIED)},
      {L"a\\f.txt\\", Refused(ERROR_INVALID_NAME)},
      {L"a\\f.txt", kDone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_EQ(Report(DeleteFileW(P(c.path).c_str())), c.expected);
  }
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"sub"}));
}

// ---------------------------------------------------------------------------
// Listing
// ---------------------------------------------------------------------------

TEST_F(Win32BehaviourTest, ListingGivesDotsFirstThenNtfsOrder) {
  tree_.WriteFile(L"d\\b", "12345");
  tree_.WriteFile(L"d\\_x", "");
  tree_.MakeDirectory(L"d\\A");
  if (!tree_.MakeDirectoryLink(L"d\\c-link", L"a")) GTEST_SKIP() << "this machine makes no folder links";
  DWORD error = kPlanted;
  // Upper-cased ordinal order puts "_" (0x5F) after the letters.
  EXPECT_EQ(List(P(L"d\\*"), &error), (std::vector<Listed>{{L".", kDir},
                                                           {L"..", kDir},
                                                           {L"A", kDir},
                                                           {L"b", kFile},
                                                           {L"c-link", kDir | kLink},
                                                           {L"_x", kFile}}));
  EXPECT_EQ(error, 0U);

  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileExW(Mixed(P(L"d\\B")).c_str(), FindExInfoStandard, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(data.cFileName), L"b");
  EXPECT_EQ(data.nFileSizeLow, 5U);
  EXPECT_TRUE(FindClose(find));
}

// A drive's root has no dot entries.
TEST_F(Win32BehaviourTest, ListingADriveRootGivesNoDots) {
  DWORD error = kPlanted;
  const std::vector<Listed> root = List(Drive() + L"\\*", &error);
  EXPECT_EQ(error, 0U);
  ASSERT_FALSE(root.empty());
  for (const Listed& entry : root) {
    EXPECT_NE(entry.name, L".");
    EXPECT_NE(entry.name, L"..");
  }
}

// The order is ordinal on upper-cased UTF-16 code units, so accented letters
// follow every ASCII one and sort by their upper case, and a character beyond
// the BMP (a surrogate pair, D800-DFFF) comes before U+E000-U+FFFF.
TEST_F(Win32BehaviourTest, ListingOrdersByUpperCasedCodeUnits) {
  const std::vector<std::wstring> added = {
      L"\u00c9mile",   // E-acute, upper case: C9 4D
      L"\uff21",       // fullwidth A: FF21
      L"\u044f",       // Cyrillic ya: upper case 042F
      L"\u00e9clair",  // e-acute, upper case: C9 43
      L"_x",           // 5F
      L"\U0001F600",   // beyond the BMP: D83D DE00
      L"\u00e4rger",   // a-diaeresis, upper case: C4
      L"zebra",        // 5A
      L"\u03c9",       // Greek omega: upper case 03A9
  };
  for (const std::wstring& name : added) tree_.WriteFile(L"d\\" + name, "");
  const std::vector<std::wstring> expected = {L"zebra",       L"_x",         L"\u00e4rger",
                                              L"\u00e9clair", L"\u00c9mile", L"\u03c9",
                                              L"\u044f",      L"\U0001F600", L"\uff21"};
  DWORD error = kPlanted;
  std::vector<std::wstring> listed;
  for (const Listed& entry : List(P(L"d\\*"), &error)) listed.push_back(entry.name);
  EXPECT_EQ(error, 0U);
  ASSERT_GE(listed.size(), 2U);
  EXPECT_EQ(listed[0], L".");
  EXPECT_EQ(listed[1], L"..");
  listed.erase(listed.begin(), listed.begin() + 2);
  EXPECT_EQ(listed, expected);

  // Patterns match without regard to case the same way.
  listed.clear();
  for (const Listed& entry : List(P(L"d\\\u00c4*"), &error)) listed.push_back(entry.name);
  EXPECT_EQ(listed, std::vector<std::wstring>{L"\u00e4rger"});
}

TEST_F(Win32BehaviourTest, ListingFailsWithTheErrorsWindowsGives) {
  const struct {
    const wchar_t* pattern;
    DWORD error;
    WineDeviation wine = WineDeviation::kNone;
  } cases[] = {
      {L"missing\\*", ERROR_PATH_NOT_FOUND},
      {L"missing\\deeper\\*", ERROR_PATH_NOT_FOUND},
      {L"a\\f.txt\\*", ERROR_DIRECTORY, WineDeviation::kPathThroughAFile},
      {L"a\\nothing*", ERROR_FILE_NOT_FOUND},
      {L"a\\", ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.pattern));
    DWORD error = 0;
    EXPECT_TRUE(List(P(c.pattern), &error).empty());
    EXPECT_TRUE(AsOnWindows(c.wine, error, c.error));
  }
  EXPECT_EQ(Report(FindClose(INVALID_HANDLE_VALUE)), Refused(ERROR_INVALID_HANDLE));
}

// ---------------------------------------------------------------------------
// Links
// ---------------------------------------------------------------------------

TEST_F(Win32LinkBehaviourTest, LinksReportThemselvesAndAreFollowedInsideAPath) {
  if (!folderLinks_) GTEST_SKIP() << kNoFolderLinks;
  if (!fileLinks_) GTEST_SKIP() << kNoFileLinks;
  const struct {
    const wchar_t* path;
    Outcome expected;
    WineDeviation wine;
  } cases[] = {
      {L"link", Is(kDir | kLink), WineDeviation::kNone},
      {L"flink", Is(kFile | kLink), WineDeviation::kFileLink},
      {L"dangling", Is(kDir | kLink), WineDeviation::kDanglingLink},
      {L"fdangling", Is(kFile | kLink), WineDeviation::kDanglingLink},
      {L"link\\f.txt", Is(kFile), WineDeviation::kNone},
      {L"link\\missing", Fails(ERROR_FILE_NOT_FOUND), WineDeviation::kNone},
      {L"dangling\\x", Fails(ERROR_PATH_NOT_FOUND), WineDeviation::kDanglingLink},
      {L"flink\\x", Fails(ERROR_PATH_NOT_FOUND), WineDeviation::kNone},
      // Through a folder link a trailing separator reaches the target.
      {L"link\\", Is(kDir), WineDeviation::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(c.wine, Attributes(P(c.path)), c.expected));
  }

  // The extended query reports the link itself too, with no size of its own.
  const struct {
    const wchar_t* path;
    DWORD attributes;
    WineDeviation wine;
  } extended[] = {
      {L"flink", kFile | kLink, WineDeviation::kFileLink},
      {L"link", kDir | kLink, WineDeviation::kNone},
  };
  for (const auto& c : extended) {
    SCOPED_TRACE(Shown(c.path));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(P(c.path).c_str(), GetFileExInfoStandard, &data));
    EXPECT_TRUE(AsOnWindows(c.wine, data.dwFileAttributes & kTold, c.attributes));
    EXPECT_TRUE(AsOnWindows(c.wine, data.nFileSizeLow, DWORD{0}));
  }
}

TEST_F(Win32LinkBehaviourTest, OpeningAFileLinkFollowsItUnlessAskedForTheLinkItself) {
  if (!fileLinks_) GTEST_SKIP() << kNoFileLinks;
  const HANDLE followed = Open(P(L"flink"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(followed, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HandleAttributes(followed), kFile);
  EXPECT_EQ(ReadAll(followed), "abc");
  EXPECT_TRUE(CloseHandle(followed));

  const HANDLE link =
      Open(P(L"flink"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(link, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(AsOnWindows(WineDeviation::kFileLink, HandleAttributes(link), kFile | kLink));
  EXPECT_TRUE(CloseHandle(link));

  // A dangling link: its target is missing, the link itself is not.
  SetLastError(kPlanted);
  EXPECT_EQ(Open(P(L"fdangling"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  const HANDLE dangling =
      Open(P(L"fdangling"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDanglingLink, Opened(dangling), kDone));
  if (dangling != INVALID_HANDLE_VALUE) {
    EXPECT_EQ(HandleAttributes(dangling), kFile | kLink);
    EXPECT_TRUE(CloseHandle(dangling));
  }
}

TEST_F(Win32LinkBehaviourTest, FolderLinksOpenWithBackupSemanticsOnly) {
  if (!folderLinks_) GTEST_SKIP() << kNoFolderLinks;
  const HANDLE folder =
      Open(P(L"link"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HandleAttributes(folder), kDir);
  EXPECT_TRUE(CloseHandle(folder));

  const struct {
    const wchar_t* path;
    DWORD disposition;
    DWORD flags;
    DWORD error;
    WineDeviation wine;
  } cases[] = {
      {L"link", OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, ERROR_ACCESS_DENIED, WineDeviation::kNone},
      {L"dangling\\f", CREATE_NEW, 0, ERROR_PATH_NOT_FOUND, WineDeviation::kDanglingLink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    const HANDLE file = Open(P(c.path), GENERIC_READ | GENERIC_WRITE, 0, c.disposition, c.flags);
    EXPECT_TRUE(AsOnWindows(c.wine, Opened(file), Refused(c.error)));
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
}

// Creating through a dangling file link creates its target, as a file that
// was never there: the last error says so.
TEST_F(Win32LinkBehaviourTest, CreatingThroughADanglingFileLinkCreatesItsTarget) {
  if (!fileLinks_) GTEST_SKIP() << kNoFileLinks;
  SetLastError(kPlanted);
  const HANDLE file = Open(P(L"fdangling"), GENERIC_WRITE, 0, CREATE_NEW);
  const Result created =
      file == INVALID_HANDLE_VALUE ? Result{false, GetLastError()} : Result{true, GetLastError()};
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDanglingLink, created, kDone));
  if (file != INVALID_HANDLE_VALUE) {
    EXPECT_TRUE(CloseHandle(file));
  }
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDanglingLink, tree_.Exists(L"a\\gone.txt"), true));
}

TEST_F(Win32LinkBehaviourTest, CreateDirectoryFollowsFolderLinksAboveTheNewName) {
  if (!folderLinks_) GTEST_SKIP() << kNoFolderLinks;
  const struct {
    const wchar_t* path;
    Result expected;
    WineDeviation wine;
  } cases[] = {
      {L"link\\new", kDone, WineDeviation::kNone},
      {L"link", Refused(ERROR_ALREADY_EXISTS), WineDeviation::kNone},
      {L"dangling\\new", Refused(ERROR_PATH_NOT_FOUND), WineDeviation::kDanglingLink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.path));
    EXPECT_TRUE(AsOnWindows(c.wine, Report(CreateDirectoryW(P(c.path).c_str(), nullptr)), c.expected));
  }
  EXPECT_TRUE(tree_.IsDirectory(L"a\\new"));
}

TEST_F(Win32LinkBehaviourTest, DeleteRemovesAFileLinkButNotAFolderLink) {
  if (!folderLinks_) GTEST_SKIP() << kNoFolderLinks;
  if (!fileLinks_) GTEST_SKIP() << kNoFileLinks;
  // Wine would delete the link's target and keep the link.
  if (!LeftOutUnderWine(WineDeviation::kFileLink, "DeleteFileW on a file link")) {
    EXPECT_EQ(Report(DeleteFileW(P(L"flink").c_str())), kDone);
    EXPECT_FALSE(tree_.Exists(L"flink"));
  }
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "abc");
  EXPECT_EQ(Report(DeleteFileW(P(L"link").c_str())), Refused(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Report(DeleteFileW(P(L"link\\f.txt").c_str())), kDone);
  EXPECT_FALSE(tree_.Exists(L"a\\f.txt"));
  EXPECT_TRUE(tree_.IsDirectory(L"link"));
}

TEST_F(Win32LinkBehaviourTest, ListingFollowsAFolderLinkAndFailsThroughADanglingOne) {
  if (!folderLinks_) GTEST_SKIP() << kNoFolderLinks;
  DWORD error = kPlanted;
  EXPECT_EQ(List(P(L"link\\*"), &error),
            (std::vector<Listed>{{L".", kDir}, {L"..", kDir}, {L"f.txt", kFile}, {L"sub", kDir}}));
  EXPECT_EQ(error, 0U);
  EXPECT_TRUE(List(P(L"dangling\\*"), &error).empty());
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDanglingLink, error, DWORD{ERROR_PATH_NOT_FOUND}));
}

TEST_F(Win32LinkBehaviourTest, LinkCyclesEndInAnErrorInsteadOfALoop) {
  if (!tree_.MakeDirectoryLink(L"one", L"two") || !tree_.MakeDirectoryLink(L"two", L"one")) {
    GTEST_SKIP() << kNoFolderLinks;
  }
  EXPECT_TRUE(AsOnWindows(WineDeviation::kDanglingLink, Attributes(P(L"one")), Is(kDir | kLink)));
  EXPECT_EQ(Attributes(P(L"one\\x")), Fails(ERROR_CANT_RESOLVE_FILENAME));
  SetLastError(kPlanted);
  const HANDLE folder = Open(P(L"one"), GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_EQ(folder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
}

// ---------------------------------------------------------------------------
// Data protection
// ---------------------------------------------------------------------------

class Win32DataProtectionTest : public ::testing::Test {
 protected:
  TestTree tree_;  // natively, a fresh stand-in with its default user
  const std::string token_ = "van-tide-hud-0123456789abcdef0123456789ABCDEF";
};

TEST_F(Win32DataProtectionTest, RoundTrips) {
  const std::string blob = Seal(token_);
  EXPECT_EQ(blob.find("van-tide"), std::string::npos) << "the plaintext shows through";
  std::string plain;
  EXPECT_EQ(Unseal(blob, &plain), 0U);
  EXPECT_EQ(plain, token_);
  plain = "x";
  EXPECT_EQ(Unseal(Seal(""), &plain), 0U);
  EXPECT_TRUE(plain.empty());
}

TEST_F(Win32DataProtectionTest, AnyAlterationMakesTheBlobInvalidData) {
  const std::string blob = Seal(token_);
  std::string plain;
  // Positions where a one-bit change or a cut did not give ERROR_INVALID_DATA.
  std::vector<std::size_t> altered;
  std::vector<std::size_t> cut;
  for (std::size_t i = 0; i < blob.size(); ++i) {
    std::string changed = blob;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    if (Unseal(changed, &plain) != ERROR_INVALID_DATA) altered.push_back(i);
    if (Unseal(blob.substr(0, i), &plain) != ERROR_INVALID_DATA) cut.push_back(i);
  }
  EXPECT_TRUE(AsOnWindows(WineDeviation::kTamperDetection, altered, std::vector<std::size_t>{}))
      << "of " << blob.size() << " bytes";
  EXPECT_EQ(cut, std::vector<std::size_t>{});
  plain.clear();

  // Entropy is part of the seal: leaving it out on the way back fails too.
  BYTE salt[] = {1, 2, 3};
  DATA_BLOB entropy{3, salt};
  const std::string salted = Seal(token_, &entropy);
  EXPECT_EQ(Unseal(salted, &plain), ERROR_INVALID_DATA);
  EXPECT_EQ(Unseal(salted, &plain, &entropy), 0U);
  EXPECT_EQ(plain, token_);
}

TEST_F(Win32DataProtectionTest, HandsBackTheDescription) {
  std::string blob = Seal(token_);
  DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
  DATA_BLOB out{0, nullptr};
  LPWSTR description = nullptr;
  ASSERT_TRUE(
      CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
  ASSERT_NE(description, nullptr);
  EXPECT_EQ(std::wstring(description), L"Vantide license device");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.pbData), out.cbData), token_);
  EXPECT_EQ(LocalFree(description), nullptr);
  EXPECT_EQ(LocalFree(out.pbData), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);  // freeing nothing is fine
}

// ---------------------------------------------------------------------------
// Environment
// ---------------------------------------------------------------------------

// The variables are the test's own, put back as they were afterwards.
class Win32EnvironmentTest : public ::testing::Test {
 protected:
  // Copies `name` through WideDupEnv and checks the copy; a null `value`
  // means unset.
  static void ExpectValue(const wchar_t* name, const wchar_t* value) {
    SCOPED_TRACE(Shown(name));
    wchar_t planted[1] = {L'?'};
    wchar_t* buffer = planted;  // must be overwritten
    std::size_t count = 99;
    EXPECT_EQ(platform::WideDupEnv(&buffer, &count, name), 0);
    if (value == nullptr) {
      EXPECT_EQ(buffer, nullptr);
      EXPECT_EQ(count, 0U);
    } else {
      ASSERT_NE(buffer, nullptr);
      EXPECT_EQ(std::wstring(buffer), value);
      EXPECT_EQ(count, std::wcslen(value) + 1);
    }
    if (buffer != planted) platform::FreeEnvCopy(buffer);
  }

  TestTree tree_;  // natively, a fresh stand-in with an empty environment
};

// The MSVC run-time cannot hold an empty value (see TestTree::SetEnvironment).
#if defined(_MSC_VER)
constexpr bool kEmptyValuesKept = false;
#else
constexpr bool kEmptyValuesKept = true;
#endif

TEST_F(Win32EnvironmentTest, CopiesFollowTheRunTimeContract) {
  EnvironmentOverride data(L"VantideSuiteData", L"C:\\Users\\me");
  EnvironmentOverride empty(L"VANTIDE_SUITE_EMPTY", L"");
  EnvironmentOverride unset(L"VANTIDE_SUITE_UNSET", nullptr);
  ExpectValue(L"VANTIDESUITEDATA", L"C:\\Users\\me");
  ExpectValue(L"vantidesuitedata", L"C:\\Users\\me");
  if (kEmptyValuesKept) ExpectValue(L"VANTIDE_SUITE_EMPTY", L"");
  ExpectValue(L"VANTIDE_SUITE_UNSET", nullptr);

  TestTree::SetEnvironment(L"vantideSUITEdata", nullptr);
  ExpectValue(L"VantideSuiteData", nullptr);
}

TEST_F(Win32EnvironmentTest, NamesMatchWithoutRegardToCaseBeyondAscii) {
  EnvironmentOverride apples(L"\u00c4PFEL", L"apples");        // A-diaeresis
  EnvironmentOverride house(L"\u0434\u043e\u043c", L"house");  // Cyrillic, lower case
  EnvironmentOverride ascii(L"APFEL", nullptr);
  ExpectValue(L"\u00e4pfel", L"apples");
  ExpectValue(L"\u0414\u041e\u041c", L"house");
  ExpectValue(L"APFEL", nullptr);

  TestTree::SetEnvironment(L"\u00e4pfel", nullptr);
  ExpectValue(L"\u00c4PFEL", nullptr);
}

}  // namespace
}  // namespace van_tide
