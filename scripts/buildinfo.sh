#!/usr/bin/env bash
# Writes the release's build information to standard output: the source it
# was built from, the settings of the build and every Debian package, with
# its version, whose programs, headers or libraries the bytes of the release
# depend on; what someone needs to set up a machine that builds the same
# bytes. Fields in the manner of a Debian control file, ASCII with Windows
# line ends. It holds no time but SOURCE_DATE_EPOCH, no host name and no path
# of the build machine.
#
#   scripts/buildinfo.sh RECORD
#
# RECORD is the build's record (scripts/build-record.sh).
set -euo pipefail

record=${1:?usage: buildinfo.sh RECORD}
# shellcheck source=read-record.sh
source "$(dirname "${BASH_SOURCE[0]}")/read-record.sh" buildinfo "$record"
[[ -n "$(fact product version)" ]] || fail "$record names no version"

{
  echo "Format: vantide-buildinfo 1"
  echo "Source: $(fact product name)"
  echo "Version: $(fact product version)"
  echo "Source-Commit: $(fact product commit)"
  echo "Source-Tree: $(fact product tree)"
  echo "Source-Date-Epoch: $(fact build SOURCE_DATE_EPOCH)"
  echo "Build-Distribution: $(fact build distribution)"
  echo "Build-Architecture: $(dpkg --print-architecture)"
  echo "Build-Preset: $(fact build preset)"
  echo "Build-Type: $(fact build 'build type')"
  echo "Thread-Model: $(fact build 'thread model')"
  echo "Compile-Flags: $(fact build 'compile flags')"
  echo "Resource-Flags: $(fact build 'resource flags')"
  echo "Link-Flags: $(fact build 'link flags')"
  # A package that both ran and was linked in appears once, with both.
  echo "Installed-Build-Depends:"
  {
    grep '^tool|' "$record" | while IFS='|' read -r _ package pversion arch _ what; do
      printf '%s|%s|%s|%s\n' "$package" "$pversion" "$arch" "$what"
    done
    grep '^linked|' "$record" | while IFS='|' read -r _ _ label _ package pversion arch _ _ _; do
      printf '%s|%s|%s|linked in: %s\n' "$package" "$pversion" "$arch" "$label"
    done
  } | sort -t'|' -k1,1 -k4,4 | awk -F'|' '
    $1 != last { if (line != "") print line; line = " " $1 " (= " $2 ") " $3 ": " $4; last = $1; next }
    { line = line ", " $4 }
    END { if (line != "") print line }'
} | sed 's/$/\r/'
