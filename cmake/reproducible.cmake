# Settings of the release build (preset "release"), which must come out byte
# for byte the same from the same sources, whoever builds it and wherever.
# The preset includes this file right after project() (CMAKE_PROJECT_INCLUDE),
# so it reaches every target.
#
# Time: the linker writes no time into the PE header (TimeDateStamp stays 0).
# Nothing else in the build stamps a time: the version resource sets no
# FILEDATE and the code uses no __DATE__ or __TIME__ (the compiler would take
# them from SOURCE_DATE_EPOCH, which scripts/release.sh sets).
#
# Paths: debug information and __FILE__ would otherwise carry the absolute
# source and build folders. Both become "." so that a debugger started in the
# source folder finds the sources. The build folder is named last: it lies
# inside the source folder, and the compiler takes the last mapping that fits.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  message(FATAL_ERROR "the reproducible release build needs GCC or clang (got ${CMAKE_CXX_COMPILER_ID})")
endif()

add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.;-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")

if(MINGW)
  add_link_options(LINKER:--no-insert-timestamp)
endif()

# Each function and object in a section of its own, and the sections nothing
# refers to dropped at link time: code the standard library pulls in but the
# tool never calls stays out of the release. Neither depends on where or when
# the build runs.
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffunction-sections;-fdata-sections>")
add_link_options(LINKER:--gc-sections)

# A link map beside each linked program (<target>.map in the build folder):
# it names every archive member the linker took, from which
# scripts/build-record.sh lists the libraries in the release's bill of
# materials and its notices. The map is not part of the program and changes
# none of its bytes.
add_link_options("LINKER:-Map=$<TARGET_PROPERTY:NAME>.map")
