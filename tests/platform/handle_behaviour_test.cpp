// How the calls behave that the walk makes on folder handles: opens relative
// to a folder, the attributes and final paths of what they reach, listing a
// folder through its handle, renaming and deleting by handle, the native
// statuses as Win32 errors, and names compared without regard to case. The
// walk trusts a handle only after judging it by these answers, so each case
// states what Windows gives; natively the stand-in is held to it, in the
// Windows build the real API on real files (see win32_behaviour.h for how a
// known Wine deviation is noted).
#include "platform/handle_calls.h"
#include "platform/win32_behaviour.h"

#include "platform/win32.h"
#include "support/test_tree.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide {
namespace {

using testing::LiteralForm;
using namespace testing::win32;  // the tables read as plain calls

// A behaviour fixture's tree, with its root held open as the walk holds the
// folder it starts below.
template <typename TreeFixture>
class WithRootHeld : public TreeFixture {
 protected:
  void SetUp() override {
    TreeFixture::SetUp();
    root_ = OpenByPath(this->tree_.Root());
    ASSERT_TRUE(root_.IsOpen()) << "error " << GetLastError();
    rootFinal_ = FinalPath(root_.Get());
  }

  Held root_;
  std::wstring rootFinal_;
};

// The base tree.
class HandleBehaviourTest : public WithRootHeld<Win32BehaviourTest> {
 protected:
  // The folder `name` below the tree's root, opened relative to it.
  Held Member(std::wstring_view name, ACCESS_MASK access = GENERIC_READ) const {
    Held folder;
    const NTSTATUS status = OpenRelative(root_.Get(), name, access, FILE_OPEN, kFolderOnly, &folder);
    EXPECT_EQ(ErrorOf(status), 0U) << Shown(name);
    return folder;
  }

  // A file made through its literal path, so that a name Windows would
  // otherwise trim ("x ", "x.") is made as written.
  void WriteLiteral(std::wstring_view relative, std::string_view bytes) const {
    const Held file(
        CreateFileW(LiteralForm(P(relative)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.IsOpen()) << Shown(relative) << ": error " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }
  void MakeLiteralDirectory(std::wstring_view relative) const {
    ASSERT_TRUE(CreateDirectoryW(LiteralForm(P(relative)).c_str(), nullptr))
        << Shown(relative) << ": error " << GetLastError();
  }
};

// ---------------------------------------------------------------------------
// Relative opens
// ---------------------------------------------------------------------------

// The name is one member, taken as written: nothing is trimmed and no device
// is named, only case is ignored. The final path names the entry as stored.
TEST_F(HandleBehaviourTest, ARelativeOpenReachesTheMemberExactlyAsWritten) {
  WriteLiteral(L"a\\me", "plain");
  WriteLiteral(L"a\\me ", "blank");
  WriteLiteral(L"a\\me.", "period");
  MakeLiteralDirectory(L"a\\CON");
  MakeLiteralDirectory(L"a\\Mixed Case");
  MakeLiteralDirectory(L"a\\dots.");
  WriteLiteral(L"a\\dots.\\x ", "x");
  const Held a = Member(L"a");
  const std::wstring in = FinalPath(a.Get()) + L"\\";
  const struct {
    const wchar_t* name;
    ULONG options;
    Reached expected;
    const char* contents = nullptr;
    const wchar_t* wineNames = nullptr;  // the entry as Wine's final path names it
  } cases[] = {
      {L"f.txt", kFileOnly, OpenedAs(kFile, in + L"f.txt"), "abc"},
      {L"F.TXT", kAnyKind, OpenedAs(kFile, in + L"f.txt"), "abc"},
      {L"me", kFileOnly, OpenedAs(kFile, in + L"me"), "plain"},
      {L"ME ", kFileOnly, OpenedAs(kFile, in + L"me "), "blank", L"me"},
      {L"me.", kFileOnly, OpenedAs(kFile, in + L"me."), "period", L"me"},
      {L"DOTS.", kFolderOnly, OpenedAs(kDir, in + L"dots."), nullptr, L"dots"},
      {L"con", kFolderOnly, OpenedAs(kDir, in + L"CON")},
      {L"mIXED cASE", kAnyKind, OpenedAs(kDir, in + L"Mixed Case")},
      {L"sub", kFolderOnly, OpenedAs(kDir, in + L"sub")},
      // No trimmed twin stands in for a missing name.
      {L"missing", kAnyKind, NotOpened(ERROR_FILE_NOT_FOUND)},
      {L"f.txt.", kAnyKind, NotOpened(ERROR_FILE_NOT_FOUND)},
      {L"sub ", kFolderOnly, NotOpened(ERROR_FILE_NOT_FOUND)},
      // The kind asked for.
      {L"f.txt", kFolderOnly, NotOpened(ERROR_DIRECTORY)},
      {L"sub", kFileOnly, NotOpened(ERROR_ACCESS_DENIED)},
      {L"me ", kFolderOnly, NotOpened(ERROR_DIRECTORY)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.name) + ", options " + std::to_string(c.options));
    Held file;
    const NTSTATUS status = OpenRelative(a.Get(), c.name, GENERIC_READ, FILE_OPEN, c.options, &file);
    const Reached reached = WhatIsHeld(file, ErrorOf(status));
    if (c.wineNames == nullptr) {
      EXPECT_EQ(reached, c.expected);
    } else {
      EXPECT_TRUE(AsOnWindows(WineDeviation::kFinalPathTrimmed, reached, c.expected,
                              OpenedAs(c.expected.attributes, in + c.wineNames)));
    }
    if (c.contents != nullptr && file.IsOpen()) {
      EXPECT_EQ(ReadAll(file.Get()), c.contents);
    }
  }
  // Below a member as written, the next one as written.
  Held dots;
  ASSERT_EQ(ErrorOf(OpenRelative(a.Get(), L"dots.", GENERIC_READ, FILE_OPEN, kFolderOnly, &dots)), 0U);
  Held x;
  ASSERT_EQ(ErrorOf(OpenRelative(dots.Get(), L"x ", GENERIC_READ, FILE_OPEN, kFileOnly, &x)), 0U);
  EXPECT_EQ(ReadAll(x.Get()), "x");
  EXPECT_TRUE(
      AsOnWindows(WineDeviation::kFinalPathTrimmed, FinalPath(x.Get()), in + L"dots.\\x ", in + L"dots\\x"));
}

// FILE_CREATE makes only a name that is not there, as written; an existing
// one, in any case and of either kind, is a collision and stays as it was.
TEST_F(HandleBehaviourTest, CreatingRelativeMakesOnlyANewNameAsWritten) {
  const Held a = Member(L"a");
  const std::wstring in = FinalPath(a.Get()) + L"\\";
  const struct {
    const wchar_t* name;
    ULONG options;
    NTSTATUS status;
    Reached expected;
    const wchar_t* wineNames = nullptr;  // the entry as Wine's final path names it
  } cases[] = {
      {L"f.txt", kFileOnly, STATUS_OBJECT_NAME_COLLISION, NotOpened(ERROR_ALREADY_EXISTS)},
      {L"F.TXT", kFileOnly, STATUS_OBJECT_NAME_COLLISION, NotOpened(ERROR_ALREADY_EXISTS)},
      {L"SUB", kFolderOnly, STATUS_OBJECT_NAME_COLLISION, NotOpened(ERROR_ALREADY_EXISTS)},
      {L"sub", kFileOnly, STATUS_OBJECT_NAME_COLLISION, NotOpened(ERROR_ALREADY_EXISTS)},
      {L"new ", kFileOnly, STATUS_SUCCESS, OpenedAs(kFile, in + L"new "), L"new"},
      {L"New folder.", kFolderOnly, STATUS_SUCCESS, OpenedAs(kDir, in + L"New folder."), L"New folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.name));
    Held file;
    const NTSTATUS status =
        OpenRelative(a.Get(), c.name, GENERIC_READ | GENERIC_WRITE, FILE_CREATE, c.options, &file);
    EXPECT_EQ(status, c.status);
    const Reached reached = WhatIsHeld(file, ErrorOf(status));
    if (c.wineNames == nullptr) {
      EXPECT_EQ(reached, c.expected);
    } else {
      EXPECT_TRUE(AsOnWindows(WineDeviation::kFinalPathTrimmed, reached, c.expected,
                              OpenedAs(c.expected.attributes, in + c.wineNames)));
    }
  }
  EXPECT_EQ(Names(P(L"a")), (std::vector<std::wstring>{L"New folder.", L"f.txt", L"new ", L"sub"}));
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "abc");
}

// Windows reaches a long name by its 8.3 alias relative to a folder as by
// path; the final path then names the long name, which is how the walk sees
// that the member was not written as stored.
TEST_F(HandleBehaviourTest, ARelativeOpenByAShortNameReachesTheLongName) {
  tree_.MakeDirectory(L"a\\Long folder name");
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileExW(P(L"a\\Long folder name").c_str(), FindExInfoStandard, &data,
                                       FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FindClose(find));
  const std::wstring alias = data.cAlternateFileName;
  if (alias.empty()) GTEST_SKIP() << "this volume makes no short names";
  const Held a = Member(L"a");
  EXPECT_EQ(ReachRelative(a.Get(), alias), OpenedAs(kDir, FinalPath(a.Get()) + L"\\Long folder name"));
}

// ---------------------------------------------------------------------------
// Final paths
// ---------------------------------------------------------------------------

// Every folder's final path is its parent's, a backslash (none after a drive
// root's own), then its name as stored; down from the drive's root to the
// tree, each member opened relative to the one above by its stored name.
TEST_F(HandleBehaviourTest, FinalPathsBuildDownFromTheDriveRoot) {
  Held folder = OpenByPath(Drive() + L"\\");
  ASSERT_TRUE(folder.IsOpen());
  std::wstring expected = L"\\\\?\\" + Drive() + L"\\";
  EXPECT_EQ(FinalPath(folder.Get()), expected);
  std::wstring path = Drive();
  const std::wstring below = BelowDrive();
  for (std::size_t begin = 1; begin < below.size();) {
    const std::size_t end = std::min(below.find(L'\\', begin), below.size());
    path += L"\\" + below.substr(begin, end - begin);
    begin = end + 1;
    const std::wstring stored = StoredName(path);  // the long name where the path has an alias
    SCOPED_TRACE(Shown(path));
    if (expected.back() != L'\\') expected += L'\\';
    expected += stored;
    Held member;
    ASSERT_EQ(ErrorOf(OpenRelative(folder.Get(), stored, GENERIC_READ, FILE_OPEN, kFolderOnly, &member)), 0U);
    EXPECT_EQ(FinalPath(member.Get()), expected);
    folder = std::move(member);
  }
  EXPECT_EQ(rootFinal_, expected);
}

// Opened relative or by path, in whatever case it was written, an item's
// final path names it in the case it was created with.
TEST_F(HandleBehaviourTest, FinalPathsNameTheItemAsStoredHoweverItWasOpened) {
  tree_.MakeDirectory(L"Mixed Case\\Inner");
  const struct {
    std::vector<std::wstring> written;  // member by member
    std::wstring stored;
  } cases[] = {
      {{L"a"}, L"a"},
      {{L"A", L"SUB"}, L"a\\sub"},
      {{L"mixed CASE", L"inner"}, L"Mixed Case\\Inner"},
      {{L"a", L"F.TXT"}, L"a\\f.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.stored));
    Held folder;
    HANDLE above = root_.Get();
    std::wstring path = tree_.Root();
    for (const std::wstring& name : c.written) {
      ASSERT_EQ(ErrorOf(OpenRelative(above, name, GENERIC_READ, FILE_OPEN, kAnyKind, &folder)), 0U);
      above = folder.Get();
      // Each member relative to the last one; the one before is let go.
      path += L"\\" + name;
    }
    EXPECT_EQ(FinalPath(folder.Get()), rootFinal_ + L"\\" + c.stored);
    EXPECT_EQ(ReachByPath(path), ReachByPath(P(c.stored)));
    EXPECT_EQ(ReachByPath(path).finalPath, rootFinal_ + L"\\" + c.stored);
  }
}

// ---------------------------------------------------------------------------
// Links
// ---------------------------------------------------------------------------

// The link tree.
class HandleLinkBehaviourTest : public WithRootHeld<Win32LinkBehaviourTest> {};

// Asked for the member itself, Windows opens a link as the link: its
// attributes carry the reparse point and its final path is its own. The walk
// refuses it on either; Wine's handle, the target's, fails the second.
TEST_F(HandleLinkBehaviourTest, OpeningALinkItselfGivesTheLinkNotItsTarget) {
  if (!folderLinks_ && !fileLinks_) GTEST_SKIP() << kNoFolderLinks;
  const std::wstring in = rootFinal_ + L"\\";
  const struct {
    bool made;
    const wchar_t* name;
    Reached windows;
    Reached wine;
    WineDeviation deviation;
  } cases[] = {
      {folderLinks_, L"link", OpenedAs(kDir | kLink, in + L"link"), OpenedAs(kDir, in + L"a"),
       WineDeviation::kLinkOpenedAsTarget},
      {fileLinks_, L"flink", OpenedAs(kFile | kLink, in + L"flink"), OpenedAs(kFile, in + L"a\\f.txt"),
       WineDeviation::kLinkOpenedAsTarget},
      {folderLinks_, L"dangling", OpenedAs(kDir | kLink, in + L"dangling"), NotOpened(ERROR_FILE_NOT_FOUND),
       WineDeviation::kDanglingLink},
      {fileLinks_, L"fdangling", OpenedAs(kFile | kLink, in + L"fdangling"), NotOpened(ERROR_FILE_NOT_FOUND),
       WineDeviation::kDanglingLink},
  };
  for (const auto& c : cases) {
    if (!c.made) continue;
    SCOPED_TRACE(Shown(c.name));
    EXPECT_TRUE(AsOnWindows(c.deviation, ReachRelative(root_.Get(), c.name), c.windows, c.wine))
        << "opened relative";
    EXPECT_TRUE(
        AsOnWindows(c.deviation, ReachByPath(P(c.name), FILE_FLAG_OPEN_REPARSE_POINT), c.windows, c.wine))
        << "opened by path";
  }
}

// A listing through the handle tells a link by its attributes as a search
// by path does.
TEST_F(HandleLinkBehaviourTest, AListingThroughAHandleShowsLinksAsLinks) {
  if (!folderLinks_ && !fileLinks_) GTEST_SKIP() << kNoFolderLinks;
  const HandleListing listing = ListByHandle(root_.Get(), 4096);
  EXPECT_EQ(listing.end, DWORD{ERROR_NO_MORE_FILES});
  std::map<std::wstring, DWORD> listed;
  for (const Listed& entry : listing.entries) listed[entry.name] = entry.attributes;
  const auto attributesOf = [&listed](const wchar_t* name) {
    const auto found = listed.find(name);
    return found == listed.end() ? INVALID_FILE_ATTRIBUTES : found->second;
  };
  const struct {
    bool made;
    const wchar_t* name;
    DWORD attributes;
    WineDeviation wine;
  } cases[] = {
      {true, L"a", kDir, WineDeviation::kNone},
      {folderLinks_, L"link", kDir | kLink, WineDeviation::kNone},
      {folderLinks_, L"dangling", kDir | kLink, WineDeviation::kDanglingLink},
      {fileLinks_, L"flink", kFile | kLink, WineDeviation::kFileLink},
      {fileLinks_, L"fdangling", kFile | kLink, WineDeviation::kDanglingLink},
  };
  for (const auto& c : cases) {
    if (!c.made) continue;
    SCOPED_TRACE(Shown(c.name));
    EXPECT_TRUE(AsOnWindows(c.wine, attributesOf(c.name), c.attributes));
  }
}

// ---------------------------------------------------------------------------
// Listing through a handle
// ---------------------------------------------------------------------------

// Dots first, then every name in NTFS order, over as many calls as the buffer
// needs (128 bytes hold one entry), then ERROR_NO_MORE_FILES for good.
TEST_F(HandleBehaviourTest, AListingThroughAHandleGivesEveryEntryThenNoMoreFiles) {
  tree_.WriteFile(L"d\\b", "12345");
  tree_.WriteFile(L"d\\_x", "");
  tree_.MakeDirectory(L"d\\A");
  WriteLiteral(L"d\\e ", "");
  if (!tree_.MakeDirectoryLink(L"d\\c-link", L"a")) GTEST_SKIP() << kNoFolderLinks;
  const std::vector<Listed> expected = {
      {L".", kDir},   {L"..", kDir}, {L"A", kDir}, {L"b", kFile}, {L"c-link", kDir | kLink},
      {L"e ", kFile}, {L"_x", kFile}};
  for (const std::size_t bufferBytes : {std::size_t{128}, std::size_t{4096}}) {
    SCOPED_TRACE("a buffer of " + std::to_string(bufferBytes) + " bytes");
    const Held d = Member(L"d", kListAccess);
    const HandleListing listing = ListByHandle(d.Get(), bufferBytes);
    EXPECT_EQ(listing.entries, expected);
    EXPECT_EQ(listing.end, DWORD{ERROR_NO_MORE_FILES});
    if (bufferBytes == 128) {
      EXPECT_GT(listing.calls, 1);
    }
    EXPECT_TRUE(ListByHandle(d.Get(), bufferBytes).entries.empty()) << "a listing starts only once";
  }
}

// The walk opens a folder it will list with FILE_LIST_DIRECTORY; without it
// a handle lists nothing.
TEST_F(HandleBehaviourTest, ListingNeedsTheRightToListTheFolder) {
  const Held a = Member(L"a", FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE);
  const HandleListing listing = ListByHandle(a.Get(), 4096);
  EXPECT_TRUE(listing.entries.empty());
  EXPECT_EQ(listing.end, DWORD{ERROR_ACCESS_DENIED});
}

// ---------------------------------------------------------------------------
// The rights a handle is used with
// ---------------------------------------------------------------------------

// Windows checks a handle's rights when it is used, against what its open
// asked for; a native open is granted exactly that, generic rights mapped to
// a file's own (GENERIC_WRITE holds no FILE_READ_ATTRIBUTES). Each case opens
// a.txt ("abc") relative to the tree's root with `access` and makes one call.
TEST_F(HandleBehaviourTest, EachCallThroughAHandleNeedsItsRight) {
  const auto information = [](HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file, &info) != FALSE;
  };
  const auto size = [](HANDLE file) {
    LARGE_INTEGER bytes{};
    return GetFileSizeEx(file, &bytes) != FALSE;
  };
  const auto name = [](HANDLE file) {
    std::vector<unsigned char> buffer(4096);
    return GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size())) != FALSE;
  };
  const auto read = [](HANDLE file) {
    char byte = 0;
    DWORD count = 0;
    return ReadFile(file, &byte, 1, &count, nullptr) != FALSE;
  };
  const auto write = [](HANDLE file) {
    DWORD count = 0;
    return WriteFile(file, "x", 1, &count, nullptr) != FALSE;
  };
  const auto flush = [](HANDLE file) { return FlushFileBuffers(file) != FALSE; };
  const struct {
    const char* what;
    ACCESS_MASK access;
    bool (*call)(HANDLE);
    DWORD error;  // 0: succeeds
    WineDeviation wine = WineDeviation::kNone;
  } cases[] = {
      {"attributes, opened to write and delete", GENERIC_WRITE | DELETE | SYNCHRONIZE, information,
       ERROR_ACCESS_DENIED, WineDeviation::kAccessPerCall},
      {"attributes, FILE_READ_ATTRIBUTES added", GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
       information, 0},
      {"attributes, opened to read", GENERIC_READ | SYNCHRONIZE, information, 0},
      {"size, opened for nothing but waiting", SYNCHRONIZE, size, 0},
      {"name, opened for nothing but waiting", SYNCHRONIZE, name, 0},
      {"read, opened to write", GENERIC_WRITE | SYNCHRONIZE, read, ERROR_ACCESS_DENIED},
      {"write, opened to read", GENERIC_READ | SYNCHRONIZE, write, ERROR_ACCESS_DENIED},
      {"write, opened to write", GENERIC_WRITE | SYNCHRONIZE, write, 0},
      {"flush, opened to read", GENERIC_READ | SYNCHRONIZE, flush, ERROR_ACCESS_DENIED},
      {"flush, opened to write", GENERIC_WRITE | SYNCHRONIZE, flush, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tree_.WriteFile(L"a.txt", "abc");
    Held file;
    ASSERT_EQ(ErrorOf(OpenRelative(root_.Get(), L"a.txt", c.access, FILE_OPEN, kFileOnly, &file)), 0U);
    SetLastError(kPlanted);
    const bool succeeded = c.call(file.Get());
    const DWORD error = succeeded ? 0 : GetLastError();
    EXPECT_TRUE(AsOnWindows(c.wine, error, c.error, DWORD{0}));
  }
}

// ---------------------------------------------------------------------------
// Renaming and deleting by handle
// ---------------------------------------------------------------------------

// A rename by handle lands in the folder RootDirectory holds, under the new
// name as written, and never replaces: each case on a folder of its own with
// f.txt ("abc"), g.txt ("old") and sub.
TEST_F(HandleBehaviourTest, ARenameByHandleLandsInTheFolderHeldAndNeverReplaces) {
  const struct {
    const char* what;
    ACCESS_MASK access;
    const wchar_t* into;  // below the case's folder; empty: the folder itself
    const wchar_t* name;
    DWORD error;
    std::vector<std::wstring> left;   // in the case's folder afterwards
    std::vector<std::wstring> below;  // in its sub afterwards
    WineDeviation wine = WineDeviation::kNone;
  } cases[] = {
      {"into another folder under a new name",
       DELETE | GENERIC_READ,
       L"sub",
       L"Moved.TXT",
       0,
       {L"g.txt", L"sub"},
       {L"Moved.TXT"}},
      {"onto an existing name, in another case",
       DELETE | GENERIC_READ,
       L"",
       L"G.TXT",
       ERROR_ALREADY_EXISTS,
       {L"f.txt", L"g.txt", L"sub"},
       {}},
      {"without DELETE access",
       GENERIC_READ,
       L"sub",
       L"Moved.TXT",
       ERROR_ACCESS_DENIED,
       {L"f.txt", L"g.txt", L"sub"},
       {},
       WineDeviation::kRenameWithoutDeleteAccess},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring folder = L"case" + std::to_wstring(&c - cases);
    tree_.WriteFile(folder + L"\\f.txt", "abc");
    tree_.WriteFile(folder + L"\\g.txt", "old");
    tree_.MakeDirectory(folder + L"\\sub");
    const Held held = Member(folder);
    Held into;
    if (*c.into != L'\0') {
      ASSERT_EQ(ErrorOf(OpenRelative(held.Get(), c.into, GENERIC_READ, FILE_OPEN, kFolderOnly, &into)), 0U);
    }
    const HANDLE target = into.IsOpen() ? into.Get() : held.Get();
    Held file;
    ASSERT_EQ(ErrorOf(OpenRelative(held.Get(), L"f.txt", c.access, FILE_OPEN, kFileOnly, &file)), 0U);

    const DWORD error = ErrorOf(RenameByHandle(file.Get(), target, c.name));
    EXPECT_TRUE(AsOnWindows(c.wine, error, c.error, DWORD{0}));
    // Only a noted Wine deviation goes on here: what follows is what
    // Windows' answer leaves.
    if (error != c.error) continue;
    if (c.error == 0) {
      EXPECT_EQ(FinalPath(file.Get()), FinalPath(target) + L"\\" + c.name);
    }
    file.Close();
    EXPECT_EQ(Names(P(folder)), c.left);
    EXPECT_EQ(Names(P(folder + L"\\sub")), c.below);
    EXPECT_EQ(tree_.ReadFile(folder + L"\\g.txt"), "old");
    EXPECT_EQ(tree_.ReadFile(c.error == 0 ? folder + L"\\" + c.into + L"\\" + c.name : folder + L"\\f.txt"),
              "abc");
  }
}

// A file marked for deletion goes when its handle closes; meanwhile its name
// is taken (the file is pending deletion, and opens of it are refused). The
// mark needs DELETE access.
TEST_F(HandleBehaviourTest, DeletionByHandleNeedsDeleteAccessAndEndsWithTheHandle) {
  const Held a = Member(L"a");
  Held file;
  ASSERT_EQ(ErrorOf(OpenRelative(a.Get(), L"f.txt", GENERIC_READ, FILE_OPEN, kFileOnly, &file)), 0U);
  EXPECT_EQ(ErrorOf(MarkForDeletion(file.Get())), DWORD{ERROR_ACCESS_DENIED});
  file.Close();
  EXPECT_EQ(tree_.ReadFile(L"a\\f.txt"), "abc");

  ASSERT_EQ(ErrorOf(OpenRelative(a.Get(), L"f.txt", DELETE | GENERIC_READ, FILE_OPEN, kFileOnly, &file)), 0U);
  EXPECT_EQ(MarkForDeletion(file.Get()), STATUS_SUCCESS);
  EXPECT_TRUE(AsOnWindows(WineDeviation::kOpenWhileDeletePending, ReachRelative(a.Get(), L"f.txt"),
                          NotOpened(ERROR_ACCESS_DENIED), OpenedAs(kFile, FinalPath(file.Get()))));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(ReachRelative(a.Get(), L"f.txt"), NotOpened(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Names(P(L"a")), std::vector<std::wstring>{L"sub"});
}

// ---------------------------------------------------------------------------
// Statuses and names
// ---------------------------------------------------------------------------

// The Win32 errors the tool reads a native failure by.
TEST(HandleStatusTest, NativeStatusesMapToTheirWin32Errors) {
  const struct {
    NTSTATUS status;
    DWORD error;
  } cases[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
      {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
      {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
      {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY},
      {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
      {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
      {STATUS_NOT_SAME_DEVICE, ERROR_NOT_SAME_DEVICE},
      {STATUS_REPARSE_POINT_NOT_RESOLVED, ERROR_CANT_RESOLVE_FILENAME},
      {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      // A status of the Win32 facility carries its code.
      {static_cast<NTSTATUS>(0xC0070000U | ERROR_DISK_FULL), ERROR_DISK_FULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status 0x" << std::hex << static_cast<DWORD>(c.status));
    EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error);
  }
}

// The walk compares a member's name with the end of its final path as the
// file system compares names: without regard to case, every code unit.
TEST(HandleStatusTest, OrdinalComparisonIgnoresCaseAsTheFileSystemDoes) {
  const struct {
    std::wstring first;
    std::wstring second;
    int expected;
  } cases[] = {
      {L"f.txt", L"F.TXT", CSTR_EQUAL},
      {L"Mixed Case", L"mIXED cASE", CSTR_EQUAL},
      {L"\u00e4rger", L"\u00c4RGER", CSTR_EQUAL},                                          // a-diaeresis
      {L"\u0434\u043e\u043c", L"\u0414\u041e\u041c", CSTR_EQUAL},                          // Cyrillic
      {L"\u03c3\u03bf\u03c6\u03af\u03b1", L"\u03a3\u039f\u03a6\u038a\u0391", CSTR_EQUAL},  // Greek
      {L"me ", L"me", CSTR_GREATER_THAN},  // a trailing blank is part of the name
      {L"me", L"me.", CSTR_LESS_THAN},
      {L"a", L"B", CSTR_LESS_THAN},
      {L"_x", L"Z", CSTR_GREATER_THAN},  // upper-cased: 0x5F after the letters
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.first) + " and " + Shown(c.second));
    EXPECT_EQ(CompareStringOrdinal(c.first.data(), static_cast<int>(c.first.size()), c.second.data(),
                                   static_cast<int>(c.second.size()), TRUE),
              c.expected);
    EXPECT_EQ(CompareStringOrdinal(c.first.c_str(), -1, c.second.c_str(), -1, TRUE), c.expected);
  }
  // Only the counted units take part.
  EXPECT_EQ(CompareStringOrdinal(L"abc", 2, L"AB", -1, TRUE), CSTR_EQUAL);
}

}  // namespace
}  // namespace van_tide
