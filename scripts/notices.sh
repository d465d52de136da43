#!/usr/bin/env bash
# Writes THIRD-PARTY-NOTICES.txt for the release's zip to standard output:
# each component linked or compiled into the .exe, and the licence texts that
# come with it, which are the copyright files of the Debian packages that
# provided it (/usr/share/doc/<package>/copyright) and the texts those refer
# to (/usr/share/common-licenses), as installed where the release was built. UTF-8 with a byte-order mark (the texts name authors
# beyond ASCII) and Windows line ends, for Notepad and `type`.
#
#   scripts/notices.sh RECORD
#
# RECORD is the build's record (scripts/build-record.sh), from which the bill
# of materials is written as well: the two list the same components.
set -euo pipefail

record=${1:?usage: notices.sh RECORD}
# shellcheck source=read-record.sh
source "$(dirname "${BASH_SOURCE[0]}")/read-record.sh" notices "$record"
name=$(fact product name) version=$(fact product version)
mapfile -t linked < <(grep '^linked|' "$record")
[[ ${#linked[@]} -gt 0 ]] || fail "$record names no linked component"

# Components that share a licence text (the C++ library and the compiler's
# support library come with one copyright file) refer to one copy of it.
texts=()
declare -A text_number
for entry in "${linked[@]}"; do
  IFS='|' read -r _ _ _ _ _ _ _ _ notice _ <<<"$entry"
  for text in $notice; do
    real=$(realpath -e "$text") || fail "missing $text"
    if [[ -z "${text_number[$real]:-}" ]]; then
      texts+=("$real")
      text_number[$real]=${#texts[@]}
    fi
  done
done

rule='=============================================================================='
{
  printf '\xef\xbb\xbf'
  echo "THIRD-PARTY NOTICES FOR $name $version"
  echo
  echo "$name.exe contains the following components, linked into it statically"
  echo "or, for nlohmann/json, compiled in from its headers. Each was taken from"
  echo "the Debian package named. Its licence texts, given in full below, are"
  echo "that package's copyright file and the licences it refers to: they cover"
  echo "all of the package's files, of which the .exe holds only those listed."
  echo "The same components are in the bill of materials,"
  echo "$name-$version.spdx.json."
  for entry in "${linked[@]}"; do
    IFS='|' read -r _ id label licence package pversion _ _ notice files <<<"$entry"
    echo
    echo "  $label"
    echo "      Debian package $package $pversion"
    echo "      files: $files"
    if [[ $licence == NOASSERTION ]]; then
      echo "      licence: several, as the texts below say file by file"
    else
      echo "      licence: $licence (SPDX)"
    fi
    sections=""
    for text in $notice; do
      sections+="${sections:+ and }[${text_number[$(realpath -e "$text")]}]"
    done
    echo "      licence texts: $sections below"
    # A part under a licence of its own, which the package's copyright file
    # does not state for it.
    while IFS='|' read -r _ _ member what member_licence; do
      echo "      of these, $member, $what:"
      echo "          $member_licence (SPDX)"
      if [[ $member_licence == *"WITH GCC-exception-2.0" ]]; then
        echo "          The licence's exception lets the compiled file be linked into"
        echo "          other programs, and those be distributed, without restriction"
        echo "          coming from the use of the file."
      fi
    done < <(grep "^member|$id|" "$record" || true)
  done
  number=0
  for text in "${texts[@]}"; do
    number=$((number + 1))
    echo
    echo
    echo "$rule"
    echo "[$number] $text"
    echo "$rule"
    echo
    cat "$text"
  done
} | sed 's/\r$//; s/$/\r/'
