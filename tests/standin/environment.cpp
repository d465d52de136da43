// The environment of the process under test, as WideDupEnv reads it.
//
// - The environment tells an unset variable from an empty one; variable names
//   compare through the same upper-casing as file names.
#include "standin/standin.h"

#include "platform/win32.h"
#include "standin/machine.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>

namespace van_tide::standin {

void SetEnvironmentVariable(std::wstring_view name, std::wstring_view value) {
  S().environment[Upper(name)] = EnvironmentEntry{std::wstring(name), std::wstring(value)};
}

void UnsetEnvironmentVariable(std::wstring_view name) { S().environment.erase(Upper(name)); }

std::size_t OutstandingEnvCopies() { return S().envCopies.size(); }

}  // namespace van_tide::standin

using namespace van_tide::standin;  // machine.h

namespace van_tide::platform {

errno_t WideDupEnv(wchar_t** buffer, std::size_t* count, const wchar_t* name) {
  const CallScope inCall;
  if (Dead()) {
    if (buffer != nullptr) *buffer = nullptr;
    if (count != nullptr) *count = 0;
    return EINVAL;
  }
  Record(Api::WideDupEnv, Text(name));
  if (buffer == nullptr || count == nullptr) return EINVAL;
  *buffer = nullptr;
  *count = 0;
  if (name == nullptr) return EINVAL;
  if (const Fault* fault = DueFault(Api::WideDupEnv, Text(name))) return static_cast<errno_t>(fault->error);
  const auto found = S().environment.find(Upper(name));
  if (found == S().environment.end()) return 0;
  const std::wstring& value = found->second.value;
  auto* copy = static_cast<wchar_t*>(std::malloc((value.size() + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return ENOMEM;
  std::copy(value.begin(), value.end(), copy);
  copy[value.size()] = L'\0';
  S().envCopies.insert(copy);
  *buffer = copy;
  *count = value.size() + 1;
  return 0;
}

// A copy the stand-in never gave, or gave to a process that has since ended
// (which freed it), is left alone rather than freed twice.
void FreeEnvCopy(wchar_t* copy) noexcept {
  if (S().envCopies.erase(copy) != 0) std::free(copy);
}

}  // namespace van_tide::platform
