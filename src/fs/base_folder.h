#pragma once

#include "fs/path.h"

namespace van_tide {

// The value of the environment variable `name` when it is an absolute path
// that a walk down its folders reads as the file system does (no "." or ".."
// member; behind a device prefix only a drive or a share), exactly as stored;
// otherwise the empty path. Raises std::bad_alloc when the
// lookup runs out of memory.
Path VantideGetBaseFolder(const wchar_t* name);

}  // namespace van_tide
