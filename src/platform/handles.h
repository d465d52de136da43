// Owners that give back what the platform handed out, on every way out.
#pragma once

#include "platform/win32.h"

namespace van_tide {

// Closes a file handle when the scope ends; the outcome of the close is
// ignored, since by then the caller's result is already fixed.
class VantideFileHandle {
 public:
  explicit VantideFileHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~VantideFileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
  }
  VantideFileHandle(const VantideFileHandle&) = delete;
  VantideFileHandle& operator=(const VantideFileHandle&) = delete;

  HANDLE Get() const noexcept { return handle_; }

 private:
  HANDLE handle_;
};

// Releases a buffer that the data-protection service allocated.
class VantideLocalBuffer {
 public:
  explicit VantideLocalBuffer(void* buffer) noexcept : buffer_(buffer) {}
  ~VantideLocalBuffer() { LocalFree(static_cast<HLOCAL>(buffer_)); }
  VantideLocalBuffer(const VantideLocalBuffer&) = delete;
  VantideLocalBuffer& operator=(const VantideLocalBuffer&) = delete;

 private:
  void* buffer_;
};

}  // namespace van_tide
