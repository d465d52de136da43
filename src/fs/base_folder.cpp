#include "fs/base_folder.h"

#include "platform/win32.h"

#include <cerrno>
#include <memory>
#include <new>

namespace van_tide {
namespace {

struct EnvCopyDeleter {
  void operator()(wchar_t* copy) const noexcept { platform::FreeEnvCopy(copy); }
};

}  // namespace

Path VantideGetBaseFolder(const wchar_t* name) {
  wchar_t* buffer = nullptr;
  std::size_t count = 0;
  const errno_t error = platform::WideDupEnv(&buffer, &count, name);
  const std::unique_ptr<wchar_t, EnvCopyDeleter> copy(buffer);

  if (error == ENOMEM) throw std::bad_alloc();
  // The count includes the terminating zero: 0 or 1 means unset or empty.
  if (error != 0 || copy == nullptr || count <= 1) return {};

  Path value(copy.get(), count - 1);
  if (!VantideIsAbsolutePath(value)) return {};
  // A spelling that the folder-chain check would read differently from the
  // file system ("x\..\Roaming", "\\?\GLOBALROOT\...") could let a link
  // on the real chain pass unexamined; such a folder is not usable.
  if (!VantideIsWalkablePath(value)) return {};
  return value;
}

}  // namespace van_tide
