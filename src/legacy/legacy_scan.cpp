#include "legacy/legacy_scan.h"

#include "fs/base_folder.h"
#include "fs/directory_chain.h"
#include "fs/path.h"
#include "legacy/legacy_identity_file.h"
#include "platform/status.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

namespace van_tide {
namespace {

// The host keeps one folder per plug-in installation in its storage folder;
// ours holds the identity in one of two places. The slashes are kept as the
// host writes them; the file API treats both separators alike.
constexpr wchar_t kHostStorageFolder[] = L"Adobe/UXP/PluginsStorage/PHSP";
constexpr wchar_t kPluginDataFolder[] = L"External/com.greywick.van-tide";
constexpr const wchar_t* kCandidates[] = {L"PluginData/license-device.json", L"license-device.json"};

// A failed listing call whose last error reads 0 did fail all the same; an
// error code of 0 would read as success. E_FAIL maps to itself (negative
// values pass unchanged), so resolution reports 0x80004005, as for every other
// failed call that gives no reason.
[[noreturn]] void RaiseListingError(DWORD error) {
  const int code =
      error == ERROR_SUCCESS ? static_cast<int>(kStatusFailedWithoutReason) : static_cast<int>(error);
  throw std::filesystem::filesystem_error("cannot list the plug-in storage folder",
                                          std::error_code(code, std::system_category()));
}

// One level of a folder, in the platform's order, without "." and "..". The
// find handle is closed on every way out, a raised error included.
class FolderListing {
 public:
  explicit FolderListing(const Path& folder) {
    const Path pattern = VantideJoinPath(folder, L"*");
    handle_ = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data_, FindExSearchNameMatch, nullptr, 0);
    if (handle_ == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // Nothing matched: an empty listing, not a failure.
      if (error != ERROR_FILE_NOT_FOUND) RaiseListingError(error);
      return;
    }
    holdsUnreadEntry_ = true;
  }
  ~FolderListing() { Close(); }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // The next entry's name and the attributes the listing reported for it;
  // false once the listing is exhausted.
  bool Next(Path* name, DWORD* attributes) {
    for (;;) {
      if (!holdsUnreadEntry_) {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        if (!FindNextFileW(handle_, &data_)) {
          const DWORD error = GetLastError();
          if (error != ERROR_NO_MORE_FILES) RaiseListingError(error);
          Close();
          return false;
        }
      }
      holdsUnreadEntry_ = false;
      // The name is NUL-terminated inside its fixed array; never read past it.
      const wchar_t* const first = std::cbegin(data_.cFileName);
      const wchar_t* const end = std::find(first, std::cend(data_.cFileName), L'\0');
      const std::wstring_view entry(first, static_cast<std::size_t>(end - first));
      if (entry == L"." || entry == L"..") continue;
      name->assign(entry);
      *attributes = data_.dwFileAttributes;
      return true;
    }
  }

 private:
  void Close() noexcept {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data_{};
  bool holdsUnreadEntry_ = false;
};

// Reads both candidates of one plug-in folder into the agreement so far.
HRESULT ReadCandidates(const Path& pluginFolder, std::string* token) {
  // Both places are always read: a token in the first does not excuse a
  // broken or different one in the second.
  for (const wchar_t* candidate : kCandidates) {
    std::string found;
    bool missing = false;
    const HRESULT status =
        VantideReadLegacyIdentityFile(VantideJoinPath(pluginFolder, candidate), &found, &missing);
    if (missing) continue;
    if (status < 0) return status;
    // A token is never empty, so a non-empty agreement means a file was found
    // before. Tokens are opaque: a difference of case is a different token.
    if (!token->empty() && *token != found) return kStatusDuplicateName;
    *token = std::move(found);
  }
  return kStatusOk;
}

HRESULT ScanBaseFolder(const Path& baseFolder, std::string* token) {
  const Path storageFolder = VantideJoinPath(baseFolder, kHostStorageFolder);
  bool missing = false;
  const HRESULT chainStatus = VantideCheckDirectoryChain(storageFolder, &missing);
  // The host was never installed here: nothing to find under this base.
  if (missing) return kStatusOk;
  if (chainStatus < 0) return chainStatus;

  FolderListing listing(storageFolder);
  Path name;
  DWORD listed = 0;
  while (listing.Next(&name, &listed)) {
    // The listing reports the entry under its exact name, which no path
    // rewriting touches, so it is trusted first. A junction or directory link
    // could lead anywhere; refuse rather than follow it, even when nothing of
    // ours lies behind it.
    if ((listed & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;
    // A path through "x " or "CON" would be asked about, or opened, as some
    // other object than the folder listed; such a folder is never the host's.
    if (!VantideIsNameReadAsWritten(name)) return kStatusInvalidName;

    const Path entry = VantideJoinPath(storageFolder, name);
    // Asked again of the entry itself, so a folder replaced by a link since it
    // was listed is seen as a link. An entry that vanished since it was listed
    // fails the scan like any other lookup.
    const DWORD attributes = GetFileAttributesW(entry.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return VantideFailureFromLastError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;

    const HRESULT status = ReadCandidates(VantideJoinPath(entry, kPluginDataFolder), token);
    if (status < 0) return status;
  }
  return kStatusOk;
}

HRESULT ScanBothBaseFolders(const Path& roamingFolder, std::string* token) {
  // Both folders must be usable before anything is read, so that a missing
  // local folder cannot hide a conflicting identity stored there.
  const Path localFolder = VantideGetBaseFolder(L"LOCALAPPDATA");
  if (localFolder.empty()) return kStatusEnvironmentVariableNotFound;
  // A relative folder would be searched below whatever the current folder
  // happens to be.
  if (!VantideIsAbsolutePath(roamingFolder)) return kStatusEnvironmentVariableNotFound;

  for (const Path* baseFolder : {&roamingFolder, &localFolder}) {
    const HRESULT status = ScanBaseFolder(*baseFolder, token);
    if (status < 0) return status;
  }
  return kStatusOk;
}

}  // namespace

HRESULT VantideScanLegacyIdentities(const Path& roamingFolder, std::string* token) {
  if (token == nullptr) return VantideFailureFromWin32(ERROR_INVALID_PARAMETER);
  const HRESULT status = ScanBothBaseFolders(roamingFolder, token);
  // A token agreed before a failure was never checked against the rest:
  // nobody may take it for the answer.
  if (status < 0) token->clear();
  return status;
}

}  // namespace van_tide
