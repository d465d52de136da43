// Contents at the edge of the single write call that creation makes: the
// largest a 32-bit length holds is written whole, anything larger is refused
// before anything is written, never cut down to what such a length keeps.
#include "fs/atomic_file.h"

#include "standin/standin.h"
#include "support/open_folder.h"
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

constexpr wchar_t kFolder[] = L"C:\\Roaming\\Vantide";
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

// The largest length one write call takes goes in that one call; only beyond
// it is the contents refused, before anything is written: a length that
// wraps to 0 would write nothing and report an empty file as created. The
// write of the largest is failed by plan, so no 4 GiB are ever copied; its
// disk-full status shows it was tried.
TEST_F(AtomicFileSizeLimitTest, OneWriteTakesUpToTheLargestLengthAndLargerIsRefused) {
  const struct {
    std::size_t size;
    HRESULT status;
    std::vector<std::vector<DWORD>> writes;  // the lengths each write call was given
  } cases[] = {
      {kFourGiB - 1, static_cast<HRESULT>(0x80070070U), {{0xFFFFFFFFU}}},
      {kFourGiB, static_cast<HRESULT>(0x8007001DU), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const UntouchedContents contents(c.size);
    if (!contents.Mapped()) GTEST_SKIP() << "no 4 GiB of address space to map";
    standin::Reset();
    standin::AddDirectory(kFolder);
    const VantideFolder folder = testing::OpenFolder(kFolder);
    ASSERT_TRUE(folder.IsOpen());
    standin::ClearCalls();
    standin::InjectFault({.api = Api::WriteFile, .error = ERROR_DISK_FULL});

    EXPECT_EQ(VantideCreateFileAtomically(folder, L"f.dat", contents.View()), c.status);
    // The one name opened; the discard's check also opens the folder anew,
    // to list it.
    std::vector<std::wstring> opened;
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::NtCreateFile && testing::IsWalkOpen(call)) opened.push_back(call.path);
    }
    EXPECT_EQ(opened, std::vector<std::wstring>{kTemporary});
    std::vector<std::vector<DWORD>> writes;
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::WriteFile) writes.push_back(call.args);
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_TRUE(standin::CallPaths(Api::FlushFileBuffers).empty());
    // Never renamed into place: only its name taken away again, by handle.
    std::vector<std::vector<DWORD>> information;
    for (const standin::Call& call : standin::Calls()) {
      if (call.api == Api::NtSetInformationFile) information.push_back(call.args);
    }
    EXPECT_EQ(information, std::vector<std::vector<DWORD>>{{FileDispositionInformation}});
    EXPECT_FALSE(standin::Exists(kTemporary));
    EXPECT_FALSE(standin::Exists(kTarget));
  }
}

}  // namespace
}  // namespace van_tide
