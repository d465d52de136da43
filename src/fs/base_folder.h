#pragma once

#include "fs/path.h"

namespace van_tide {

// The value of the environment variable `name` when it is an absolute path,
// exactly as stored; otherwise the empty path. Raises std::bad_alloc when the
// lookup runs out of memory.
Path VantideGetBaseFolder(const wchar_t* name);

}  // namespace van_tide
