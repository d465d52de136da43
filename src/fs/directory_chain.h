#pragma once

#include "fs/path.h"
#include "platform/win32.h"

namespace van_tide {

// Walks the folders of `dir` from the top down and refuses the chain when an
// existing member is a reparse point (0x80070780) or not a folder (0x8007010B).
// When an attribute query fails, `*missing` tells whether the member does not
// exist (errors 2 and 3); it is not written otherwise. A chain with a member
// that Windows would not read as written (VantideIsNameReadAsWritten) is
// refused before anything is asked (0x8007007B).
HRESULT VantideCheckDirectoryChain(const Path& dir, bool* missing);

}  // namespace van_tide
