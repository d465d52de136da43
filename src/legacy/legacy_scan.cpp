#include "legacy/legacy_scan.h"

#include "fs/base_folder.h"
#include "fs/folder_walk.h"
#include "fs/path.h"
#include "legacy/legacy_identity_file.h"
#include "platform/status.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace van_tide {
namespace {

// The host keeps one folder per plug-in installation in its storage folder;
// ours holds the identity in one of two places, each a folder below the
// plug-in's own folder (none: that folder itself) and a file in it.
constexpr wchar_t kHostStorageFolder[] = L"Adobe/UXP/PluginsStorage/PHSP";
constexpr wchar_t kPluginDataFolder[] = L"External/com.greywick.van-tide";
struct Candidate {
  const wchar_t* folder;
  const wchar_t* file;
};
constexpr Candidate kCandidates[] = {{L"PluginData", L"license-device.json"}, {L"", L"license-device.json"}};

// Room for a few entries of the longest names a file system gives.
constexpr std::size_t kListingBufferBytes = std::size_t{16} * 1024;

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

// One level of a folder held open, listed through its handle, in the file
// system's order, without "." and "..".
class FolderListing {
 public:
  explicit FolderListing(const VantideFolder& folder)
      : folder_(folder), buffer_(kListingBufferBytes / sizeof(std::uint64_t)) {}

  // The next entry's name, and the attributes and file index the listing
  // reported for it; false once the listing is exhausted.
  bool Next(Path* name, DWORD* attributes, std::uint64_t* fileId) {
    for (;;) {
      if (next_ == kNoEntry) {
        if (exhausted_ || !Fetch()) return false;
      }
      const auto* bytes = reinterpret_cast<const unsigned char*>(buffer_.data());
      const std::size_t at = next_;
      FILE_ID_BOTH_DIR_INFO header{};
      std::memcpy(&header, bytes + at, offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
      const std::size_t nameBegin = at + offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
      const std::size_t nameLength = header.FileNameLength / sizeof(wchar_t);
      const std::size_t following = at + header.NextEntryOffset;
      // The entries chain forward through the buffer; one that would reach
      // past it is never read.
      if (nameBegin + nameLength * sizeof(wchar_t) > BufferBytes() ||
          (header.NextEntryOffset != 0 &&
           following + offsetof(FILE_ID_BOTH_DIR_INFO, FileName) > BufferBytes())) {
        RaiseListingError(ERROR_INVALID_DATA);
      }
      next_ = header.NextEntryOffset == 0 ? kNoEntry : following;

      name->resize(nameLength);
      std::memcpy(name->data(), bytes + nameBegin, nameLength * sizeof(wchar_t));
      if (*name == L"." || *name == L"..") continue;
      *attributes = header.FileAttributes;
      *fileId = static_cast<std::uint64_t>(header.FileId.QuadPart);
      return true;
    }
  }

 private:
  static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);

  [[nodiscard]] std::size_t BufferBytes() const noexcept { return buffer_.size() * sizeof(std::uint64_t); }

  bool Fetch() {
    if (!GetFileInformationByHandleEx(folder_.Handle(), FileIdBothDirectoryInfo, buffer_.data(),
                                      static_cast<DWORD>(BufferBytes()))) {
      const DWORD error = GetLastError();
      // The end, or (on the first call) a folder with nothing in it at all.
      if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) RaiseListingError(error);
      exhausted_ = true;
      return false;
    }
    next_ = 0;
    return true;
  }

  const VantideFolder& folder_;
  std::vector<std::uint64_t> buffer_;  // 8-byte entries need 8-byte alignment
  std::size_t next_ = kNoEntry;
  bool exhausted_ = false;
};

// Reads both candidates of one plug-in folder into the agreement so far.
HRESULT ReadCandidates(const VantideFolder& pluginFolder, std::string* token) {
  // Both places are always read: a token in the first does not excuse a
  // broken or different one in the second.
  for (const Candidate& candidate : kCandidates) {
    VantideFolder below;
    bool missing = false;
    if (*candidate.folder != L'\0') {
      const HRESULT status = VantideOpenFolderBelow(pluginFolder, candidate.folder, &below, &missing);
      if (missing) continue;
      if (status < 0) return status;
    }
    const VantideFolder& folder = below.IsOpen() ? below : pluginFolder;
    std::string found;
    const HRESULT status = VantideReadLegacyIdentityFile(folder, candidate.file, &found, &missing);
    if (missing) continue;
    if (status < 0) return status;
    // A token is never empty, so a non-empty agreement means a file was found
    // before. Tokens are opaque: a difference of case is a different token.
    if (!token->empty() && *token != found) return kStatusDuplicateName;
    *token = std::move(found);
  }
  return kStatusOk;
}

HRESULT ScanBaseFolder(const VantideFolder& baseFolder, std::string* token) {
  VantideFolder storage;
  bool missing = false;
  const HRESULT storageStatus = VantideOpenFolderBelow(baseFolder, kHostStorageFolder, &storage, &missing);
  // The host was never installed here: nothing to find under this base.
  if (missing) return kStatusOk;
  if (storageStatus < 0) return storageStatus;

  FolderListing listing(storage);
  Path name;
  DWORD listed = 0;
  std::uint64_t listedId = 0;
  while (listing.Next(&name, &listed, &listedId)) {
    // A junction or directory link could lead anywhere; refuse rather than
    // follow it, even when nothing of ours lies behind it.
    if ((listed & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kStatusCantAccessFile;
    // Listed names are single entries; one that holds a separator or a
    // stream's colon could only have come from a file system that reads
    // names otherwise, and would be opened as something else.
    if (name.find_first_of(L"\\/:") != Path::npos) return kStatusInvalidName;

    // Opened and judged by its own handle, held to the identity the listing
    // gave it: a folder replaced by a link, or by anything else, since it was
    // listed is refused; one that vanished fails the scan like any other
    // open.
    VantideFolder entry;
    HRESULT status = VantideOpenListedFolder(storage, name, listedId, &entry, &missing);
    if (status < 0) return status;

    VantideFolder pluginFolder;
    missing = false;
    status = VantideOpenFolderBelow(entry, kPluginDataFolder, &pluginFolder, &missing);
    if (missing) continue;
    if (status < 0) return status;
    status = ReadCandidates(pluginFolder, token);
    if (status < 0) return status;
  }
  return kStatusOk;
}

HRESULT ScanBothBaseFolders(const VantideFolder* roamingFolder, std::string* token) {
  // Both folders must be usable before anything is read, so that a missing
  // local folder cannot hide a conflicting identity stored there.
  const Path localPath = VantideGetBaseFolder(L"LOCALAPPDATA");
  if (localPath.empty()) return kStatusEnvironmentVariableNotFound;

  if (roamingFolder != nullptr) {
    const HRESULT status = ScanBaseFolder(*roamingFolder, token);
    if (status < 0) return status;
  }
  VantideFolder localFolder;
  bool missing = false;
  const HRESULT localStatus = VantideOpenFolderPath(localPath, &localFolder, &missing);
  if (missing) return kStatusOk;
  if (localStatus < 0) return localStatus;
  return ScanBaseFolder(localFolder, token);
}

}  // namespace

HRESULT VantideScanLegacyIdentities(const VantideFolder* roamingFolder, std::string* token) {
  if (token == nullptr) return VantideFailureFromWin32(ERROR_INVALID_PARAMETER);
  const HRESULT status = ScanBothBaseFolders(roamingFolder, token);
  // A token agreed before a failure was never checked against the rest:
  // nobody may take it for the answer.
  if (status < 0) token->clear();
  return status;
}

}  // namespace van_tide
