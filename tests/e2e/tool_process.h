// Runs the built executable as a separate process, the way a user's shell or
// the host application starts it, and records what it left behind.
#pragma once

#include "fs/path.h"
#include "platform/win32.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace van_tide::testing {

// The tool's path in Windows form (a Unix path from a Wine build is mapped to
// drive Z:, which Wine maps to the Unix root). Where the build's own path does
// not exist, the vantide-identity.exe beside the running test program.
Path VantideToolPath();

// One environment variable of the child: no value means the variable is left
// out of the block altogether.
using EnvironmentEntry = std::pair<std::wstring, std::optional<std::wstring>>;

struct ToolOutcome {
  bool finished = false;  // false: it overran the time limit and was killed
  DWORD exitCode = 0;
  std::string standardOutput;
  std::string standardError;
};

// Starts the tool with exactly the given command line tail, working folder and
// environment: the variables a Windows process needs to start (taken from this
// process) overridden by `variables`. Standard output and standard error go to
// files in `captureFolder`, which must lie outside anything the test compares.
ToolOutcome VantideRunTool(const std::vector<EnvironmentEntry>& variables, const std::wstring& arguments,
                           const Path& workingFolder, const Path& captureFolder);

// Starts one tool process for each capture folder, all with the same command
// line, working folder and environment, and lets them run at the same moment:
// every process is created suspended and only then are all of them resumed.
// Waits for all of them under one shared time limit; the outcomes are in the
// order of the capture folders.
std::vector<ToolOutcome> VantideRunToolsAtOnce(const std::vector<EnvironmentEntry>& variables,
                                               const std::wstring& arguments, const Path& workingFolder,
                                               const std::vector<Path>& captureFolders);

// Everything below `root`: each entry's path relative to `root`, mapped to
// "folder", "link" or the file's bytes prefixed with "file:". Links are
// recorded, never entered.
using TreeSnapshot = std::map<std::wstring, std::string>;
TreeSnapshot VantideSnapshotTree(const Path& root);

}  // namespace van_tide::testing
