#include "fs/atomic_file.h"

#include "platform/handles.h"
#include "platform/status.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace van_tide {
namespace {

// The longest name a file system keeps in one folder entry.
constexpr std::size_t kMaxNameLength = 255;

// Renames the open file to `name` in `folder`, never over an existing name.
// It allocates nothing: running out of memory here would leave the temporary
// file behind.
HRESULT RenameWithoutReplacing(HANDLE file, const VantideFolder& folder, std::wstring_view name) {
  if (name.size() > kMaxNameLength) return VantideFailureFromWin32(ERROR_INVALID_NAME);
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  alignas(FILE_RENAME_INFORMATION) std::array<unsigned char, offsetof(FILE_RENAME_INFORMATION, FileName) +
                                                                 (kMaxNameLength + 1) * sizeof(wchar_t)>
      buffer{};
  FILE_RENAME_INFORMATION header{};
  header.ReplaceIfExists = FALSE;
  header.RootDirectory = folder.Handle();
  header.FileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(buffer.data(), &header, offsetof(FILE_RENAME_INFORMATION, FileName));
  std::memcpy(buffer.data() + offsetof(FILE_RENAME_INFORMATION, FileName), name.data(), nameBytes);
  IO_STATUS_BLOCK io{};
  const auto length = static_cast<ULONG>(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes);
  const NTSTATUS status = NtSetInformationFile(file, &io, buffer.data(), length, FileRenameInformation);
  if (status >= 0) return kStatusOk;
  return VantideFailureFromWin32(VantideErrorOfNtStatus(status));
}

// Writes all of `contents` with one call.
HRESULT WriteWhole(HANDLE file, std::string_view contents) {
  if (contents.size() > std::numeric_limits<DWORD>::max())
    return kStatusWriteFault;  // one call cannot take it
  const auto length = static_cast<DWORD>(contents.size());
  DWORD written = 0;
  if (!WriteFile(file, contents.data(), length, &written, nullptr)) return VantideFailureFromLastError();
  return written == length ? kStatusOk : kStatusWriteFault;
}

// Takes the file's name away; it goes when its handle closes. The file is
// ours: the open made it new (FILE_CREATE) and shared it with nobody. On
// Windows the mark is set on the file the handle holds, wherever it stands by
// now, so it always goes. Wine removes a file by the path it was opened or
// renamed by, which a swapped folder could send elsewhere: there it goes only
// while it is still found under `name` in `folder`. Left where it is, it is a
// leftover of ours, never a loss of someone else's.
void Discard(const VantideFolder& folder, std::wstring_view name, HANDLE file, std::wstring* buffer) {
  if (platform::WorksByPath() && VantideCheckFileReached(folder, name, file, buffer) < 0) return;
  FILE_DISPOSITION_INFORMATION disposition{};
  disposition.DoDeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  static_cast<void>(
      NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation));
}

}  // namespace

HRESULT VantideCreateFileAtomically(const VantideFolder& folder, std::wstring_view name,
                                    std::string_view contents) {
  std::wstring temporary;
  temporary.reserve(name.size() + 4);
  temporary.append(name).append(L".tmp");
  // Every check after the file exists reads into this, made now: from the
  // creation on, nothing may raise, or the file would stay behind.
  std::wstring pathOnVolume;
  pathOnVolume.reserve(VantideFileCheckBufferSize(folder, temporary));

  // FILE_CREATE: a temporary file that is already there belongs to another
  // run, finished or not, and is never touched. Share access 0 keeps everyone
  // else out while the contents are incomplete. A link planted at the
  // temporary name exists, so the store is never written through it. DELETE
  // lets the same handle rename the file into place, or take its name away.
  HANDLE opened = nullptr;
  const DWORD openError = VantideOpenRelative(folder, temporary, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                              FILE_NON_DIRECTORY_FILE, &opened);
  if (openError != ERROR_SUCCESS) return VantideFailureFromWin32(openError);
  const VantideFileHandle file(opened);

  // From here on the file is ours, and every failure removes it, under
  // whichever name it has by then. The first failure decides the status.
  //
  // Not a byte goes in before the file is found where it was made: in the
  // folder held, under its name. A share resolves the open by path on the
  // server, and Wine by path here, so a folder swapped meanwhile could have
  // put it anywhere.
  HRESULT status = VantideCheckFileReached(folder, temporary, file.Get(), &pathOnVolume);
  if (status >= 0) status = WriteWhole(file.Get(), contents);
  // On disk before the name appears: a crash after the rename must never
  // leave a store that exists but is incomplete.
  if (status >= 0 && !FlushFileBuffers(file.Get())) status = VantideFailureFromLastError();
  // Judged once more at its name just before the rename: where a rename goes
  // by path (Wine), a folder swapped since the first check would take the
  // file with it.
  if (status >= 0) status = VantideCheckFileReached(folder, temporary, file.Get(), &pathOnVolume);
  // ReplaceIfExists off: a target that appeared meanwhile wins and stays as it
  // is. The rename goes by the two handles, so it lands in the folder we hold
  // whatever its path has become.
  bool renamed = false;
  if (status >= 0) {
    status = RenameWithoutReplacing(file.Get(), folder, name);
    renamed = status >= 0;
  }
  // The new name is on disk before success is reported: the volume commits
  // its log, the rename included, with a flush of the renamed file.
  if (status >= 0 && !FlushFileBuffers(file.Get())) status = VantideFailureFromLastError();
  // Wine renames by path, so the file must be found where it was meant to
  // go: in the folder held, under its name. On Windows it always is.
  if (status >= 0) status = VantideCheckFileReached(folder, name, file.Get(), &pathOnVolume);
  // Should anything fail, the file goes again, under whichever name it has:
  // it was never reported, and a store that a failed run left would be read
  // by every later run as if the migration had succeeded.
  if (status < 0) Discard(folder, renamed ? name : std::wstring_view{temporary}, file.Get(), &pathOnVolume);
  return status;
}

}  // namespace van_tide
