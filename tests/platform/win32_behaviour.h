// What the platform suites share: the known Wine deviations and how a case
// notes one, helpers that read calls by path, and the scratch trees the cases
// run on. The cases state Windows' behaviour; natively they hold the stand-in
// to it, in the Windows build the real API (see win32_behaviour_test.cpp).
#pragma once

#include "platform/win32.h"
#include "support/test_tree.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide::testing::win32 {

// ---------------------------------------------------------------------------
// Known Wine deviations
// ---------------------------------------------------------------------------

enum class WineDeviation {
  kNone,
  kFileLink,
  kDanglingLink,
  kTamperDetection,
  kCaseOnlyRename,
  kCreateDirectoryOnRoot,
  kMissingDrive,
  kPathThroughAFile,
  kDeleteWhileOpen,
  kStreams,
  kLinkOpenedAsTarget,
  kFinalPathTrimmed,
  kRenameWithoutDeleteAccess,
  kOpenWhileDeletePending,
  kAccessPerCall,
  kFileReadThroughLink,
  kRenameByPath,
};

struct DeviationText {
  const char* key;  // for the test's recorded properties
  const char* reason;
};

inline DeviationText TextOf(WineDeviation deviation) {
  switch (deviation) {
    case WineDeviation::kNone:
      break;
    case WineDeviation::kFileLink:
      return {"file_link",
              "Wine shows a Unix symbolic link to a file as the plain target file (no reparse point, the "
              "target's size, even when the link itself is opened), and CreateSymbolicLinkW makes nothing"};
    case WineDeviation::kDanglingLink:
      return {"dangling_link",
              "Wine shows a Unix symbolic link by what it points to, so one whose target is missing (or "
              "never resolves, in a cycle) is not there at all, and a path through it reads as a missing "
              "last member"};
    case WineDeviation::kTamperDetection:
      return {"tamper_detection",
              "Wine's data protection unseals a blob with one byte altered at many positions (about 40 %)"};
    case WineDeviation::kCaseOnlyRename:
      return {"case_only_rename",
              "Wine reports success for a rename that changes only the case, but keeps the old name"};
    case WineDeviation::kCreateDirectoryOnRoot:
      return {"create_directory_on_root",
              "Wine refuses to create a drive's root with ERROR_ALREADY_EXISTS, not ERROR_ACCESS_DENIED"};
    case WineDeviation::kMissingDrive:
      return {"missing_drive",
              "Wine answers a path on a drive letter that is not mapped as a missing file (2)"};
    case WineDeviation::kPathThroughAFile:
      return {"path_through_a_file",
              "Wine answers a file named as a folder (a trailing separator, or a listing inside it) as a "
              "missing path (3) or an invalid name (123), where Windows' file system says invalid name "
              "(123) or not a directory (267)"};
    case WineDeviation::kDeleteWhileOpen:
      return {"delete_while_open",
              "Wine keeps a deleted file's name until its last handle closes, as Windows did before "
              "DeleteFileW took POSIX semantics on NTFS (Windows 10 1809 and later)"};
    case WineDeviation::kStreams:
      return {"streams", "Wine keeps no NTFS streams, so a member with a colon names nothing it knows"};
    case WineDeviation::kLinkOpenedAsTarget:
      return {"link_opened_as_target",
              "Wine opens what a Unix symbolic link points to even when asked for the link itself "
              "(FILE_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_REPARSE_POINT): the handle reads as a plain folder "
              "(0x10) or file (0x20) and its final path names the target; only queries by path see the link"};
    case WineDeviation::kFinalPathTrimmed:
      return {
          "final_path_trimmed",
          "Wine's GetFinalPathNameByHandleW drops the trailing periods and blanks of every member, as "
          "the normalisation of a plain path would, so the final path of \"x \" in \"d.\" reads \"d\\x\""};
    case WineDeviation::kRenameWithoutDeleteAccess:
      return {"rename_without_delete_access",
              "Wine renames a file by handle (FileRenameInformation) without the DELETE access Windows "
              "requires of the handle"};
    case WineDeviation::kOpenWhileDeletePending:
      return {"open_while_delete_pending",
              "Wine opens a file marked for deletion (FileDispositionInformation) until its last handle "
              "closes, where Windows refuses the open with STATUS_DELETE_PENDING (ERROR_ACCESS_DENIED)"};
    case WineDeviation::kAccessPerCall:
      return {"access_per_call",
              "Wine answers an attribute query (GetFileInformationByHandle) through a handle opened without "
              "FILE_READ_ATTRIBUTES, where Windows refuses it with ERROR_ACCESS_DENIED"};
    case WineDeviation::kFileReadThroughLink:
      return {"file_read_through_link",
              "Wine opens a file by its path, resolved once when asked, and shows a Unix symbolic link to a "
              "file as the plain target with the target's id, so only a check by path sees such a link: a "
              "file exchanged with a link between the checks and the read is read through the link"};
    case WineDeviation::kRenameByPath:
      return {
          "rename_by_path",
          "Wine's server creates, renames (a stat of the target, then rename) and deletes on close by "
          "path, not by the handles given: with the folder on the way exchanged for a link, the tool's "
          "file can be created or moved behind it, and a rename without replacing can replace a link "
          "made at the target between the stat and the rename, and someone else's file that bears the tool's "
          "name behind the link can be replaced or removed"};
  }
  return {"none", ""};
}

inline void NoteDeviation(WineDeviation deviation, const std::string& detail) {
  const DeviationText text = TextOf(deviation);
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  ::testing::Test::RecordProperty(std::string("known_wine_deviation.") + text.key,
                                  detail + ": " + text.reason);
  std::printf("known Wine deviation: %s.%s (%s): %s\n", test->test_suite_name(), test->name(), detail.c_str(),
              text.reason);
}

// `actual` as Windows gives it. Under Wine a mismatch at a known deviation is
// noted instead of failing; anywhere else, and for kNone, it fails.
template <typename T>
inline ::testing::AssertionResult AsOnWindows(WineDeviation deviation, const T& actual, const T& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const std::string mismatch =
      "got " + ::testing::PrintToString(actual) + ", Windows gives " + ::testing::PrintToString(expected);
  if (deviation != WineDeviation::kNone && TestTree::UnderWine()) {
    NoteDeviation(deviation, mismatch);
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << mismatch;
}

// The same where what Wine gives instead is known: under Wine, at a known
// deviation, `actual` may be `wineGives` (noted) but nothing else, so a
// change in Wine shows.
template <typename T>
inline ::testing::AssertionResult AsOnWindows(WineDeviation deviation, const T& actual, const T& expected,
                                              const T& wineGives) {
  if (deviation == WineDeviation::kNone || !TestTree::UnderWine() || actual == expected) {
    return AsOnWindows(deviation, actual, expected);
  }
  if (actual == wineGives) return AsOnWindows(deviation, actual, expected);
  return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(actual) << ", Windows gives "
                                       << ::testing::PrintToString(expected) << ", Wine is known to give "
                                       << ::testing::PrintToString(wineGives);
}

// A call that does harm under Wine is left out there: this notes the deviation
// and returns true under Wine only.
inline bool LeftOutUnderWine(WineDeviation deviation, const std::string& call) {
  if (!TestTree::UnderWine()) return false;
  NoteDeviation(deviation, call + " not made");
  return true;
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

inline DWORD HandleAttributes(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  EXPECT_TRUE(GetFileInformationByHandle(file, &information));
  return information.dwFileAttributes & kTold;
}

struct Listed {
  std::wstring name;
  DWORD attributes;
  bool operator==(const Listed&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Listed& entry) {
  return out << Shown(entry.name) << " 0x" << std::hex << entry.attributes << std::dec;
}

// Lists through the three calls, in the order they give, and checks that the
// end reads as ERROR_NO_MORE_FILES; a failed first call gives its error
// instead (0 when it succeeds).
inline std::vector<Listed> List(const std::wstring& pattern, DWORD* error) {
  std::vector<Listed> entries;
  WIN32_FIND_DATAW data{};
  const HANDLE find =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  *error = find == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (find == INVALID_HANDLE_VALUE) return entries;
  do {
    entries.push_back({data.cFileName, data.dwFileAttributes & kTold});
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_TRUE(FindClose(find));
  return entries;
}

// The names in a folder without "." and "..", sorted: for cases about which
// names are there, not their order.
inline std::vector<std::wstring> Names(const std::wstring& folder) {
  DWORD error = 0;
  std::vector<std::wstring> names;
  for (const Listed& entry : List(folder + L"\\*", &error)) {
    if (entry.name != L"." && entry.name != L"..") names.push_back(entry.name);
  }
  EXPECT_EQ(error, 0U) << Shown(folder);
  std::sort(names.begin(), names.end());
  return names;
}

// The name an item is stored under, as a search for its own path finds it.
inline std::wstring StoredName(const std::wstring& path) {
  WIN32_FIND_DATAW data{};
  const HANDLE find =
      FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return L"(none: error " + std::to_wstring(GetLastError()) + L")";
  EXPECT_TRUE(FindClose(find));
  return data.cFileName;
}

// Every ASCII letter in the other case and every backslash a slash.
inline std::wstring Mixed(std::wstring path) {
  for (wchar_t& c : path) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    } else if (c >= L'A' && c <= L'Z') {
      c = static_cast<wchar_t>(c - L'A' + L'a');
    } else if (c == L'\\') {
      c = L'/';
    }
  }
  return path;
}

// A tree with a folder holding a file and a subfolder.
class Win32BehaviourTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tree_.Root().size() > 2 && tree_.Root()[1] == L':') << "the tree is not on a drive";
    tree_.WriteFile(L"a\\f.txt", "abc");
    tree_.MakeDirectory(L"a\\sub");
  }

  std::wstring P(std::wstring_view relative) const { return tree_.PathOf(relative); }
  // The tree's drive ("C:") and its root below the drive ("\scratch").
  std::wstring Drive() const { return tree_.Root().substr(0, 2); }
  std::wstring BelowDrive() const { return tree_.Root().substr(2); }

  TestTree tree_;
};

// The tree with links of both kinds to it, and one dangling of each kind.
class Win32LinkBehaviourTest : public Win32BehaviourTest {
 protected:
  void SetUp() override {
    Win32BehaviourTest::SetUp();
    folderLinks_ = tree_.MakeDirectoryLink(L"link", L"a") && tree_.MakeDirectoryLink(L"dangling", L"missing");
    fileLinks_ =
        tree_.MakeFileLink(L"flink", L"a\\f.txt") && tree_.MakeFileLink(L"fdangling", L"a\\gone.txt");
  }

  bool folderLinks_ = false;
  bool fileLinks_ = false;
};

inline constexpr const char* kNoFolderLinks = "this machine makes neither directory links nor junctions";
inline constexpr const char* kNoFileLinks =
    "this machine makes no file links (it needs developer mode or the right)";

}  // namespace van_tide::testing::win32
