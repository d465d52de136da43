// A user's machine for migration tests on the stand-in: the two application
// data folders, legacy identity files where the plug-in keeps them, and what
// a test needs to judge the disk afterwards.
#pragma once

#include "legacy/legacy_test_files.h"
#include "platform/status.h"
#include "platform/win32.h"
#include "standin/standin.h"
#include "support/open_folder.h"
#include "store/protected_identity.h"

#include <map>
#include <string>
#include <string_view>

namespace van_tide::testing {

inline constexpr wchar_t kMachineRoaming[] = L"C:\\Users\\me\\AppData\\Roaming";
inline constexpr wchar_t kMachineLocal[] = L"C:\\Users\\me\\AppData\\Local";
inline constexpr wchar_t kMachineStoreFolder[] = L"C:\\Users\\me\\AppData\\Roaming\\Vantide";
inline constexpr wchar_t kMachineStore[] = L"C:\\Users\\me\\AppData\\Roaming\\Vantide\\license-device.dat";
inline constexpr wchar_t kMachineTemporary[] =
    L"C:\\Users\\me\\AppData\\Roaming\\Vantide\\license-device.dat.tmp";

enum class LegacyPlace { kPluginData, kDataFolder };

// A legacy file's path as the scan forms it (the fixed pieces keep their
// slashes).
inline std::wstring LegacyPath(std::wstring_view base, std::wstring_view entry, LegacyPlace place) {
  std::wstring path(base);
  path.append(L"\\Adobe/UXP/PluginsStorage/PHSP\\")
      .append(entry)
      .append(L"\\External/com.greywick.van-tide\\");
  path.append(place == LegacyPlace::kPluginData ? L"PluginData/license-device.json" : L"license-device.json");
  return path;
}

inline void PlantLegacyFile(std::wstring_view base, std::wstring_view entry, LegacyPlace place,
                            std::string_view token) {
  standin::AddFile(LegacyPath(base, entry, place), LegacyFile(token));
}

// The same token in both places of one entry under each base folder.
inline void PlantLegacyFilesEverywhere(std::string_view token) {
  for (const wchar_t* base : {kMachineRoaming, kMachineLocal}) {
    const wchar_t* entry = base == kMachineRoaming ? L"a" : L"b";
    PlantLegacyFile(base, entry, LegacyPlace::kPluginData, token);
    PlantLegacyFile(base, entry, LegacyPlace::kDataFolder, token);
  }
}

// Both variables set to folders that exist.
inline void SetUpProfile() {
  standin::SetEnvironmentVariable(L"APPDATA", kMachineRoaming);
  standin::SetEnvironmentVariable(L"LOCALAPPDATA", kMachineLocal);
  standin::AddDirectory(kMachineRoaming);
  standin::AddDirectory(kMachineLocal);
}

// Every file and folder below `folder` (links are not expected here): the
// path mapped to "<dir>" or the file's bytes.
using DiskSnapshot = std::map<std::wstring, std::string>;

inline void SnapshotInto(const std::wstring& folder, DiskSnapshot* snapshot) {
  for (const std::wstring& name : standin::ListNames(folder)) {
    const std::wstring path = folder + L"\\" + name;
    if (standin::IsDirectory(path)) {
      (*snapshot)[path] = "<dir>";
      SnapshotInto(path, snapshot);
    } else {
      (*snapshot)[path] = standin::FileContents(path);
    }
  }
}

inline DiskSnapshot SnapshotDisk() {
  DiskSnapshot snapshot;
  SnapshotInto(L"C:", &snapshot);
  return snapshot;
}

// The token a store file unseals to for the current user, or a description of
// why it does not. Reads outside the call record's concerns: the caller clears
// the record afterwards if it matters.
inline std::string UnsealedStore(const std::wstring& store = kMachineStore) {
  if (!standin::Exists(store)) return "<absent>";
  std::string token;
  bool missing = false;
  const FileInFolder place = OpenFolderOf(store);
  const HRESULT status = VantideReadProtectedIdentity(place.folder, place.name, &token, &missing);
  if (status != kStatusOk) return "<unreadable " + std::to_string(static_cast<unsigned>(status)) + ">";
  return token;
}

inline std::string Narrow(std::wstring_view text) {
  std::string narrow;
  for (wchar_t c : text) narrow.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

}  // namespace van_tide::testing
