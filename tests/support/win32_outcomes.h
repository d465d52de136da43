// What a Win32 call reported, as values a table of cases can compare and
// gtest can print: the platform suite and the stand-in's own tests read calls
// the same way.
#pragma once

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

namespace van_tide::testing::win32 {

inline constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
inline constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
inline constexpr DWORD kLink = FILE_ATTRIBUTE_REPARSE_POINT;
// The attributes the cases are about. Windows gives a drive's root hidden and
// system too, and a machine may add others (not content indexed, say).
inline constexpr DWORD kTold = kDir | kFile | kLink;
// Set before a call, to see whether the call set the last error.
inline constexpr DWORD kPlanted = 0xDEADU;

inline std::string Shown(std::wstring_view text) { return ::testing::PrintToString(std::wstring(text)); }

// What an attribute query reports: the attributes, or the error it failed with.
struct Outcome {
  DWORD attributes;
  DWORD error;
  bool operator==(const Outcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "{attributes 0x" << std::hex << outcome.attributes << ", error " << std::dec << outcome.error
             << "}";
}

inline Outcome Attributes(const std::wstring& path) {
  SetLastError(kPlanted);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {attributes, GetLastError()};
  return {attributes & kTold, 0};
}
inline Outcome Is(DWORD attributes) { return {attributes, 0}; }
inline Outcome Fails(DWORD error) { return {INVALID_FILE_ATTRIBUTES, error}; }

// What a call that returns a BOOL reports: success, or the error it failed with.
struct Result {
  bool ok;
  DWORD error;
  bool operator==(const Result&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Result& result) {
  return result.ok ? out << "success" : out << "failure with error " << result.error;
}

inline Result Report(BOOL ok) { return ok ? Result{true, 0} : Result{false, GetLastError()}; }
inline constexpr Result kDone{true, 0};
inline Result Refused(DWORD error) { return {false, error}; }
// What an open reports: success, or the error it failed with.
inline Result Opened(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? Refused(GetLastError()) : kDone;
}

inline HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Up to 100 bytes from the file's position.
inline std::string ReadAll(HANDLE file) {
  std::string bytes(100, '\0');
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr));
  bytes.resize(read);
  return bytes;
}

// Seals `plain` for the current user; the blob is copied out and the
// service's buffer released.
inline std::string Seal(std::string plain, DATA_BLOB* entropy = nullptr) {
  DATA_BLOB in{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(plain.data())};
  DATA_BLOB out{0, nullptr};
  EXPECT_TRUE(CryptProtectData(&in, L"Vantide license device", entropy, nullptr, nullptr,
                               CRYPTPROTECT_UI_FORBIDDEN, &out));
  std::string blob(reinterpret_cast<const char*>(out.pbData), out.cbData);
  EXPECT_EQ(LocalFree(out.pbData), nullptr);
  return blob;
}

// Unseals; on failure returns the last error and leaves `plain` alone.
inline DWORD Unseal(std::string blob, std::string* plain, DATA_BLOB* entropy = nullptr) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
  DATA_BLOB out{0, nullptr};
  SetLastError(kPlanted);
  if (!CryptUnprotectData(&in, nullptr, entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    EXPECT_EQ(out.pbData, nullptr);
    return GetLastError();
  }
  plain->assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  EXPECT_EQ(LocalFree(out.pbData), nullptr);
  return 0;
}

}  // namespace van_tide::testing::win32
