// What the chain check asks the file system, and how it reads the answers.
#include "fs/directory_chain.h"

#include "platform/status.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace van_tide {
namespace {

using standin::Api;

class DirectoryChainStandinTest : public testing::StandinTest {};

struct QueryCase {
  const wchar_t* dir;
  std::vector<std::wstring> queried;
};

// Every member below the root is queried once, top down, as the root exactly
// as written followed by the components joined with single backslashes.
const QueryCase kQueryCases[] = {
    {L"C:\\Users\\me\\AppData\\Roaming\\Vantide",
     {L"C:\\Users", L"C:\\Users\\me", L"C:\\Users\\me\\AppData", L"C:\\Users\\me\\AppData\\Roaming",
      L"C:\\Users\\me\\AppData\\Roaming\\Vantide"}},
    {L"C:/a//b", {L"C:/a", L"C:/a\\b"}},
    {L"\\\\server\\share\\d", {L"\\\\server\\share", L"\\\\server\\share\\d"}},
    {L"C:a\\b", {L"C:a", L"C:a\\b"}},
    {L"a\\b", {L"a", L"a\\b"}},
    {L"C:\\a\\", {L"C:\\a", L"C:\\a\\"}},
    {L"\\a\\b", {L"\\a", L"\\a\\b"}},
    {L"C:\\", {}},
    {L"C:", {}},
    {L"\\\\server\\", {}},
    {L"", {}},
    // Behind a device prefix the drive belongs to the root: querying "C:" and
    // "C:x" would examine the drive's current folder instead of the path.
    {L"\\\\?\\C:\\x\\y", {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x\\y"}},
    {L"\\??\\C:\\x", {L"\\??\\C:\\x"}},
    // Behind a device prefix the share belongs to the root as well.
    {L"\\\\?\\UNC\\server\\share\\x", {L"\\\\?\\UNC\\server\\share\\x"}},
    {L"\\\\?\\C:\\", {}},
    // A component that looks like a drive is a stream of "D": the walk would
    // ask about another object than the caller's path names, so nothing is
    // asked at all.
    {L"C:\\a\\D:b", {}},
};

TEST_F(DirectoryChainStandinTest, QueriesEachMemberOnceFromTheTopDown) {
  // Every member of every case exists, so each walk runs to its end.
  standin::AddDirectory(L"C:\\Users\\me\\AppData\\Roaming\\Vantide");
  standin::AddDirectory(L"C:\\a\\b");
  standin::AddDirectory(L"C:\\x\\y");
  standin::AddDirectory(L"\\\\server\\share\\d");
  standin::AddDirectory(L"\\\\server\\share\\x");
  for (const QueryCase& c : kQueryCases) {
    SCOPED_TRACE(std::wstring(L"dir: ") + c.dir);
    standin::ClearCalls();
    bool missing = false;
    VantideCheckDirectoryChain(c.dir, &missing);
    // Attribute queries only: nothing is opened.
    EXPECT_EQ(standin::Calls().size(), c.queried.size());
    EXPECT_EQ(standin::CallPaths(Api::GetFileAttributesW), c.queried);
  }
}

TEST_F(DirectoryChainStandinTest, StopsAtTheFirstMissingMember) {
  standin::AddDirectory(L"C:\\Users\\me\\AppData");
  bool missing = false;
  EXPECT_EQ(VantideCheckDirectoryChain(L"C:\\Users\\me\\AppData\\Roaming\\Vantide", &missing),
            static_cast<HRESULT>(0x80070002U));
  EXPECT_TRUE(missing);
  EXPECT_EQ(standin::CallPaths(Api::GetFileAttributesW).back(), L"C:\\Users\\me\\AppData\\Roaming");
}

struct ErrorCase {
  DWORD error;
  HRESULT status;
  bool missing;
};

// The flag separates "not there" from "refused"; it is written on every
// failed query, so a stale true from the caller does not survive access denied.
const ErrorCase kErrorCases[] = {
    {ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002U), true},
    {ERROR_PATH_NOT_FOUND, static_cast<HRESULT>(0x80070003U), true},
    {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005U), false},
    {ERROR_INVALID_NAME, static_cast<HRESULT>(0x8007007BU), false},
    {0, kStatusFailedWithoutReason, false},  // failed all the same
};

TEST_F(DirectoryChainStandinTest, MapsAFailedQueryToANegativeStatus) {
  standin::AddDirectory(L"C:\\a\\b");
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(c.error);
    standin::InjectFault({.api = Api::GetFileAttributesW, .error = c.error, .path = L"C:\\a"});
    bool missing = !c.missing;
    EXPECT_EQ(VantideCheckDirectoryChain(L"C:\\a\\b", &missing), c.status);
    EXPECT_EQ(missing, c.missing);
  }
}

TEST_F(DirectoryChainStandinTest, RefusesReparsePointsAndNonFoldersWithoutTouchingTheFlag) {
  standin::AddDirectory(L"C:\\target");
  standin::AddFile(L"C:\\target\\file", "x");
  standin::AddDirectoryLink(L"C:\\junction", L"C:\\target");
  standin::AddFileLink(L"C:\\filelink", L"C:\\target\\file");
  const struct {
    const wchar_t* dir;
    HRESULT status;
  } cases[] = {
      {L"C:\\junction", kStatusCantAccessFile},
      {L"C:\\junction\\", kStatusCantAccessFile},
      {L"C:\\filelink", kStatusCantAccessFile},  // reparse wins over "not a folder"
      {L"C:\\target\\file", kStatusNotADirectory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    for (const bool before : {false, true}) {
      bool missing = before;
      EXPECT_EQ(VantideCheckDirectoryChain(c.dir, &missing), c.status);
      EXPECT_EQ(missing, before);
    }
  }
}

// Asked about at the end of a prefix, these members are rewritten ("me " is
// "me", "CON" the console), while in the middle of the caller's path they are
// not: the walk could pass a link the caller then goes through. Such a chain
// is refused before anything is asked, wherever the member stands.
TEST_F(DirectoryChainStandinTest, RefusesMembersWindowsWouldNotReadAsWritten) {
  for (const wchar_t* member : {L"me ", L"me.", L"me. ", L"..", L".", L"CON", L"con.txt", L"Nul ", L"COM1",
                                L"lpt9.log", L"COM\u00B9", L"CONOUT$", L"me:s", L"me::$INDEX_ALLOCATION"}) {
    SCOPED_TRACE(member);
    for (const std::wstring& dir :
         {std::wstring(L"C:\\") + member, std::wstring(L"C:\\") + member + L"\\Roaming"}) {
      SCOPED_TRACE(dir);
      standin::ClearCalls();
      bool missing = true;
      EXPECT_EQ(VantideCheckDirectoryChain(dir, &missing), kStatusInvalidName);
      EXPECT_TRUE(missing);  // not written
      EXPECT_TRUE(standin::Calls().empty());
    }
  }
}

}  // namespace
}  // namespace van_tide
