// Creation of a new file that is never seen half-written and never replaces
// an existing one: written beside the target under "<target>.tmp", flushed to
// disk, then moved to the target name by a move that refuses to replace.
#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <string_view>

namespace van_tide {

// Creates every missing folder of `dir`, from the top down, and answers 0 when
// the deepest folder exists as a folder in the end (whatever failed above it),
// else a Win32 error code. The root, and behind a device prefix the drive or
// the share, is never attempted. Existing links on the way are not refused:
// callers check the chain before they decide to create.
DWORD VantideCreateDirectoryChain(const Path& dir);

// Creates `path` with exactly `contents`, atomically: 0 when the target now
// exists with these bytes; otherwise the status of the first failure, the
// target untouched and the temporary file removed again (unless it could not
// be created, in which case whatever blocked it is left alone). Contents of
// 4 GiB or more fail with 0x8007001D.
HRESULT VantideCreateFileAtomically(const Path& path, std::string_view contents);

}  // namespace van_tide
