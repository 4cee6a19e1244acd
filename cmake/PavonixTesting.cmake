include(GoogleTest)

# Tests run natively, or under Wine through CMAKE_CROSSCOMPILING_EMULATOR:
# 64-bit Wine for win64, the WoW64 root for win32.
set(PAVONIX_RUN_TESTS ON)

# pavonix_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                  [RESOURCE_LOCK <names...>])
# Every GoogleTest case becomes one ctest test. RESOURCE_LOCK keeps the cases
# from running beside other tests holding the same name: under Wine all
# programs share one desktop, so a case that looks for windows it did not make
# (FindWindow, EnumWindows, properties) takes RESOURCE_LOCK wine_desktop.
function(pavonix_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  if(PAVONIX_RUN_TESTS)
    set(props TIMEOUT 300 LABELS "${T_LABELS}")
    if(T_RESOURCE_LOCK)
      list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 180
      PROPERTIES ${props})
  endif()
endfunction()
