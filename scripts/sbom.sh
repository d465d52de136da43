#!/usr/bin/env bash
# Writes the release's bill of materials, SPDX 2.3 JSON, to standard output:
# the .exe as the described package with its SHA-256, and every component
# linked into it, each with the version of the Debian package on this machine
# that provided it.
#
#   scripts/sbom.sh MAP EXE VERSION JSON_DIR [UNSIGNED_SHA256]
#
# MAP       the linker's map of the .exe (cmake/reproducible.cmake asks for it):
#           the libraries come from the archive members and start-up objects
#           the linker actually took, not from a list kept by hand
# EXE       the .exe as shipped (signed or not); its name and checksum
# VERSION   the tool's version
# JSON_DIR  the folder whose nlohmann/ headers the build compiled in (the JSON
#           library is headers only, so no link map shows it)
# UNSIGNED_SHA256  for a signed .exe: the checksum of the reproducible bytes
#           under the signature, recorded in the .exe's comment
#
# The same inputs give the same bytes: the time is SOURCE_DATE_EPOCH and the
# document's namespace is made from the .exe's checksum, not drawn at random.
# A linked file that no Debian package owns, or that belongs to no component
# known below, stops the script: nothing linked may go unlisted.
set -euo pipefail

if [[ $# -lt 4 || $# -gt 5 ]]; then
  echo "usage: sbom.sh MAP EXE VERSION JSON_DIR [UNSIGNED_SHA256]" >&2
  exit 2
fi
map=$1 exe=$2 version=$3 json_dir=$4 unsigned=${5:-}
: "${SOURCE_DATE_EPOCH:?sbom: set SOURCE_DATE_EPOCH}"
export LC_ALL=C

fail() {
  echo "sbom: $*" >&2
  exit 1
}

# Components in the order the document lists them: SPDX id suffix, name,
# declared licence (NOASSERTION where the package's files mix several).
components=(
  "mingw-w64-runtime|mingw-w64 runtime|NOASSERTION"
  "winpthreads|winpthreads|NOASSERTION"
  "libgcc|libgcc|GPL-3.0-or-later WITH GCC-exception-3.1"
  "libstdcxx|libstdc++|GPL-3.0-or-later WITH GCC-exception-3.1"
  "nlohmann-json|nlohmann/json|MIT"
)

# Which component a linked file belongs to, by its name.
component_of() {
  local file=$1 package=$2
  case ${file##*/} in
    libstdc++.a | libsupc++.a) echo libstdcxx ;;
    libgcc.a | libgcc_eh.a | crtbegin.o | crtend.o) echo libgcc ;;
    libpthread.a | libwinpthread.a) echo winpthreads ;;
    # Start-up code, the C run-time and the import libraries of the system
    # DLLs all come with the mingw-w64 headers and libraries.
    *) if [[ $package == mingw-w64-x86-64-dev ]]; then echo mingw-w64-runtime; fi ;;
  esac
}

# Archives from which members went in (the map's first section names each as
# "archive(member)" at the start of a line), and the objects loaded whole.
[[ -s "$map" ]] || fail "no link map at $map"
mapfile -t linked < <(
  {
    sed -n '/^Archive member included/,/^Discarded input sections/p' "$map" | grep -oE '^/[^(]+' || true
    sed -n 's#^LOAD \(/.*\.o\)$#\1#p' "$map"
  } | sort -u
)
[[ ${#linked[@]} -gt 0 ]] || fail "the link map $map names no library"
linked+=("$json_dir/nlohmann/json.hpp")

declare -A package_of version_of files_of
for file in "${linked[@]}"; do
  real=$(realpath -e "$file") || fail "linked file $file is missing"
  owner=$(dpkg-query -S "$real" 2>/dev/null | head -n 1) || fail "no Debian package owns $real"
  package=${owner%%:*}
  if [[ ${file##*/} == json.hpp ]]; then
    id=nlohmann-json
  else
    id=$(component_of "$real" "$package")
  fi
  [[ -n "$id" ]] || fail "$real (from $package) is linked in but belongs to no component this script knows"
  if [[ -n "${package_of[$id]:-}" && ${package_of[$id]} != "$package" ]]; then
    fail "$id comes from two packages: ${package_of[$id]} and $package"
  fi
  package_of[$id]=$package
  version_of[$id]=$(dpkg-query -W -f='${Version}' "$package")
  files_of[$id]="${files_of[$id]:+${files_of[$id]} }${real##*/}"
done

declare -A arch_of
for id in "${!package_of[@]}"; do
  arch_of[$id]=$(dpkg-query -W -f='${Architecture}' "${package_of[$id]}")
done

# Every string the document takes from outside must need no JSON escaping.
for text in "$version" "${exe##*/}" "${package_of[@]}" "${version_of[@]}" "${files_of[@]}" "${arch_of[@]}"; do
  [[ "$text" =~ ^[A-Za-z0-9.,:/+~_@\ -]*$ ]] || fail "unexpected characters in \"$text\""
done
# Package URLs encode "+" in names and versions.
purl_part() { local text=${1//+/%2B}; printf '%s' "${text//:/%3A}"; }

exe_name=${exe##*/}
sha=$(sha256sum <"$exe" | cut -d' ' -f1)
created=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)
described=SPDXRef-Package-vantide-identity

printf '{\n'
printf '  "spdxVersion": "SPDX-2.3",\n'
printf '  "dataLicense": "CC0-1.0",\n'
printf '  "SPDXID": "SPDXRef-DOCUMENT",\n'
printf '  "name": "%s",\n' "vantide-identity-$version"
printf '  "documentNamespace": "https://vantide.invalid/spdx/%s-%s",\n' "vantide-identity-$version" "$sha"
printf '  "creationInfo": {\n'
printf '    "created": "%s",\n' "$created"
printf '    "creators": ["Tool: vantide-identity scripts/sbom.sh"]\n'
printf '  },\n'
printf '  "packages": [\n'
printf '    {\n'
printf '      "SPDXID": "%s",\n' "$described"
printf '      "name": "vantide-identity",\n'
printf '      "versionInfo": "%s",\n' "$version"
printf '      "packageFileName": "%s",\n' "$exe_name"
printf '      "primaryPackagePurpose": "APPLICATION",\n'
printf '      "supplier": "NOASSERTION",\n'
printf '      "downloadLocation": "NOASSERTION",\n'
printf '      "filesAnalyzed": false,\n'
printf '      "checksums": [{"algorithm": "SHA256", "checksumValue": "%s"}],\n' "$sha"
if [[ -n "$unsigned" ]]; then
  [[ "$unsigned" =~ ^[0-9a-f]{64}$ ]] || fail "not a SHA-256: $unsigned"
  printf '      "comment": "Authenticode-signed. Without the signature (osslsigncode remove-signature) its SHA-256 is %s, the bytes a build of the source gives.",\n' "$unsigned"
fi
printf '      "licenseConcluded": "NOASSERTION",\n'
printf '      "licenseDeclared": "NOASSERTION",\n'
printf '      "copyrightText": "NOASSERTION"\n'
printf '    }'
relationships=("SPDXRef-DOCUMENT|DESCRIBES|$described")
for entry in "${components[@]}"; do
  IFS='|' read -r id label licence <<<"$entry"
  [[ -n "${package_of[$id]:-}" ]] || continue
  package=${package_of[$id]} pversion=${version_of[$id]}
  arch=${arch_of[$id]}
  printf ',\n    {\n'
  printf '      "SPDXID": "SPDXRef-Package-%s",\n' "$id"
  printf '      "name": "%s",\n' "$label"
  printf '      "versionInfo": "%s",\n' "$pversion"
  printf '      "supplier": "Organization: Debian",\n'
  printf '      "downloadLocation": "NOASSERTION",\n'
  printf '      "filesAnalyzed": false,\n'
  printf '      "sourceInfo": "Debian package %s %s: %s",\n' "$package" "$pversion" \
    "${files_of[$id]}"
  printf '      "licenseConcluded": "NOASSERTION",\n'
  printf '      "licenseDeclared": "%s",\n' "$licence"
  printf '      "copyrightText": "NOASSERTION",\n'
  printf '      "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl", '
  printf '"referenceLocator": "pkg:deb/debian/%s@%s?arch=%s"}]\n' "$(purl_part "$package")" \
    "$(purl_part "$pversion")" "$arch"
  printf '    }'
  # Header-only code is compiled into the .exe; libraries are linked into it.
  if [[ $id == nlohmann-json ]]; then
    relationships+=("$described|CONTAINS|SPDXRef-Package-$id")
  else
    relationships+=("$described|STATIC_LINK|SPDXRef-Package-$id")
  fi
done
printf '\n  ],\n'
printf '  "relationships": [\n'
separator=""
for relation in "${relationships[@]}"; do
  IFS='|' read -r element type related <<<"$relation"
  printf '%s    {"spdxElementId": "%s", "relationshipType": "%s", "relatedSpdxElement": "%s"}' \
    "$separator" "$element" "$type" "$related"
  separator=$',\n'
done
printf '\n  ]\n'
printf '}\n'
