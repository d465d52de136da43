// The handle owner gives back what an open handed out, and nothing else; the
// stand-in's handles as Wine gives them, and what ends a deletion by handle.
#include "platform/handles.h"

#include "platform/handle_calls.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"
#include "support/win32_outcomes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

class FileHandleStandinTest : public testing::StandinTest {};

TEST_F(FileHandleStandinTest, ClosesWhatAnOpenReturnedOnceAndNothingAfterAFailedOpen) {
  standin::AddFile(L"C:\\data\\file", "contents");
  const struct {
    const wchar_t* path;
    std::vector<Api> calls;
  } cases[] = {
      {L"C:\\data\\file", {Api::CreateFileW, Api::CloseHandle}},
      // INVALID_HANDLE_VALUE is the current process's pseudo-handle.
      {L"C:\\data\\absent", {Api::CreateFileW}},
      {L"C:\\absent\\file", {Api::CreateFileW}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    standin::Restart();
    {
      const VantideFileHandle file(
          CreateFileW(c.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    std::vector<Api> calls;
    for (const standin::Call& call : standin::Calls()) calls.push_back(call.api);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(standin::OpenHandleCount(), 0U);
    EXPECT_EQ(standin::InvalidHandleCloses(), 0U);
  }
}

// A folder with a file, and a link of each kind to them and to nothing.
class HandleLinksStandinTest : public testing::StandinTest {
 protected:
  HandleLinksStandinTest() {
    standin::AddFile(L"C:\\scratch\\a\\f.txt", "abc");
    standin::AddDirectoryLink(L"C:\\scratch\\link", L"C:\\scratch\\a");
    standin::AddDirectoryLink(L"C:\\scratch\\dangling", L"C:\\scratch\\missing");
    standin::AddFileLink(L"C:\\scratch\\flink", L"C:\\scratch\\a\\f.txt");
    standin::AddFileLink(L"C:\\scratch\\fdangling", L"C:\\scratch\\a\\gone.txt");
  }
};

// With handles as Wine gives them, an open asked for a link itself gives
// exactly what the Wine run of the platform suite shows: the target, a plain
// folder or file whose final path is the target's, and for a link to nothing
// a missing name; relative or by path alike. So the walk's judgement of a
// member by its final path is exercised natively as it runs under Wine.
TEST_F(HandleLinksStandinTest, HandlesAsWineGivesThemReachTheTarget) {
  using namespace testing::win32;
  const struct {
    const wchar_t* name;
    Reached asWindows;
    Reached asWine;
  } cases[] = {
      {L"link", OpenedAs(kDir | kLink, L"\\\\?\\C:\\scratch\\link"),
       OpenedAs(kDir, L"\\\\?\\C:\\scratch\\a")},
      {L"flink", OpenedAs(kFile | kLink, L"\\\\?\\C:\\scratch\\flink"),
       OpenedAs(kFile, L"\\\\?\\C:\\scratch\\a\\f.txt")},
      {L"dangling", OpenedAs(kDir | kLink, L"\\\\?\\C:\\scratch\\dangling"), NotOpened(ERROR_FILE_NOT_FOUND)},
      {L"fdangling", OpenedAs(kFile | kLink, L"\\\\?\\C:\\scratch\\fdangling"),
       NotOpened(ERROR_FILE_NOT_FOUND)},
  };
  for (const bool asWine : {false, true}) {
    standin::SetHandlesFollowLinks(asWine);
    const Held root = OpenByPath(L"C:\\scratch");
    for (const auto& c : cases) {
      SCOPED_TRACE(Shown(c.name) + (asWine ? " as Wine gives it" : " as Windows gives it"));
      const Reached& expected = asWine ? c.asWine : c.asWindows;
      EXPECT_EQ(ReachRelative(root.Get(), c.name), expected) << "opened relative";
      EXPECT_EQ(ReachByPath(std::wstring(L"C:\\scratch\\") + c.name, FILE_FLAG_OPEN_REPARSE_POINT), expected)
          << "opened by path";
    }
    // A listing through a handle still shows a folder link as one, as Wine's does.
    const HandleListing listing = ListByHandle(root.Get(), 4096);
    EXPECT_NE(std::find(listing.entries.begin(), listing.entries.end(), Listed{L"link", kDir | kLink}),
              listing.entries.end());
  }
}

// A file marked for deletion goes with the last handle to it, whichever
// process held it and however that handle went: closed, or gone with a new
// process or a crash. Until then its name is there.
TEST_F(HandleLinksStandinTest, AFileMarkedForDeletionGoesWithItsLastHandle) {
  using namespace testing::win32;
  enum class End { kClose, kRestart, kCrash };
  const struct {
    const char* what;
    bool heldElsewhere;
    End end;
  } cases[] = {
      {"closed", false, End::kClose},
      {"closed, and held by another process", true, End::kClose},
      {"a new process", false, End::kRestart},
      {"a crash right after the mark", false, End::kCrash},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Restart();
    if (c.heldElsewhere) standin::HoldOpen(L"C:\\scratch\\a\\f.txt", GENERIC_READ, kShareAll);
    {
      const Held a = OpenByPath(L"C:\\scratch\\a");
      Held file;
      ASSERT_EQ(ErrorOf(OpenRelative(a.Get(), L"f.txt", DELETE, FILE_OPEN, kFileOnly, &file)), 0U);
      standin::ClearCalls();
      if (c.end == End::kCrash) standin::CrashAfterCall(0);
      EXPECT_EQ(MarkForDeletion(file.Get()), STATUS_SUCCESS);
      if (c.end != End::kCrash) {
        EXPECT_TRUE(standin::Exists(L"C:\\scratch\\a\\f.txt")) << "marked, not yet gone";
      }
      if (c.end == End::kRestart) standin::Restart();
    }
    EXPECT_EQ(standin::Exists(L"C:\\scratch\\a\\f.txt"), c.heldElsewhere);
    standin::ReleaseHeld();
    EXPECT_FALSE(standin::Exists(L"C:\\scratch\\a\\f.txt"));
    standin::AddFile(L"C:\\scratch\\a\\f.txt", "abc");
  }
  standin::Restart();  // the handles of the last cases are gone with their process
}

}  // namespace
}  // namespace van_tide
