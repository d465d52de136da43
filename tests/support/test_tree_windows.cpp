// The scratch tree on Windows (and under Wine): a fresh folder under the
// temporary folder, with real files, folders and directory links.
#include "support/test_tree.h"

#include "platform/win32.h"
#include "support/host_script.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace van_tide::testing {
namespace {

std::string Narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string Describe(std::wstring_view what, std::wstring_view path, DWORD error) {
  return Narrow(what) + " " + Narrow(path) + " failed with error " + std::to_string(error);
}

DWORD AttributesOf(const Path& path) { return GetFileAttributesW(path.c_str()); }

// Retries while another process still holds the item open: a child that has
// just ended may not have let go of its files and working folder yet (Wine
// signals the end of a process a moment before it closes its handles), and
// on Windows a scanner may hold a new file for a moment.
template <typename Operation>
bool Patiently(Operation operation) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (operation()) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_DIR_NOT_EMPTY) {
      return false;
    }
    Sleep(10);
    SetLastError(error);
  }
  return false;
}

void CreateFolder(const Path& path) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS && (AttributesOf(path) & FILE_ATTRIBUTE_DIRECTORY)) return;
  ADD_FAILURE() << Describe(L"creating the folder", path, error);
}

// Creates every folder from the tree's root down to root\relative.
void CreateFolders(const Path& root, std::wstring_view relative) {
  Path current = root;
  std::size_t start = 0;
  while (start < relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && relative[end] != L'\\' && relative[end] != L'/') ++end;
    if (end > start) {
      current += L'\\';
      current.append(relative.substr(start, end - start));
      CreateFolder(current);
    }
    start = end + 1;
  }
}

std::wstring_view ParentOf(std::wstring_view relative) {
  const std::size_t last = relative.find_last_of(L"\\/");
  return last == std::wstring_view::npos ? std::wstring_view{} : relative.substr(0, last);
}

// Wine's own export that maps a Windows path to the Unix one; absent on Windows.
using WineUnixFileName = char*(__cdecl*)(const wchar_t*);

WineUnixFileName FindWineUnixFileName() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<WineUnixFileName>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
}

std::string UnixPathOf(WineUnixFileName convert, const Path& path) {
  char* unix = convert(path.c_str());
  if (unix == nullptr) return {};
  std::string out(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// The Unix path of an item that may not exist (yet, or any more): its folder's
// Unix path and its own name.
std::string UnixPathOfItem(WineUnixFileName convert, const Path& path) {
  const std::size_t cut = path.find_last_of(L'\\');
  const std::string folder = UnixPathOf(convert, path.substr(0, cut));
  return folder.empty() ? std::string() : folder + "/" + Narrow(path.substr(cut + 1));
}

// Arguments for the command line of a host program: Wine splits it as Windows
// does, so a quote inside an argument is escaped (the texts passed here hold
// no backslash that would need doubling).
std::wstring Quoted(std::string_view argument) {
  std::wstring quoted = L"\"";
  for (const char c : argument) {
    if (c == '"') quoted += L'\\';
    quoted += static_cast<wchar_t>(static_cast<unsigned char>(c));
  }
  return quoted + L"\"";
}

// Starts a host program from /bin with Unix paths as its arguments. A Unix
// child cannot be waited on from the Windows side, so the caller watches for
// its work instead. Wine starts it without a Windows process: the handles it
// hands back are no handles of ours (the thread handle is whatever its stack
// held), so they are never closed; closing one could close a handle that
// happens to have that value, such as the test framework's own.
bool StartHostProgram(const wchar_t* program, const std::vector<std::string>& arguments) {
  std::wstring commandLine = std::wstring(L"Z:\\bin\\") + program;
  for (const std::string& argument : arguments) commandLine += L" " + Quoted(argument);
  const std::wstring executable = std::wstring(L"Z:\\bin\\") + program;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  return CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process) != FALSE;
}

std::atomic<unsigned> markerCounter{0};

Path StartHostScript(WineUnixFileName convert, const Path& markerFolder, const std::string& script,
                     const std::vector<std::string>& arguments) {
  const Path marker = markerFolder + L"\\host-done-" + std::to_wstring(markerCounter.fetch_add(1));
  const std::string markerUnix = UnixPathOfItem(convert, marker);
  if (markerUnix.empty()) return {};
  std::vector<std::string> shell = {
      "-c", script + " && mkdir -- \"${" + std::to_string(arguments.size() + 1) + "}\"", "sh"};
  shell.insert(shell.end(), arguments.begin(), arguments.end());
  shell.push_back(markerUnix);
  return StartHostProgram(L"sh", shell) ? marker : Path();
}

bool RunHostScript(WineUnixFileName convert, const Path& markerFolder, const std::string& script,
                   const std::vector<std::string>& arguments) {
  return AwaitHostScript(StartHostScript(convert, markerFolder, script, arguments), 10000);
}

// Wine makes no links of its own (CreateSymbolicLinkW succeeds without effect),
// but it shows a Unix symbolic link to a folder as a directory link, so the
// host's ln makes one. The target need not exist.
bool MakeUnixLink(WineUnixFileName convert, const Path& link, const Path& target) {
  const std::string linkUnix = UnixPathOfItem(convert, link);
  const std::string targetUnix = UnixPathOfItem(convert, target);
  if (linkUnix.empty() || targetUnix.empty()) return false;
  return RunHostScript(convert, link.substr(0, link.find_last_of(L'\\')), R"(ln -s -- "$1" "$2")",
                       {targetUnix, linkUnix});
}

// Wine cannot delete a Unix symbolic link through the Windows API (and
// DeleteFileW on a link to a file deletes the file); the host's rm removes the
// links themselves, never what they point to.
bool RemoveUnixLinks(WineUnixFileName convert, const Path& markerFolder, const std::vector<Path>& links) {
  std::string script = "rm -f --";
  std::vector<std::string> arguments;
  for (const Path& link : links) {
    arguments.push_back(UnixPathOfItem(convert, link));
    if (arguments.back().empty()) return false;
    script += " \"${" + std::to_string(arguments.size()) + "}\"";
  }
  return RunHostScript(convert, markerFolder, script, arguments);
}

// On Windows without the right to make symbolic links, a junction serves: a
// folder whose mount-point reparse data names the target.
bool MakeJunction(const Path& link, const Path& target) {
  const std::wstring substitute = L"\\??\\" + target;
  const auto substituteBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const auto printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
  // The mount-point layout: tag, data length, reserved, then four offsets and
  // lengths in bytes and the two names, each followed by a zero.
  const std::size_t pathBytes = substituteBytes + sizeof(wchar_t) + printBytes + sizeof(wchar_t);
  const std::size_t dataBytes = 4 * sizeof(WORD) + pathBytes;
  std::vector<unsigned char> buffer(8 + dataBytes, 0);
  auto putWord = [&buffer](std::size_t at, WORD value) {
    buffer[at] = static_cast<unsigned char>(value & 0xFF);
    buffer[at + 1] = static_cast<unsigned char>(value >> 8);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  for (std::size_t i = 0; i < 4; ++i) buffer[i] = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
  putWord(4, static_cast<WORD>(dataBytes));
  putWord(8, 0);
  putWord(10, substituteBytes);
  putWord(12, static_cast<WORD>(substituteBytes + sizeof(wchar_t)));
  putWord(14, printBytes);
  std::memcpy(buffer.data() + 16, substitute.data(), substituteBytes);
  std::memcpy(buffer.data() + 16 + substituteBytes + sizeof(wchar_t), target.data(), printBytes);

  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool made = false;
  if (folder != INVALID_HANDLE_VALUE) {
    DWORD returned = 0;
    made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                           nullptr, 0, &returned, nullptr) != FALSE;
    CloseHandle(folder);
  }
  if (!made) RemoveDirectoryW(link.c_str());
  return made && (AttributesOf(link) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::vector<std::pair<Path, DWORD>> ListFolder(const Path& path) {
  std::vector<std::pair<Path, DWORD>> children;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return children;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name != L"." && name != L"..")
      children.emplace_back(path + L"\\" + entry.cFileName, entry.dwFileAttributes);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return children;
}

bool IsLink(const Path& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool RemoveLink(const Path& path) {
  if (const WineUnixFileName wine = FindWineUnixFileName()) {
    return RemoveUnixLinks(wine, path.substr(0, path.find_last_of(L'\\')), {path});
  }
  return RemoveDirectoryW(path.c_str()) || DeleteFileW(path.c_str());
}

// Removes the links a tree made, each as a link. Under Wine a link to a file
// looks like the file and a dangling one is not seen at all, so only the
// record of what was made tells where they are; on Windows a link a test has
// already removed is passed over.
void RemoveMadeLinks(const Path& root, const std::vector<Path>& links) {
  if (links.empty()) return;
  if (const WineUnixFileName wine = FindWineUnixFileName()) {
    if (!RemoveUnixLinks(wine, root, links)) {
      ADD_FAILURE() << "removing the links of " << Narrow(root) << " failed";
    }
    return;
  }
  for (const Path& link : links) {
    // Literal, as it was made.
    const Path literal = LiteralForm(link);
    if (IsLink(literal) && !RemoveLink(literal)) {
      ADD_FAILURE() << Describe(L"removing the link", link, GetLastError());
    }
  }
}

// Removes every link below `path` first, while their targets still exist:
// Wine no longer lists a Unix link whose target is gone, so it could not be
// removed later.
void RemoveLinks(const Path& path) {
  for (const auto& [child, listed] : ListFolder(path)) {
    if (IsLink(child)) {
      if (!RemoveLink(child)) ADD_FAILURE() << Describe(L"removing the link", child, GetLastError());
    } else if (listed & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveLinks(child);
    }
  }
}

// Removes `path` and everything below it. A link is removed as a link: what it
// points to is never entered, so a link out of the tree cannot make this delete
// anything outside it.
void RemoveTree(const Path& path) {
  const DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveLink(path)) ADD_FAILURE() << Describe(L"removing the link", path, GetLastError());
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!Patiently([&] { return DeleteFileW(path.c_str()) != FALSE; })) {
      ADD_FAILURE() << Describe(L"deleting", path, GetLastError());
    }
    return;
  }
  for (const auto& [child, listed] : ListFolder(path)) RemoveTree(child);
  if (!Patiently([&] { return RemoveDirectoryW(path.c_str()) != FALSE; })) {
    ADD_FAILURE() << Describe(L"removing", path, GetLastError());
  }
}

// Under Wine the host's ln makes either kind (Wine tells them apart by what
// the link points to); on Windows a symbolic link, or for a folder a junction
// where this account may not make symbolic links. On Windows the link is named
// through the literal form, so that a name Windows would otherwise rewrite
// ("x ", "x.") is made as written beside the plain "x".
bool MakeLink(const Path& link, const Path& target, bool folder) {
  if (const WineUnixFileName convert = FindWineUnixFileName()) return MakeUnixLink(convert, link, target);
  const Path literal = LiteralForm(link);
  const DWORD kind = folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  if (CreateSymbolicLinkW(literal.c_str(), target.c_str(),
                          kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    return IsLink(literal);
  }
  return folder && MakeJunction(literal, target);
}

// A machine known to make links (a Windows runner that is an administrator)
// sets VANTIDE_TEST_LINKS_REQUIRED=1: there a link that cannot be made fails
// the test, so that no link case passes there by skipping itself.
bool LinksRequired() {
  static const bool required = [] {
    wchar_t value[2] = {};
    return GetEnvironmentVariableW(L"VANTIDE_TEST_LINKS_REQUIRED", value, 2) == 1 && value[0] == L'1';
  }();
  return required;
}

bool MadeLink(const Path& link, const Path& target, bool folder) {
  if (MakeLink(link, target, folder)) return true;
  const DWORD error = GetLastError();
  if (LinksRequired()) {
    ADD_FAILURE() << Describe(folder ? L"making the folder link" : L"making the file link", link, error)
                  << " where links are required";
  }
  return false;
}

std::atomic<unsigned> treeCounter{0};

}  // namespace

TestTree::TestTree() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    ADD_FAILURE() << "GetTempPathW failed with error " << GetLastError();
    return;
  }
  Path base(temp, length);
  while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();

  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = L"vantide-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(treeCounter.fetch_add(1)) + L"-" +
                              std::to_wstring(GetTickCount64() % 1000000);
    Path candidate = base + L"\\" + name;
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      root_ = std::move(candidate);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << Describe(L"creating the scratch folder", candidate, GetLastError());
      return;
    }
  }
  ADD_FAILURE() << "no free name for a scratch folder under " << Narrow(base);
}

TestTree::~TestTree() {
  if (root_.empty()) return;
  // The process may not stay in a folder that is to be removed.
  if (!previousFolder_.empty()) SetCurrentDirectoryW(previousFolder_.c_str());
  RemoveMadeLinks(root_, links_);
  // Through the literal form, so that names only a literal path can make
  // (with a trailing period or space) are reached as they are.
  const Path literalRoot = LiteralForm(root_);
  RemoveLinks(literalRoot);
  RemoveTree(literalRoot);
}

Path TestTree::PathOf(std::wstring_view relative) const {
  Path path = root_;
  path += L'\\';
  path.append(relative);
  return path;
}

void TestTree::MakeDirectory(std::wstring_view relative) { CreateFolders(root_, relative); }

void TestTree::WriteFile(std::wstring_view relative, std::string_view bytes) {
  CreateFolders(root_, ParentOf(relative));
  const Path path = PathOf(relative);
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << Describe(L"creating", path, GetLastError());
    return;
  }
  DWORD written = 0;
  const auto size = static_cast<DWORD>(bytes.size());
  if (!::WriteFile(file, bytes.data(), size, &written, nullptr) || written != size) {
    ADD_FAILURE() << Describe(L"writing", path, GetLastError());
  }
  CloseHandle(file);
}

bool TestTree::MakeDirectoryLink(std::wstring_view relative, std::wstring_view targetRelative) {
  CreateFolders(root_, ParentOf(relative));
  const Path link = PathOf(relative);
  if (!MadeLink(link, PathOf(targetRelative), true)) return false;
  links_.push_back(link);
  return true;
}

bool TestTree::MakeFileLink(std::wstring_view relative, std::wstring_view targetRelative) {
  CreateFolders(root_, ParentOf(relative));
  const Path link = PathOf(relative);
  if (!MadeLink(link, PathOf(targetRelative), false)) return false;
  links_.push_back(link);
  return true;
}

void TestTree::SetCurrentFolder(std::wstring_view relative) {
  if (previousFolder_.empty()) {
    wchar_t current[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, current);
    if (length == 0 || length > MAX_PATH) {
      ADD_FAILURE() << "GetCurrentDirectoryW failed with error " << GetLastError();
      return;
    }
    previousFolder_.assign(current, length);
  }
  const Path path = PathOf(relative);
  if (!SetCurrentDirectoryW(path.c_str())) ADD_FAILURE() << Describe(L"entering", path, GetLastError());
}

bool TestTree::Exists(std::wstring_view relative) const {
  return AttributesOf(PathOf(relative)) != INVALID_FILE_ATTRIBUTES;
}

bool TestTree::IsDirectory(std::wstring_view relative) const {
  const DWORD attributes = AttributesOf(PathOf(relative));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string TestTree::ReadFile(std::wstring_view relative) const {
  const Path path = PathOf(relative);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void TestTree::SetEnvironment(const wchar_t* name, const wchar_t* value) {
  // The mingw build reads the process environment block
  // (GetEnvironmentVariableW), so write exactly there.
  if (!SetEnvironmentVariableW(name, value)) {
    ADD_FAILURE() << Describe(L"setting the variable", name, GetLastError());
  }
#if defined(_MSC_VER)
  // The MSVC build reads the C run-time's own copy (_wdupenv_s), which the
  // call above does not reach. The run-time cannot hold an empty value: there
  // an empty value reads as unset, which the tool treats alike.
  _wputenv_s(name, value == nullptr ? L"" : value);
#endif
}

wchar_t TestTree::FreeDriveLetter() {
  const DWORD drives = GetLogicalDrives();
  // Letters far from the usual ones first.
  for (const wchar_t letter : std::wstring_view(L"QRSTUVWXYJKLMNOPHIGFED")) {
    if ((drives & (1U << (letter - L'A'))) == 0) return letter;
  }
  ADD_FAILURE() << "every drive letter is taken";
  return L'Q';
}

std::size_t TestTree::OutstandingEnvCopies() { return 0; }

std::string HostPathOf(const Path& item) {
  const WineUnixFileName convert = FindWineUnixFileName();
  return convert == nullptr ? std::string() : UnixPathOfItem(convert, item);
}

Path StartHostScript(const Path& markerFolder, const std::string& script,
                     const std::vector<std::string>& arguments) {
  const WineUnixFileName convert = FindWineUnixFileName();
  return convert == nullptr ? Path() : StartHostScript(convert, markerFolder, script, arguments);
}

bool AwaitHostScript(const Path& marker, DWORD limitMilliseconds) {
  if (marker.empty()) return false;
  const ULONGLONG deadline = GetTickCount64() + limitMilliseconds;
  for (;;) {
    if (AttributesOf(marker) != INVALID_FILE_ATTRIBUTES) return RemoveDirectoryW(marker.c_str()) != FALSE;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

bool RunHostScript(const Path& markerFolder, const std::string& script,
                   const std::vector<std::string>& arguments) {
  const WineUnixFileName convert = FindWineUnixFileName();
  return convert != nullptr && RunHostScript(convert, markerFolder, script, arguments);
}

bool TestTree::UnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace van_tide::testing
