#include "platform/win32.h"

namespace van_tide::platform {

bool WorksByPath() noexcept {
  // Wine's ntdll exports its version; Windows' never has. Asked once: the
  // answer cannot change while the process runs.
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace van_tide::platform
