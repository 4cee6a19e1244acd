# The release build of the shipped program (PAVONIX_RELEASE, made by
# scripts/release): no test code, and the same bytes for the same commit and
# settings in any folder at any time.
#
#   PAVONIX_SOURCE_DATE_EPOCH  seconds since 1970 written as the PE time stamp
#                              (scripts/release passes the commit time); empty
#                              writes zero
if(NOT PAVONIX_RELEASE)
  return()
endif()
if(NOT WIN32)
  message(FATAL_ERROR "PAVONIX_RELEASE builds the Windows program: use a mingw toolchain file")
endif()
if(PAVONIX_BUILD_TESTS)
  message(FATAL_ERROR "PAVONIX_RELEASE needs PAVONIX_BUILD_TESTS=OFF: no test code in the shipped program")
endif()
set(PAVONIX_SOURCE_DATE_EPOCH "" CACHE STRING "PE time stamp of a release build (seconds since 1970)")

# No build folder in the objects: __FILE__, macro expansions and any debug
# information name files relative to the tree. gcc applies the last matching
# map, so the build folder (often inside the tree) comes after the tree.
set(_maps)
foreach(pair "${PAVONIX_DEPS_PREFIX}=deps" "${PROJECT_SOURCE_DIR}=pavonix" "${PROJECT_BINARY_DIR}=pavonix-build")
  list(APPEND _maps -ffile-prefix-map=${pair} -fmacro-prefix-map=${pair})
endforeach()
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${_maps}>")

# The stripped program carries no symbol table (it names object files).
add_link_options(-s)

# The PE time stamp: the commit's time through SOURCE_DATE_EPOCH, which ld
# reads at link time, or zero. The launcher sets it whatever the caller's
# environment holds.
if(PAVONIX_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${PAVONIX_SOURCE_DATE_EPOCH})
  set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${PAVONIX_SOURCE_DATE_EPOCH})
elseif(PAVONIX_SOURCE_DATE_EPOCH STREQUAL "")
  add_link_options(-Wl,--no-insert-timestamp)
else()
  message(FATAL_ERROR "PAVONIX_SOURCE_DATE_EPOCH must be a number of seconds, not '${PAVONIX_SOURCE_DATE_EPOCH}'")
endif()

include(PavonixDeterministicArchives)
