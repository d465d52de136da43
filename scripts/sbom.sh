#!/usr/bin/env bash
# Writes the release's bill of materials, SPDX 2.3 JSON, to standard output:
# the .exe as the described package, with its SHA-256, its supplier, its
# package URL and the commit it was built from; every component linked or
# compiled into it, with the version of the Debian package on this machine
# that provided it; and the packages whose programs and headers built it, as
# its build tools and build dependencies.
#
#   scripts/sbom.sh RECORD EXE [UNSIGNED_SHA256]
#
# RECORD    the build's record (scripts/build-record.sh), which the licence
#           notices are written from as well
# EXE       the .exe as shipped (signed or not); its name and checksum
# UNSIGNED_SHA256  for a signed .exe: the checksum of the reproducible bytes
#           under the signature, recorded in the .exe's comment
#
# The same inputs give the same bytes: the time is SOURCE_DATE_EPOCH and the
# document's namespace is made from the .exe's checksum, not drawn at random.
# Every component's package URL names its Debian package, version,
# architecture and distribution, and where in the package the component lies,
# so that no two components share one.
set -euo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: sbom.sh RECORD EXE [UNSIGNED_SHA256]" >&2
  exit 2
fi
record=$1 exe=$2 unsigned=${3:-}
: "${SOURCE_DATE_EPOCH:?sbom: set SOURCE_DATE_EPOCH}"
# shellcheck source=read-record.sh
source "$(dirname "${BASH_SOURCE[0]}")/read-record.sh" sbom "$record"
name=$(fact product name) version=$(fact product version) commit=$(fact product commit)
tree=$(fact product tree) supplier=$(fact product supplier) copyright=$(fact product copyright)
distribution=$(fact build distribution)
[[ -n "$name" && -n "$version" && -n "$supplier" && -n "$distribution" ]] || fail "$record lacks the product's facts"
mapfile -t linked < <(grep '^linked|' "$record")
mapfile -t tools < <(grep '^tool|' "$record")
[[ ${#linked[@]} -gt 0 ]] || fail "$record names no linked component"

# Every string the document takes from outside must need no JSON escaping.
while IFS= read -r text; do
  [[ "$text" =~ ^[A-Za-z0-9.,:/+~_@()\|\ -]*$ ]] || fail "unexpected characters in \"$text\""
done < <(grep -E '^(product|linked|member|tool|build\|distribution)\|' "$record"; echo "${exe##*/}")
# Package URLs encode "+" and ":" in names, versions and paths.
purl_part() { local text=${1//+/%2B}; printf '%s' "${text//:/%3A}"; }
deb_purl() {
  printf 'pkg:deb/debian/%s@%s?arch=%s&distro=%s' "$(purl_part "$1")" "$(purl_part "$2")" "$3" "$distribution"
  if [[ -n "${4:-}" ]]; then printf '#%s' "$(purl_part "$4")"; fi
}

exe_name=${exe##*/}
sha=$(sha256sum <"$exe" | cut -d' ' -f1)
created=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)
described=SPDXRef-Package-$name

printf '{\n'
printf '  "spdxVersion": "SPDX-2.3",\n'
printf '  "dataLicense": "CC0-1.0",\n'
printf '  "SPDXID": "SPDXRef-DOCUMENT",\n'
printf '  "name": "%s",\n' "$name-$version"
printf '  "documentNamespace": "https://vantide.invalid/spdx/%s-%s",\n' "$name-$version" "$sha"
printf '  "creationInfo": {\n'
printf '    "created": "%s",\n' "$created"
printf '    "creators": ["Organization: %s", "Tool: %s-sbom.sh-%s"]\n' "$supplier" "$name" "$version"
printf '  },\n'
printf '  "packages": [\n'
printf '    {\n'
printf '      "SPDXID": "%s",\n' "$described"
printf '      "name": "%s",\n' "$name"
printf '      "versionInfo": "%s",\n' "$version"
printf '      "packageFileName": "%s",\n' "$exe_name"
printf '      "primaryPackagePurpose": "APPLICATION",\n'
printf '      "supplier": "Organization: %s",\n' "$supplier"
printf '      "downloadLocation": "NOASSERTION",\n'
printf '      "filesAnalyzed": false,\n'
printf '      "checksums": [{"algorithm": "SHA256", "checksumValue": "%s"}],\n' "$sha"
printf '      "sourceInfo": "built from commit %s (%s tree)",\n' "$commit" "$tree"
if [[ -n "$unsigned" ]]; then
  [[ "$unsigned" =~ ^[0-9a-f]{64}$ ]] || fail "not a SHA-256: $unsigned"
  printf '      "comment": "Authenticode-signed. Without the signature (osslsigncode remove-signature) its SHA-256 is %s, the bytes a build of the source gives.",\n' "$unsigned"
fi
printf '      "licenseConcluded": "NOASSERTION",\n'
printf '      "licenseDeclared": "NOASSERTION",\n'
printf '      "copyrightText": "%s",\n' "$copyright"
printf '      "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl", '
printf '"referenceLocator": "pkg:generic/%s@%s"}]\n' "$name" "$(purl_part "$version")"
printf '    }'

# One package entry; its purl must not be one an earlier entry has.
declare -A purl_seen
package_entry() {
  local id=$1 label=$2 pversion=$3 purpose=$4 licence=$5 purl=$6 info=$7 remark=$8
  [[ -z "${purl_seen[$purl]:-}" ]] || fail "$id and ${purl_seen[$purl]} would share the package URL $purl"
  purl_seen[$purl]=$id
  printf ',\n    {\n'
  printf '      "SPDXID": "%s",\n' "$id"
  printf '      "name": "%s",\n' "$label"
  printf '      "versionInfo": "%s",\n' "$pversion"
  if [[ -n "$purpose" ]]; then printf '      "primaryPackagePurpose": "%s",\n' "$purpose"; fi
  printf '      "supplier": "Organization: Debian",\n'
  printf '      "downloadLocation": "NOASSERTION",\n'
  printf '      "filesAnalyzed": false,\n'
  printf '      "sourceInfo": "%s",\n' "$info"
  printf '      "licenseConcluded": "NOASSERTION",\n'
  printf '      "licenseDeclared": "%s",\n' "$licence"
  printf '      "%s": "%s",\n' "${remark%%=*}" "${remark#*=}"
  printf '      "copyrightText": "NOASSERTION",\n'
  printf '      "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl", '
  printf '"referenceLocator": "%s"}]\n' "$purl"
  printf '    }'
}

relationships=("SPDXRef-DOCUMENT|DESCRIBES|$described")
for entry in "${linked[@]}"; do
  IFS='|' read -r _ id label licence package pversion arch subpath notice files <<<"$entry"
  # The parts under a licence of their own, which the declared licence
  # includes: named, so that the expression can be traced to the files.
  parts=""
  while IFS='|' read -r _ _ member what member_licence; do
    parts+=" $member ($what) is $member_licence."
  done < <(grep "^member|$id|" "$record" || true)
  package_entry "SPDXRef-Package-$id" "$label" "$pversion" LIBRARY "$licence" \
    "$(deb_purl "$package" "$pversion" "$arch" "$subpath")" "Debian package $package $pversion: $files" \
    "licenseComments=Licence texts in THIRD-PARTY-NOTICES.txt, from ${notice// / and }.$parts"
  # Header-only code is compiled into the .exe; libraries are linked into it.
  if [[ $id == nlohmann-json ]]; then
    relationships+=("$described|CONTAINS|SPDXRef-Package-$id")
  else
    relationships+=("$described|STATIC_LINK|SPDXRef-Package-$id")
  fi
done
for entry in "${tools[@]}"; do
  IFS='|' read -r _ package pversion arch kind what <<<"$entry"
  case $kind in
    tool) relation=BUILD_TOOL_OF ;;
    headers) relation=BUILD_DEPENDENCY_OF ;;
    # The zip is made after the .exe and is not part of it.
    *) continue ;;
  esac
  id=SPDXRef-Tool-${package//+/p}
  package_entry "$id" "$package" "$pversion" "" NOASSERTION "$(deb_purl "$package" "$pversion" "$arch")" \
    "Debian package $package $pversion" "comment=Used to build $exe_name: $what"
  relationships+=("$id|$relation|$described")
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
