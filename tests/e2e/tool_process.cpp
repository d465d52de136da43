#include "e2e/tool_process.h"

#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string_view>

#ifndef VANTIDE_TOOL_PATH
#error "VANTIDE_TOOL_PATH must name the built executable"
#endif

namespace van_tide::testing {
namespace {

// Long enough for a slow Wine start, short enough that a hanging tool fails
// the test instead of the whole run.
constexpr DWORD kRunLimitMilliseconds = 60000;

// What any Windows process expects to find; the cases add or leave out the
// application-data folders themselves. Wine's own WINE* variables are copied
// as well (see below).
constexpr const wchar_t* kInheritedVariables[] = {
    L"ALLUSERSPROFILE",
    L"COMPUTERNAME",
    L"ComSpec",
    L"CommonProgramFiles",
    L"HOMEDRIVE",
    L"HOMEPATH",
    L"NUMBER_OF_PROCESSORS",
    L"OS",
    L"PATH",
    L"PATHEXT",
    L"PROCESSOR_ARCHITECTURE",
    L"ProgramData",
    L"ProgramFiles",
    L"PUBLIC",
    L"SystemDrive",
    L"SystemRoot",
    L"TEMP",
    L"TMP",
    L"USERDOMAIN",
    L"USERNAME",
    L"USERPROFILE",
    L"windir",
};

std::wstring Upper(std::wstring_view text) {
  std::wstring out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return out;
}

std::optional<std::wstring> OwnVariable(const wchar_t* name) {
  const DWORD capacity = GetEnvironmentVariableW(name, nullptr, 0);
  if (capacity == 0) return std::nullopt;
  std::wstring value(capacity, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), capacity);
  if (length >= capacity) return std::nullopt;
  value.resize(length);
  return value;
}

// Names of this process's variables that start with WINE: Wine keeps the
// settings of its own loader there, and a child without them may not start.
std::vector<std::wstring> OwnWineVariableNames() {
  std::vector<std::wstring> names;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return names;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    const std::wstring_view text(entry);
    const std::size_t equals = text.find(L'=', 1);
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view name = text.substr(0, equals);
    if (name.size() >= 4 && Upper(name.substr(0, 4)) == L"WINE") names.emplace_back(name);
  }
  FreeEnvironmentStringsW(block);
  return names;
}

// A block of NAME=value strings, sorted by upper-cased name as Windows
// expects, closed by an extra zero.
std::vector<wchar_t> BuildEnvironmentBlock(const std::vector<EnvironmentEntry>& variables) {
  std::map<std::wstring, std::pair<std::wstring, std::optional<std::wstring>>> byKey;
  auto put = [&byKey](const std::wstring& name, std::optional<std::wstring> value) {
    byKey[Upper(name)] = {name, std::move(value)};
  };
  for (const wchar_t* name : kInheritedVariables) {
    if (auto value = OwnVariable(name)) put(name, std::move(value));
  }
  for (const std::wstring& name : OwnWineVariableNames()) put(name, OwnVariable(name.c_str()));
  for (const auto& [name, value] : variables) put(name, value);

  std::vector<wchar_t> block;
  for (const auto& [key, entry] : byKey) {
    const auto& [name, value] = entry;
    if (!value) continue;
    block.insert(block.end(), name.begin(), name.end());
    block.push_back(L'=');
    block.insert(block.end(), value->begin(), value->end());
    block.push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

std::string ReadWholeFile(const Path& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open a file to read it back, error " << GetLastError();
    return {};
  }
  std::string bytes;
  char buffer[8192];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void WaitUntilReleased(const Path& path) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    HANDLE alone =
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (alone != INVALID_HANDLE_VALUE) {
      CloseHandle(alone);
      return;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(10);
  }
  ADD_FAILURE() << "the tool's output file is still held open 5 s after it ended";
}

HANDLE OpenInheritable(const Path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void SnapshotInto(const Path& root, const std::wstring& relative, TreeSnapshot* snapshot) {
  const Path folder = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::pair<std::wstring, DWORD>> children;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name == L"." || name == L"..") continue;
    children.emplace_back(entry.cFileName, entry.dwFileAttributes);
  } while (FindNextFileW(find, &entry));
  FindClose(find);

  for (const auto& [name, attributes] : children) {
    const std::wstring childRelative = relative.empty() ? name : relative + L"\\" + name;
    // Ask again rather than trust the listing: Wine's listing does not always
    // flag a link.
    const DWORD current = GetFileAttributesW((root + L"\\" + childRelative).c_str());
    const DWORD flags = current == INVALID_FILE_ATTRIBUTES ? attributes : current;
    if (flags & FILE_ATTRIBUTE_REPARSE_POINT) {
      (*snapshot)[childRelative] = "link";
    } else if (flags & FILE_ATTRIBUTE_DIRECTORY) {
      (*snapshot)[childRelative] = "folder";
      SnapshotInto(root, childRelative, snapshot);
    } else {
      (*snapshot)[childRelative] = "file:" + ReadWholeFile(root + L"\\" + childRelative);
    }
  }
}

constexpr int kStartAttempts = 5;
constexpr DWORD kStartRetryMilliseconds = 250;

}  // namespace

Path VantideToolPath() {
  static const Path tool = [] {
    const std::string_view built(VANTIDE_TOOL_PATH);
    Path path;
    if (!built.empty() && built.front() == '/') path = L"Z:";
    for (const char c : built)
      path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return path;
    // The test programs copied to another machine (built on Linux, run on
    // Windows) carry the tool beside them; the build folder is not there.
    std::wstring own(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size()));
    if (length == 0 || length >= own.size()) return path;
    own.resize(length);
    const std::size_t folder = own.find_last_of(L'\\');
    if (folder == std::wstring::npos) return path;
    Path beside = own.substr(0, folder + 1) + L"vantide-identity.exe";
    return GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES ? beside : path;
  }();
  return tool;
}

ToolOutcome VantideRunTool(const std::vector<EnvironmentEntry>& variables, const std::wstring& arguments,
                           const Path& workingFolder, const Path& captureFolder) {
  std::vector<ToolOutcome> outcomes =
      VantideRunToolsAtOnce(variables, arguments, workingFolder, {captureFolder});
  return outcomes.empty() ? ToolOutcome{} : outcomes.front();
}

std::vector<ToolOutcome> VantideRunToolsAtOnce(const std::vector<EnvironmentEntry>& variables,
                                               const std::wstring& arguments, const Path& workingFolder,
                                               const std::vector<Path>& captureFolders) {
  std::vector<ToolOutcome> outcomes(captureFolders.size());
  const Path tool = VantideToolPath();
  std::wstring commandLine = L"\"" + tool + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  std::vector<wchar_t> environment = BuildEnvironmentBlock(variables);

  struct Started {
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
  };
  std::vector<Started> started;
  bool allStarted = true;
  for (const Path& captureFolder : captureFolders) {
    HANDLE input = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE output = OpenInheritable(captureFolder + L"\\stdout.bin", GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE error = OpenInheritable(captureFolder + L"\\stderr.bin", GENERIC_WRITE, CREATE_ALWAYS);
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE || error == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "cannot prepare the child's standard handles, error " << GetLastError();
      for (HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
      }
      allStarted = false;
      break;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;

    // Suspended, so that no child gets a head start while the next one is
    // still being created. The command line buffer may be written to by the
    // call, hence a copy for each child.
    // Wine on a busy machine now and then refuses to start a process
    // (ERROR_INTERNAL_ERROR, 1359); starting it is not what any test is
    // about, so a refused start is tried again a few times.
    PROCESS_INFORMATION process{};
    BOOL created = FALSE;
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kStartAttempts && !created; ++attempt) {
      if (attempt > 0) Sleep(kStartRetryMilliseconds);
      std::wstring childCommandLine = commandLine;
      created = CreateProcessW(tool.c_str(), childCommandLine.data(), nullptr, nullptr, TRUE,
                               CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED,
                               environment.data(), workingFolder.c_str(), &startup, &process);
      startError = GetLastError();
    }
    // Closed at once: a child created after this one must not inherit this
    // one's output files.
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(error);
    if (!created) {
      ADD_FAILURE() << "cannot start the tool, error " << startError;
      allStarted = false;
      break;
    }
    started.push_back({process.hProcess, process.hThread});
  }

  if (!allStarted) {
    for (const Started& child : started) {
      TerminateProcess(child.process, 0xDEAD);
      WaitForSingleObject(child.process, 10000);
      CloseHandle(child.thread);
      CloseHandle(child.process);
    }
    return outcomes;
  }

  for (const Started& child : started) ResumeThread(child.thread);

  const ULONGLONG deadline = GetTickCount64() + kRunLimitMilliseconds;
  for (std::size_t i = 0; i < started.size(); ++i) {
    const ULONGLONG now = GetTickCount64();
    const auto remaining = static_cast<DWORD>(now < deadline ? deadline - now : 0);
    if (WaitForSingleObject(started[i].process, remaining) == WAIT_OBJECT_0) {
      outcomes[i].finished = GetExitCodeProcess(started[i].process, &outcomes[i].exitCode) != FALSE;
    } else {
      TerminateProcess(started[i].process, 0xDEAD);
      WaitForSingleObject(started[i].process, 10000);
    }
    CloseHandle(started[i].thread);
    CloseHandle(started[i].process);
  }

  // Wine reports the end of a process a moment before the process lets go of
  // its handles; the captured output is complete once nobody else holds it.
  for (std::size_t i = 0; i < captureFolders.size(); ++i) {
    const Path outPath = captureFolders[i] + L"\\stdout.bin";
    const Path errPath = captureFolders[i] + L"\\stderr.bin";
    WaitUntilReleased(outPath);
    WaitUntilReleased(errPath);
    outcomes[i].standardOutput = ReadWholeFile(outPath);
    outcomes[i].standardError = ReadWholeFile(errPath);
  }
  return outcomes;
}

TreeSnapshot VantideSnapshotTree(const Path& root) {
  TreeSnapshot snapshot;
  // Named as written: otherwise "me " at the end of a path would be asked
  // about as "me", and "me.\*" would list "me", so the snapshot would take a
  // link for the plain folder beside it and enter it.
  SnapshotInto(LiteralForm(root), L"", &snapshot);
  return snapshot;
}

}  // namespace van_tide::testing
