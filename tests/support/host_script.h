// Under Wine a test reaches the Linux host through its shell for what Wine
// cannot do from the Windows side: make links, or change folders while a
// Windows program runs. Nothing here works on Windows: the calls return an
// empty path or false there.
#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <string>
#include <vector>

namespace van_tide::testing {

// The host's path of `item`, which need not exist (yet, or any more): its
// folder's host path and its own name.
std::string HostPathOf(const Path& item);

// Starts `script` in the host's shell with `arguments` as $1, $2, ... and
// returns at once. A host program cannot be waited on from the Windows side,
// and its work may be invisible there (a dangling link is), so once the script
// has succeeded it makes a marker folder in `markerFolder`; the path of that
// marker is returned, or an empty path when the shell did not start.
Path StartHostScript(const Path& markerFolder, const std::string& script,
                     const std::vector<std::string>& arguments);

// Waits up to `limitMilliseconds` for the marker of a script started above,
// and removes it. False when the script failed or has not finished by then.
bool AwaitHostScript(const Path& marker, DWORD limitMilliseconds);

// Both of the above, with ten seconds to finish.
bool RunHostScript(const Path& markerFolder, const std::string& script,
                   const std::vector<std::string>& arguments);

}  // namespace van_tide::testing
