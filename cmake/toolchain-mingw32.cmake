set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TRIPLET i686-w64-mingw32)
# The posix thread model: the win32 one lacks std::mutex in gcc 12.
set(CMAKE_C_COMPILER ${TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TRIPLET}-windres)

# jsoncpp and GoogleTest for this triplet, built by scripts/setup.
include(${CMAKE_CURRENT_LIST_DIR}/PavonixDepsVersion.cmake)
if(DEFINED ENV{PAVONIX_DEPS_ROOT})
  set(PAVONIX_DEPS_PREFIX $ENV{PAVONIX_DEPS_ROOT}/${PAVONIX_DEPS_VERSION}/${TRIPLET})
else()
  set(PAVONIX_DEPS_PREFIX ${PAVONIX_DEPS_DEFAULT_ROOT}/${PAVONIX_DEPS_VERSION}/${TRIPLET})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLET} ${PAVONIX_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run in the WoW64 root: the 64-bit Wine with its 32-bit half
# under qemu-user, as on the users' 64-bit Windows (scripts/wine-run32).
get_filename_component(_pavonix_tree "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_pavonix_tree}/scripts/wine-run32)
