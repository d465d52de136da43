// Checks for the fuzz targets. A broken law must stop the run as a crash, so
// that libFuzzer keeps the input; a sanitizer build may drop assert(), so this
// traps on its own.
#pragma once

#include <cstdint>
#include <cstdio>

#define VANTIDE_FUZZ_CHECK(condition)                                                  \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: law broken: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                                \
    }                                                                                  \
  } while (false)

// The same, naming the status that broke it.
#define VANTIDE_FUZZ_CHECK_STATUS(condition, status)                                                  \
  do {                                                                                                \
    if (!(condition)) {                                                                               \
      std::fprintf(stderr, "%s:%d: law broken: %s (status 0x%08x)\n", __FILE__, __LINE__, #condition, \
                   static_cast<unsigned>(static_cast<std::uint32_t>(status)));                        \
      __builtin_trap();                                                                               \
    }                                                                                                 \
  } while (false)
