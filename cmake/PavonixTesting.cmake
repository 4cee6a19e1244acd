include(GoogleTest)

# Tests run natively, or under Wine through CMAKE_CROSSCOMPILING_EMULATOR in
# the win64 build. The win32 build compiles its tests but cannot run them.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PAVONIX_RUN_TESTS OFF)
else()
  set(PAVONIX_RUN_TESTS ON)
endif()

# pavonix_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
function(pavonix_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  if(PAVONIX_RUN_TESTS)
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 180
      PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}")
  endif()
endfunction()
