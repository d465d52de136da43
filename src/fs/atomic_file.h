// Creation of a new file that is never seen half-written and never replaces
// an existing one: written beside the target under "<target>.tmp", flushed to
// disk, then renamed to the target name by a rename that refuses to replace.
#pragma once

#include "fs/folder_walk.h"
#include "platform/win32.h"

#include <string_view>

namespace van_tide {

// Creates `name` in `folder` with exactly `contents`, atomically, working
// through the folder's handle only: 0 when the file now exists with these
// bytes, durably. Otherwise the status of the first failure: the target
// untouched and the temporary file removed again (by its handle), unless it
// could not be created, in which case whatever blocked it is left alone.
// Contents of 4 GiB or more fail with 0x8007001D.
HRESULT VantideCreateFileAtomically(const VantideFolder& folder, std::wstring_view name,
                                    std::string_view contents);

}  // namespace van_tide
