# Checks the release's bill of materials against the .exe it describes:
#
#   cmake -DSBOM=<file.spdx.json> -DEXECUTABLE=<file.exe> -P check_sbom.cmake
#
# The document must parse as SPDX 2.3 JSON, describe one package whose file
# name and SHA-256 are those of EXECUTABLE, list each component linked into
# the .exe with a version, tie each to the .exe by a relationship, and name no
# element in a relationship that it does not define. Prints a summary; stops
# with the first fault.
cmake_minimum_required(VERSION 3.25)

# What the release links or compiles in: the C run-time and start-up code,
# the threads library under the C++ run-time, the compiler's support library,
# the C++ standard library, and the JSON parser.
set(expected_components "mingw-w64 runtime" "winpthreads" "libgcc" "libstdc++" "nlohmann/json")

foreach(variable SBOM EXECUTABLE)
  if(NOT DEFINED ${variable} OR NOT EXISTS "${${variable}}")
    message(FATAL_ERROR "sbom: set ${variable} to an existing file")
  endif()
endforeach()

file(READ "${SBOM}" document)

# Reads a member; a missing one or a document that does not parse stops here.
function(json_get out)
  json_query(${out} GET ${ARGN})
  set(${out} "${${out}}" PARENT_SCOPE)
endfunction()
function(json_length out)
  json_query(${out} LENGTH ${ARGN})
  set(${out} "${${out}}" PARENT_SCOPE)
endfunction()
function(json_query out mode)
  string(JSON value ERROR_VARIABLE error ${mode} "${document}" ${ARGN})
  if(error)
    string(REPLACE ";" "." where "${ARGN}")
    message(FATAL_ERROR "sbom: ${where}: ${error}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "sbom: ${what} is \"${actual}\", expected \"${expected}\"")
  endif()
endfunction()

json_get(spdx_version spdxVersion)
expect_equal("spdxVersion" "${spdx_version}" "SPDX-2.3")
json_get(data_license dataLicense)
expect_equal("dataLicense" "${data_license}" "CC0-1.0")
json_get(document_id SPDXID)
expect_equal("SPDXID" "${document_id}" "SPDXRef-DOCUMENT")
json_get(namespace documentNamespace)
if(NOT namespace MATCHES "^[a-z]+://")
  message(FATAL_ERROR "sbom: documentNamespace \"${namespace}\" is not a URI")
endif()
json_get(created creationInfo created)
if(NOT created MATCHES "^[0-9][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z$")
  message(FATAL_ERROR "sbom: creationInfo.created \"${created}\" is not a UTC time")
endif()

# Packages by SPDX id; each id once.
json_length(package_count packages)
set(ids "")
math(EXPR last "${package_count} - 1")
foreach(index RANGE ${last})
  json_get(id packages ${index} SPDXID)
  json_get(name packages ${index} name)
  if(id IN_LIST ids)
    message(FATAL_ERROR "sbom: the SPDX id ${id} is defined twice")
  endif()
  list(APPEND ids "${id}")
  set(index_of_${id} ${index})
  set(id_of_name_${name} "${id}")
endforeach()

# Relationships: every element defined; exactly one package described.
json_length(relationship_count relationships)
set(described "")
set(related_to_described "")
math(EXPR last "${relationship_count} - 1")
foreach(index RANGE ${last})
  json_get(element relationships ${index} spdxElementId)
  json_get(type relationships ${index} relationshipType)
  json_get(related relationships ${index} relatedSpdxElement)
  foreach(side element related)
    if(NOT ${side} STREQUAL "SPDXRef-DOCUMENT" AND NOT ${side} IN_LIST ids)
      message(FATAL_ERROR "sbom: relationship ${index} (${type}) names ${${side}}, which no package defines")
    endif()
  endforeach()
  if(element STREQUAL "SPDXRef-DOCUMENT" AND type STREQUAL "DESCRIBES")
    if(described)
      message(FATAL_ERROR "sbom: the document describes both ${described} and ${related}")
    endif()
    set(described "${related}")
  endif()
  list(APPEND relations "${element}|${type}|${related}")
endforeach()
if(NOT described)
  message(FATAL_ERROR "sbom: the document describes no package")
endif()

# The described package is the .exe: its file name and its checksum.
get_filename_component(exe_name "${EXECUTABLE}" NAME)
file(SHA256 "${EXECUTABLE}" exe_sha256)
json_get(file_name packages ${index_of_${described}} packageFileName)
expect_equal("the described package's packageFileName" "${file_name}" "${exe_name}")
json_length(checksum_count packages ${index_of_${described}} checksums)
set(named_sha256 "")
math(EXPR last "${checksum_count} - 1")
foreach(index RANGE ${last})
  json_get(algorithm packages ${index_of_${described}} checksums ${index} algorithm)
  if(algorithm STREQUAL "SHA256")
    json_get(named_sha256 packages ${index_of_${described}} checksums ${index} checksumValue)
  endif()
endforeach()
expect_equal("the SHA-256 it names for ${exe_name}" "${named_sha256}" "${exe_sha256}")

# Each component: listed with a version, and linked or contained by the .exe.
set(listed "")
foreach(component IN LISTS expected_components)
  if(NOT DEFINED id_of_name_${component})
    message(FATAL_ERROR "sbom: no package named \"${component}\"")
  endif()
  set(id "${id_of_name_${component}}")
  json_get(version packages ${index_of_${id}} versionInfo)
  if(version STREQUAL "" OR version STREQUAL "NOASSERTION")
    message(FATAL_ERROR "sbom: \"${component}\" has no version")
  endif()
  if(NOT "${described}|STATIC_LINK|${id}" IN_LIST relations AND NOT "${described}|CONTAINS|${id}" IN_LIST relations)
    message(FATAL_ERROR "sbom: nothing ties \"${component}\" to ${described}")
  endif()
  list(APPEND listed "${component} ${version}")
endforeach()

list(JOIN listed ", " listed)
message("sbom: SPDX-2.3, ${package_count} packages, ${exe_name} sha256 ${exe_sha256}; ${listed}")
