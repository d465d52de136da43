// Statuses are HRESULTs: negative is failure, every non-negative value success.
#pragma once

#include "platform/win32.h"

#include <cstdint>

namespace van_tide {

inline constexpr HRESULT kStatusOk = 0;
inline constexpr HRESULT kStatusOutOfMemory = static_cast<HRESULT>(0x8007000EU);
inline constexpr HRESULT kStatusInvalidData = static_cast<HRESULT>(0x8007000DU);
inline constexpr HRESULT kStatusCantAccessFile = static_cast<HRESULT>(0x80070780U);
inline constexpr HRESULT kStatusNotADirectory = static_cast<HRESULT>(0x8007010BU);
inline constexpr HRESULT kStatusEnvironmentVariableNotFound = static_cast<HRESULT>(0x800700CBU);
inline constexpr HRESULT kStatusDuplicateName = static_cast<HRESULT>(0x80070034U);
inline constexpr HRESULT kStatusFileTooLarge = static_cast<HRESULT>(0x800700DFU);
inline constexpr HRESULT kStatusHandleEof = static_cast<HRESULT>(0x80070026U);
inline constexpr HRESULT kStatusWriteFault = static_cast<HRESULT>(0x8007001DU);
inline constexpr HRESULT kStatusInvalidName = static_cast<HRESULT>(0x8007007BU);

// What a failed platform call reports when its last error reads 0. The call did
// fail, so the status must stay negative; E_FAIL says "failed, reason unknown"
// without inventing a Win32 code the platform never gave.
inline constexpr HRESULT kStatusFailedWithoutReason = static_cast<HRESULT>(0x80004005U);

// A positive Win32 code c becomes 0x80070000 | (c & 0xFFFF); 0 and values that
// already read as negative results pass unchanged.
constexpr HRESULT VantideStatusFromWin32(std::uint32_t code) noexcept {
  const auto asResult = static_cast<HRESULT>(code);
  if (asResult <= 0) return asResult;
  return static_cast<HRESULT>(0x80070000U | (code & 0xFFFFU));
}

// The status of a platform call that reported failure with this error code:
// always negative.
constexpr HRESULT VantideFailureFromWin32(std::uint32_t code) noexcept {
  const HRESULT status = VantideStatusFromWin32(code);
  return status < 0 ? status : kStatusFailedWithoutReason;
}

// The Win32 error of a failed native call. A file marked for deletion reads
// as ERROR_ACCESS_DENIED through the system's own mapping, which sends a user
// after permissions that are fine; ERROR_DELETE_PENDING says what it is.
inline std::uint32_t VantideErrorOfNtStatus(NTSTATUS status) noexcept {
  if (status == STATUS_DELETE_PENDING) return ERROR_DELETE_PENDING;
  return RtlNtStatusToDosError(status);
}

// Read the thread's last error at once after a failed call and turn it into a
// negative status.
inline HRESULT VantideFailureFromLastError() noexcept {
  return VantideFailureFromWin32(static_cast<std::uint32_t>(GetLastError()));
}

}  // namespace van_tide
