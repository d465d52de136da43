#include "fs/base_folder.h"

#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <new>

namespace van_tide {
namespace {

using standin::Api;

class BaseFolderStandinTest : public testing::StandinTest {};

TEST_F(BaseFolderStandinTest, RunningOutOfMemoryIsRaisedNotMistakenForUnset) {
  standin::SetEnvironmentVariable(L"APPDATA", L"C:\\Roaming");
  standin::InjectFault({.api = Api::WideDupEnv, .error = ENOMEM});
  EXPECT_THROW(VantideGetBaseFolder(L"APPDATA"), std::bad_alloc);
}

TEST_F(BaseFolderStandinTest, AnyOtherLookupFailureMeansNotAvailable) {
  standin::SetEnvironmentVariable(L"APPDATA", L"C:\\Roaming");
  standin::InjectFault({.api = Api::WideDupEnv, .error = EINVAL});
  EXPECT_EQ(VantideGetBaseFolder(L"APPDATA"), L"");
  EXPECT_EQ(VantideGetBaseFolder(L"APPDATA"), L"C:\\Roaming");  // the next lookup is fine again
}

}  // namespace
}  // namespace van_tide
