// Contents too large for the single write call that creation makes: refused
// before anything is written, never cut down to what a 32-bit length keeps.
#include "fs/atomic_file.h"

#include "standin/standin.h"
#include "support/standin_fixture.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace van_tide {
namespace {

using standin::Api;

constexpr wchar_t kTarget[] = L"C:\\Roaming\\Vantide\\f.dat";
constexpr wchar_t kTemporary[] = L"C:\\Roaming\\Vantide\\f.dat.tmp";

// The smallest length a DWORD cannot hold; cast to one it reads as 0.
constexpr std::size_t kFourGiB = std::size_t{1} << 32;

// Address space for the contents without memory behind it: the refusal must
// come before a single byte is read, and pages never touched cost nothing.
class UntouchedContents {
 public:
  explicit UntouchedContents(std::size_t size) : size_(size) {
    void* const mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped != MAP_FAILED) data_ = static_cast<const char*>(mapped);
  }
  ~UntouchedContents() {
    if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
  }
  UntouchedContents(const UntouchedContents&) = delete;
  UntouchedContents& operator=(const UntouchedContents&) = delete;

  bool Mapped() const { return data_ != nullptr; }
  std::string_view View() const { return {data_, size_}; }

 private:
  std::size_t size_;
  const char* data_ = nullptr;
};

class AtomicFileSizeLimitTest : public testing::StandinTest {};

// A length that wraps to 0 would write nothing and report an empty file as
// created.
TEST_F(AtomicFileSizeLimitTest, FourGibibytesAreRefusedWithoutWritingAndLeaveNoFile) {
  const UntouchedContents contents(kFourGiB);
  if (!contents.Mapped()) GTEST_SKIP() << "no 4 GiB of address space to map";
  standin::AddDirectory(L"C:\\Roaming");

  EXPECT_EQ(VantideCreateFileAtomically(kTarget, contents.View()), static_cast<HRESULT>(0x8007001DU));
  EXPECT_EQ(standin::CallPaths(Api::CreateFileW), std::vector<std::wstring>{kTemporary});
  EXPECT_TRUE(standin::CallPaths(Api::WriteFile).empty());
  EXPECT_TRUE(standin::CallPaths(Api::FlushFileBuffers).empty());
  EXPECT_TRUE(standin::CallPaths(Api::MoveFileExW).empty());
  EXPECT_EQ(standin::CallPaths(Api::DeleteFileW), std::vector<std::wstring>{kTemporary});
  EXPECT_FALSE(standin::Exists(kTemporary));
  EXPECT_FALSE(standin::Exists(kTarget));
}

}  // namespace
}  // namespace van_tide
