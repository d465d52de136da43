// The one door to the operating system. Product code includes this header and
// calls the Win32 API by its own names and types; the Windows build gets the
// real API, the native build gets the in-memory stand-in (tests/standin; tests
// and tools only).
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// ntstatus.h defines the native status codes that windows.h would define
// again.
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <wincrypt.h>
#include <winternl.h>
#else
#include "standin/win32_api.h"
#endif

#include <cstddef>

namespace van_tide::platform {

// A private copy of an environment variable's value, with the contract of the
// C run-time's _wdupenv_s: the name is matched without regard to case; an unset
// variable yields 0 with a null buffer and a count of 0; a set one yields a
// buffer (give it back with FreeEnvCopy) and a count that includes the
// terminating zero, so an empty value has a count of 1. Running out of memory
// yields ENOMEM.
errno_t WideDupEnv(wchar_t** buffer, std::size_t* count, const wchar_t* name);

// Gives back a copy that WideDupEnv made; null is allowed. The copy comes from
// malloc, but releasing it through the same door as it came lets the stand-in
// count copies never given back.
void FreeEnvCopy(wchar_t* copy) noexcept;

// True where the file system behind the API works by path rather than by the
// item a handle holds, as Wine's does: an open may follow a link whatever it
// asks for, and a file marked for deletion goes by the path it was last known
// by. On Windows a handle is the item itself, and this is false.
bool WorksByPath() noexcept;

}  // namespace van_tide::platform
