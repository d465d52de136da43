#include "platform/win32.h"

#include <cerrno>
#include <cstdlib>

namespace van_tide::platform {

#if defined(_MSC_VER)

errno_t WideDupEnv(wchar_t** buffer, std::size_t* count, const wchar_t* name) {
  return _wdupenv_s(buffer, count, name);
}

#else

// mingw's msvcrt import library has no _wdupenv_s, and msvcrt's _wgetenv
// rebuilds the wide environment from the narrow one in a program with a narrow
// main, which loses every character outside the ANSI code page. The process
// environment block holds the exact UTF-16 text, so read it there, with the
// same contract as _wdupenv_s.
errno_t WideDupEnv(wchar_t** buffer, std::size_t* count, const wchar_t* name) {
  if (buffer == nullptr || count == nullptr) return EINVAL;
  *buffer = nullptr;
  *count = 0;
  if (name == nullptr) return EINVAL;

  DWORD capacity = GetEnvironmentVariableW(name, nullptr, 0);
  // The value can change between the size query and the copy only if another
  // thread writes the environment; loop until the copy fits rather than trust
  // the first answer.
  for (;;) {
    if (capacity == 0) {
      // Unset (ERROR_ENVVAR_NOT_FOUND) or unreadable: no copy, as for an unset
      // variable. An empty value reports a capacity of 1, not 0.
      return 0;
    }
    auto* copy = static_cast<wchar_t*>(std::malloc(static_cast<std::size_t>(capacity) * sizeof(wchar_t)));
    if (copy == nullptr) return ENOMEM;
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, copy, capacity);
    if (length < capacity) {
      if (length == 0 && GetLastError() != ERROR_SUCCESS) {
        // Removed between the two calls.
        std::free(copy);
        return 0;
      }
      copy[length] = L'\0';
      *buffer = copy;
      *count = static_cast<std::size_t>(length) + 1;
      return 0;
    }
    std::free(copy);
    capacity = length;  // grew meanwhile: the answer is the size now needed
  }
}

#endif

void FreeEnvCopy(wchar_t* copy) noexcept { std::free(copy); }

}  // namespace van_tide::platform
