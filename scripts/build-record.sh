#!/usr/bin/env bash
# Writes the record of a release build to standard output: what the program
# is, how it was built, every component linked or compiled into it and every
# Debian package whose programs or headers the build used, each with the
# version installed here. The bill of materials (scripts/sbom.sh), the licence
# notices (scripts/notices.sh) and the build information (scripts/buildinfo.sh)
# are all written from this one record, so they cannot disagree.
#
#   scripts/build-record.sh BUILD_DIR PRESET
#
# BUILD_DIR  the release build's folder, after the build
# PRESET     the configure preset it was made with
#
# One line a fact, fields separated by "|", in a fixed order:
#   product|<key>|<value>    name, version, commit, tree, supplier, copyright
#   build|<key>|<value>      preset, build type, thread model, flags,
#                            SOURCE_DATE_EPOCH, distribution
#   linked|<id>|<name>|<licence>|<package>|<version>|<arch>|<subpath>|<texts>|<files>
#                            a component in the .exe: the Debian package that
#                            provided it, where in that package its files lie,
#                            its licence texts (the package's copyright file,
#                            and what that refers to) and the files taken
#   member|<id>|<archive(member)>|<what>|<licence>
#                            a part of the component above that is under a
#                            licence of its own, which <licence> of the
#                            component includes (its text is among <texts>)
#   tool|<package>|<version>|<arch>|<kind>|<what>
#                            a package the build used; kind "tool" (a program
#                            that made the .exe's bytes), "headers" (headers
#                            alone were read) or "packaging" (made the zip)
#
# Components come from the linker's map (cmake/reproducible.cmake asks for
# one), tools from the compiler's own answers and the headers from Ninja's
# record of every compilation's dependencies: nothing here is a list kept by
# hand. A linked file or header that no Debian package owns, or a linked file
# that belongs to no component known below, stops the script.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: build-record.sh BUILD_DIR PRESET" >&2
  exit 2
fi
build=$(realpath -e "$1") preset=$2
: "${SOURCE_DATE_EPOCH:?build-record: set SOURCE_DATE_EPOCH}"
export LC_ALL=C

fail() {
  echo "build-record: $*" >&2
  exit 1
}

name=vantide-identity
header=$build/src/app/vantide_version.h
map=$build/$name.map
cache=$build/CMakeCache.txt
for file in "$header" "$map" "$cache" "$build/build.ninja"; do
  [[ -s "$file" ]] || fail "no $file: build first"
done
define() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$header"; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
source_dir=$(cached CMAKE_HOME_DIRECTORY)

# What dpkg says of a package: version and architecture.
package_version() { dpkg-query -W -f='${Version}' "$1"; }
package_arch() { dpkg-query -W -f='${Architecture}' "$1"; }
# The package that owns each of the files named on standard input (real
# paths), as "path|package" lines; one query for all of them.
owners() {
  local -a paths
  local -A owner
  local line path
  mapfile -t paths
  [[ ${#paths[@]} -gt 0 ]] || return 0
  # "package[, package...]: path" for each path owned; an absolute path is
  # matched whole.
  while IFS= read -r line; do
    [[ "$line" == *": /"* ]] || continue
    path=${line#*: }
    line=${line%%: *}
    owner[$path]=${line%%,*}
  done < <(dpkg-query -S "${paths[@]}" 2>/dev/null || true)
  for path in "${paths[@]}"; do
    [[ -n "${owner[$path]:-}" ]] || fail "no Debian package owns $path"
    printf '%s|%s\n' "$path" "${owner[$path]%%:*}"
  done
}

# --- the product ---------------------------------------------------------------
commit=$(define VANTIDE_SOURCE_COMMIT)
tree=clean
[[ $(cached VANTIDE_SOURCE_MODIFIED) == ON ]] && tree=modified
[[ -n "$commit" ]] || tree=unknown
printf 'product|name|%s\n' "$name"
printf 'product|version|%s\n' "$(define VANTIDE_VERSION_TEXT)"
printf 'product|commit|%s\n' "${commit:-unknown}"
printf 'product|tree|%s\n' "$tree"
printf 'product|supplier|%s\n' "$(define VANTIDE_COMPANY)"
printf 'product|copyright|%s\n' "$(define VANTIDE_COPYRIGHT)"

# --- how it was built ----------------------------------------------------------
# A variable of the Ninja build statement that makes OUTPUT, with the build
# and source folders written as <build> and <source> (the build folder lies
# inside the source folder, so it goes first).
ninja_variable() {
  awk -v output="build $1:" -v key="  $2 = " '
    index($0, output) == 1 { inside = 1; next }
    inside && /^[^ ]/ { exit }
    inside && index($0, key) == 1 { print substr($0, length(key) + 1); exit }
  ' "$build/build.ninja" | sed "s#$build#<build>#g; s#$source_dir#<source>#g; s/  */ /g; s/ *\$//"
}
object=src/app/CMakeFiles/$name.dir
exe=src/app/$name.exe
distribution=$(. /etc/os-release && printf '%s-%s' "$ID" "${VERSION_ID:-unknown}")
printf 'build|preset|%s\n' "$preset"
printf 'build|build type|%s\n' "$(cached CMAKE_BUILD_TYPE)"
printf 'build|thread model|%s\n' "$(cached VANTIDE_MINGW_THREADS)"
printf 'build|compile flags|%s %s\n' "$(ninja_variable "$object/main.cpp.obj" DEFINES)" \
  "$(ninja_variable "$object/main.cpp.obj" FLAGS)"
printf 'build|resource flags|%s %s\n' "$(ninja_variable "$object/$name.rc.res" DEFINES)" \
  "$(ninja_variable "$object/$name.rc.res" FLAGS)"
printf 'build|link flags|%s %s %s\n' "$(ninja_variable "$exe" FLAGS)" "$(ninja_variable "$exe" LINK_FLAGS)" \
  "$(ninja_variable "$exe" LINK_LIBRARIES)"
printf 'build|SOURCE_DATE_EPOCH|%s\n' "$SOURCE_DATE_EPOCH"
printf 'build|distribution|%s\n' "$distribution"

# --- the components linked or compiled in ---------------------------------------
# Components in the order the documents list them: id, name, declared licence
# (SPDX; NOASSERTION where the files taken mix several licences), and licence
# texts that the package's copyright file names but does not hold.
gpl3=/usr/share/common-licenses/GPL-3
components=(
  "mingw-w64-runtime|mingw-w64 runtime|NOASSERTION|"
  "winpthreads|winpthreads|MIT AND BSD-3-Clause|"
  "libgcc|libgcc|GPL-3.0-or-later WITH GCC-exception-3.1|$gpl3"
  "libstdcxx|libstdc++|GPL-3.0-or-later WITH GCC-exception-3.1|$gpl3"
  "nlohmann-json|nlohmann/json|MIT|"
)

# Archive members taken into the .exe under a licence other than their
# component's, which the package's copyright file does not cover for them:
# component | archive | member | what it is | licence (SPDX) | licence text.
# libstdc++ carries libiberty's demangler for its verbose terminate handler.
separate_members=(
  "libstdcxx|libstdc++.a|cp-demangle.o|the C++ name demangler, from libiberty|GPL-2.0-or-later WITH GCC-exception-2.0|/usr/share/common-licenses/GPL-2"
)

# Which component a linked file belongs to, by its name.
component_of() {
  local file=$1 package=$2
  case ${file##*/} in
    json.hpp) echo nlohmann-json ;;
    libstdc++.a | libsupc++.a) echo libstdcxx ;;
    libgcc.a | libgcc_eh.a | crtbegin.o | crtend.o) echo libgcc ;;
    libpthread.a | libwinpthread.a) echo winpthreads ;;
    # Start-up code, the C run-time and the import libraries of the system
    # DLLs all come with the mingw-w64 headers and libraries.
    *) if [[ $package == mingw-w64-x86-64-dev ]]; then echo mingw-w64-runtime; fi ;;
  esac
}

# Archives from which members went in (the map's first section names each as
# "archive(member)" at the start of a line), the objects loaded whole, and the
# JSON library's header, which the build recorded (headers only: no map shows
# it).
json_dir=$(cached VANTIDE_HOST_JSON_DIR)
[[ -n "$json_dir" ]] || fail "no VANTIDE_HOST_JSON_DIR in $cache"
mapfile -t linked < <(
  {
    sed -n '/^Archive member included/,/^Discarded input sections/p' "$map" | grep -oE '^/[^(]+' || true
    sed -n 's#^LOAD \(/.*\.o\)$#\1#p' "$map"
    echo "$json_dir/nlohmann/json.hpp"
  } | sort -u | while IFS= read -r file; do realpath -e "$file" || echo "missing:$file"; done | sort -u
)
[[ ${#linked[@]} -gt 1 ]] || fail "the link map $map names no library"
# The same section as "archive(member)", the archive by its file name.
members_taken=$(sed -n '/^Archive member included/,/^Discarded input sections/p' "$map" |
  grep -oE '^/[^(]+\([^)]+\)' | sed 's#^.*/##' | sort -u || true)
for path in "${linked[@]}"; do
  [[ "$path" != missing:* ]] || fail "linked file ${path#missing:} is missing"
done

declare -A package_of paths_of
owned=$(printf '%s\n' "${linked[@]}" | owners)
while IFS='|' read -r path package; do
  id=$(component_of "$path" "$package")
  [[ -n "$id" ]] || fail "$path (from $package) is linked in but belongs to no component this script knows"
  if [[ -n "${package_of[$id]:-}" && ${package_of[$id]} != "$package" ]]; then
    fail "$id comes from two packages: ${package_of[$id]} and $package"
  fi
  package_of[$id]=$package
  paths_of[$id]="${paths_of[$id]:+${paths_of[$id]}$'\n'}$path"
done <<<"$owned"

for entry in "${components[@]}"; do
  IFS='|' read -r id label licence texts <<<"$entry"
  [[ -n "${package_of[$id]:-}" ]] || continue
  package=${package_of[$id]}
  # Where in the package the component lies: its one file, or the folder
  # that holds all of its files.
  subpath=$(printf '%s\n' "${paths_of[$id]}" | awk '
    NR == 1 { common = $0; next }
    { while (index($0 "/", common "/") != 1) sub(/\/[^\/]*$/, "", common) }
    END { print common }')
  notice="/usr/share/doc/$package/copyright${texts:+ $texts}"
  parts=()
  for member in "${separate_members[@]}"; do
    IFS='|' read -r of archive file what member_licence text <<<"$member"
    if [[ $of != "$id" ]] || ! grep -qxF "$archive($file)" <<<"$members_taken"; then continue; fi
    licence+=" AND $member_licence"
    notice+=" $text"
    parts+=("member|$id|$archive($file)|$what|$member_licence")
  done
  for text in $notice; do
    [[ -s "$text" ]] || fail "no licence text at $text for $label"
  done
  files=$(printf '%s\n' "${paths_of[$id]}" | sed 's#.*/##' | paste -sd ' ')
  printf 'linked|%s|%s|%s|%s|%s|%s|%s|%s|%s\n' "$id" "$label" "$licence" "$package" \
    "$(package_version "$package")" "$(package_arch "$package")" "${subpath#/}" "$notice" "$files"
  if [[ ${#parts[@]} -gt 0 ]]; then printf '%s\n' "${parts[@]}"; fi
done

# --- the packages the build used -------------------------------------------------
# The compiler as the build ran it, and what the compiler runs in turn.
# The program a rule of the build runs (the first word of its command).
rule_program() {
  awk -v rule="rule $1__${name}_" 'index($0, rule) == 1 { found = 1 } found && /^  command = / { print $3; exit }' \
    "$build/CMakeFiles/rules.ninja"
}
compiler=$(rule_program CXX_COMPILER)
resource_compiler=$(rule_program RC_COMPILER)
[[ -n "$compiler" && -n "$resource_compiler" ]] || fail "no compiler in $build/CMakeFiles/rules.ninja"
preprocessor=$(ninja_variable "$object/$name.rc.res" FLAGS | grep -oE -- '--preprocessor=[^ ]+' | cut -d= -f2)
[[ -n "$preprocessor" ]] || fail "the resource compiler is given no preprocessor"
declare -A role_of=(
  ["$compiler"]="compiler"
  ["$("$compiler" -print-prog-name=cc1plus)"]="compiler"
  ["$("$compiler" -print-prog-name=collect2)"]="linker"
  ["$("$compiler" -print-prog-name=ld)"]="linker"
  ["$("$compiler" -print-prog-name=as)"]="assembler"
  ["$(command -v "$preprocessor")"]="resource preprocessor"
  ["$resource_compiler"]="resource compiler"
  ["$("$compiler" -print-prog-name=objcopy)"]="debug file and stripping"
  ["$(cached CMAKE_COMMAND)"]="build system"
  ["$(cached CMAKE_MAKE_PROGRAM)"]="build system"
  ["$(command -v perl)"]="PE checksum"
  ["$(command -v zip)"]="packaging"
)
declare -A roles_in kind_of
for tool in "${!role_of[@]}"; do
  real=$(realpath -e "$(command -v "$tool" || echo "$tool")") || fail "the build's tool $tool is missing"
  package=$(owners <<<"$real" | cut -d'|' -f2)
  role=${role_of[$tool]}
  roles_in[$package]+="$role"$'\n'
  if [[ $role == packaging ]]; then
    kind_of[$package]=${kind_of[$package]:-packaging}
  else
    kind_of[$package]=tool
  fi
done
# Every header outside the source and build folders that a compilation read.
headers=$(ninja -C "$build" -t deps | sed -n 's/^    \(\/.*\)$/\1/p' | grep -v -e "^$source_dir/" -e "^$build/" |
  sort -u | xargs -r realpath -e | sort -u | owners)
[[ -n "$headers" ]] || fail "Ninja recorded no header that the build read"
while IFS='|' read -r _ package; do
  roles_in[$package]+=headers$'\n'
  kind_of[$package]=${kind_of[$package]:-headers}
done <<<"$headers"
for package in $(printf '%s\n' "${!kind_of[@]}" | sort); do
  printf 'tool|%s|%s|%s|%s|%s\n' "$package" "$(package_version "$package")" "$(package_arch "$package")" \
    "${kind_of[$package]}" "$(sort -u <<<"${roles_in[$package]}" | sed '/^$/d' | paste -sd , | sed 's/,/, /g')"
done
