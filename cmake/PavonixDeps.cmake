# Third-party dependencies: jsoncpp (JsonCpp::JsonCpp) and GoogleTest.
# Natively these are Debian's packages; for mingw they are static builds made by
# scripts/setup in a per-triplet prefix that the toolchain file puts on
# CMAKE_FIND_ROOT_PATH (PAVONIX_DEPS_PREFIX).
if(WIN32)
  if(NOT PAVONIX_DEPS_PREFIX OR NOT EXISTS "${PAVONIX_DEPS_PREFIX}/lib/cmake/jsoncpp")
    message(FATAL_ERROR
      "mingw dependencies not found in '${PAVONIX_DEPS_PREFIX}'. "
      "Run scripts/setup (as root) to build them, or set PAVONIX_DEPS_ROOT.")
  endif()
endif()

find_package(jsoncpp CONFIG REQUIRED)
if(NOT TARGET JsonCpp::JsonCpp)
  if(TARGET jsoncpp_static)
    add_library(JsonCpp::JsonCpp ALIAS jsoncpp_static)
  elseif(TARGET jsoncpp_lib)
    add_library(JsonCpp::JsonCpp ALIAS jsoncpp_lib)
  else()
    message(FATAL_ERROR "jsoncpp found without a jsoncpp_static or jsoncpp_lib target")
  endif()
endif()

find_package(Threads REQUIRED)
if(PAVONIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  foreach(t GTest::gtest GTest::gtest_main GTest::gmock)
    if(NOT TARGET ${t})
      message(FATAL_ERROR "GoogleTest found without the ${t} target")
    endif()
  endforeach()
endif()
