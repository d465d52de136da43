// What the built executable carries besides its code: the manifest that makes
// Windows start it as the invoking user, and its version information.
#include "e2e/tool_process.h"

#include <gtest/gtest.h>
#include <winver.h>

#include <string>
#include <vector>

namespace van_tide::testing {
namespace {

class ExecutableResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(VantideToolPath().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot load the executable as data, error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  std::string Resource(const wchar_t* type, const wchar_t* name) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const void* data = loaded == nullptr ? nullptr : LockResource(loaded);
    if (data == nullptr) return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

TEST_F(ExecutableResources, ManifestRunsAsTheInvokingUser) {
  const std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty()) << "no application manifest (RT_MANIFEST, id 1)";
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos)
      << manifest;
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
  EXPECT_EQ(manifest.find("highestAvailable"), std::string::npos);
  // Windows 10 and 11.
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
  // Plain paths past 260 characters, where the system allows long paths.
  EXPECT_NE(manifest.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos);
}

TEST_F(ExecutableResources, HoldsExactlyOneManifest) {
  // A tool chain that links in a default manifest of its own would leave two,
  // and Windows would read only one of them.
  int names = 0;
  EnumResourceNamesW(module_, MAKEINTRESOURCEW(24), &CountName, reinterpret_cast<LONG_PTR>(&names));
  EXPECT_EQ(names, 1);
  int languages = 0;
  EnumResourceLanguagesW(module_, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), &CountLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, 1);
}

TEST(ExecutableVersion, NamesTheProductAndItsVersion) {
  const Path tool = VantideToolPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(tool.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version information, error " << GetLastError();
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(tool.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  ASSERT_GE(fixedSize, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), VANTIDE_VERSION_MAJOR);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), VANTIDE_VERSION_MINOR);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), VANTIDE_VERSION_PATCH);

  auto text = [&info](const wchar_t* key) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr) {
      return std::wstring();
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"OriginalFilename"), L"vantide-identity.exe");
  EXPECT_EQ(text(L"ProductName"), L"Vantide");
}

}  // namespace
}  // namespace van_tide::testing
