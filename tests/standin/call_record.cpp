// The process under test as tests see it: the record of its calls, the
// faults planned for them, the hooks through which another process acts
// between them, and the last error. Here too: the one State, Reset, which
// gives a fresh machine, and InPlatformCall.
//
// - Successful calls leave the last error as it was, so code that reads it
//   after a success is caught reading a stale value. The one exception is
//   Windows' own: a successful CreateFileW always sets it, to
//   ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS met an existing
//   file, and to 0 (ERROR_SUCCESS) otherwise, whatever the disposition.
// - Faults by position (InjectFaultAtCall) decide one call by its index in the
//   record, whatever its API and path; a ReadFile or WriteFile fault with
//   failAfterTransfer transfers its short count and then fails, as a write
//   does when the disk fills part-way.
// - Other processes: RunBeforeCall runs a test's action just before a given
//   call (a file appearing or vanishing mid-run).
#include "standin/standin.h"

#include "standin/machine.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace van_tide::standin {

State& S() {
  static State state;
  return state;
}

// ---------------------------------------------------------------------------
// Calls, faults and the last error
// ---------------------------------------------------------------------------

std::wstring Text(LPCWSTR text) { return text == nullptr ? std::wstring() : std::wstring(text); }

Call NewCall(Api api, std::wstring path, std::vector<DWORD> args) {
  Call call;
  call.api = api;
  call.path = std::move(path);
  call.args = std::move(args);
  return call;
}

// Adds the call to the record, then lets the hook planned for its position act
// (as another process would, so what the hook calls is left out of the
// record), and arms the crash when this is the call it follows.
void Record(Call call) {
  State& s = S();
  if (s.hookDepth > 0) return;
  const std::size_t index = s.calls.size();
  s.calls.push_back(std::move(call));
  if (const auto hook = s.hooks.find(index); hook != s.hooks.end()) {
    const std::function<void()> action = std::move(hook->second);
    s.hooks.erase(hook);
    struct HookScope {
      HookScope() { ++S().hookDepth; }
      ~HookScope() { --S().hookDepth; }
      HookScope(const HookScope&) = delete;
      HookScope& operator=(const HookScope&) = delete;
    } scope;
    action();
  }
  s.currentIndex = index;
  if (s.crashAt == index) {
    s.crashAt.reset();
    s.crashPending = true;
  }
}

void Record(Api api, std::wstring path, std::vector<DWORD> args) {
  Record(NewCall(api, std::move(path), std::move(args)));
}

// The planned fault that is due for this call, if any. A fault planned for
// the call's position wins; faults planned by name count the call all the
// same, so adding one by position does not shift the others.
const Fault* DueFault(Api api, std::wstring_view path) {
  State& s = S();
  if (s.hookDepth > 0) return nullptr;
  const Fault* due = nullptr;
  for (PlannedFault& planned : s.faults) {
    const Fault& fault = planned.fault;
    if (fault.api != api || (!fault.path.empty() && fault.path != path)) continue;
    const int index = planned.seen++;
    const bool inWindow = index >= fault.skip && (fault.count < 0 || index - fault.skip < fault.count);
    if (due == nullptr && inWindow) due = &fault;
  }
  if (s.currentIndex.has_value()) {
    if (const auto found = s.positionFaults.find(*s.currentIndex); found != s.positionFaults.end()) {
      s.firing = std::move(found->second);
      s.positionFaults.erase(found);
      due = &*s.firing;
    }
  }
  return due;
}

// ---------------------------------------------------------------------------
// Control
// ---------------------------------------------------------------------------

const char* ApiName(Api api) {
  switch (api) {
    case Api::CreateFileW:
      return "CreateFileW";
    case Api::ReadFile:
      return "ReadFile";
    case Api::WriteFile:
      return "WriteFile";
    case Api::FlushFileBuffers:
      return "FlushFileBuffers";
    case Api::CloseHandle:
      return "CloseHandle";
    case Api::GetFileInformationByHandle:
      return "GetFileInformationByHandle";
    case Api::GetFileSizeEx:
      return "GetFileSizeEx";
    case Api::GetFileAttributesW:
      return "GetFileAttributesW";
    case Api::GetFileAttributesExW:
      return "GetFileAttributesExW";
    case Api::CreateDirectoryW:
      return "CreateDirectoryW";
    case Api::MoveFileExW:
      return "MoveFileExW";
    case Api::DeleteFileW:
      return "DeleteFileW";
    case Api::FindFirstFileExW:
      return "FindFirstFileExW";
    case Api::FindNextFileW:
      return "FindNextFileW";
    case Api::FindClose:
      return "FindClose";
    case Api::CryptProtectData:
      return "CryptProtectData";
    case Api::CryptUnprotectData:
      return "CryptUnprotectData";
    case Api::LocalFree:
      return "LocalFree";
    case Api::WideDupEnv:
      return "WideDupEnv";
    case Api::NtCreateFile:
      return "NtCreateFile";
    case Api::NtSetInformationFile:
      return "NtSetInformationFile";
    case Api::GetFileInformationByHandleEx:
      return "GetFileInformationByHandleEx";
    case Api::GetFinalPathNameByHandleW:
      return "GetFinalPathNameByHandleW";
  }
  return "?";
}

void Reset() { S().Clear(); }

void InjectFault(const Fault& fault) { S().faults.push_back(PlannedFault{fault, 0}); }

void InjectFaultAtCall(std::size_t index, const Fault& fault) { S().positionFaults[index] = fault; }

void RunBeforeCall(std::size_t index, std::function<void()> action) { S().hooks[index] = std::move(action); }

bool InPlatformCall() { return S().depth > 0; }

const std::vector<Call>& Calls() { return S().calls; }

void ClearCalls() { S().calls.clear(); }

std::vector<std::wstring> CallPaths(Api api) {
  std::vector<std::wstring> paths;
  for (const Call& call : S().calls) {
    if (call.api == api) paths.push_back(call.path);
  }
  return paths;
}

}  // namespace van_tide::standin

// ---------------------------------------------------------------------------
// The Win32 functions
// ---------------------------------------------------------------------------

using namespace van_tide::standin;  // machine.h and the helpers above

DWORD GetLastError() {
  const CallScope inCall;
  return S().lastError;
}

void SetLastError(DWORD error) {
  const CallScope inCall;
  S().lastError = error;
}
