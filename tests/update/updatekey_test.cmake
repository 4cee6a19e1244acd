# The key the build takes (cmake/PavonixUpdateKey.cmake), run with cmake -P:
#   cmake -DREPO=<checkout> -DWORK=<scratch folder> -P updatekey_test.cmake
# Good keys give the 128 lower-case digits of X and Y; anything else must stop
# the configuration.
list(APPEND CMAKE_MODULE_PATH ${REPO}/cmake)
include(PavonixUpdateKey)

set(xy "3bb2d99444a82be85eb2699c67ea362701f22c188b34443271ea3704f4b0ba52dec602cffb8112a9c4347b0a48c07bfff652e00dacc196e788106db8caa953a6")
string(TOUPPER "${xy}" XY)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/wrapped.pub "04${xy}\n")
file(WRITE ${WORK}/blanks.pub "  04 ${XY}\r\n")

function(expect_key value want)
  pavonix_update_key_hex("${value}" got)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "key '${value}': got '${got}', want '${want}'")
  endif()
endfunction()

expect_key("" "")
expect_key("${xy}" "${xy}")
expect_key("04${XY}" "${xy}")
expect_key("${WORK}/wrapped.pub" "${xy}")
expect_key("${WORK}/blanks.pub" "${xy}")
# The test key pair's public half, as keygen wrote it.
pavonix_update_key_hex("${REPO}/tests/support/keys/update-test.pub" test_key)
string(LENGTH "${test_key}" n)
if(NOT n EQUAL 128)
  message(FATAL_ERROR "tests/support/keys/update-test.pub: ${n} digits")
endif()

# Refused: each runs in a cmake of its own, which must fail.
string(SUBSTRING "${xy}" 2 126 short)
foreach(bad "${short}" "05${xy}" "04${xy}00" "0x${xy}" "${WORK}/absent.pub" "g${short}g"
            "-----BEGIN PUBLIC KEY-----")
  file(WRITE ${WORK}/bad.cmake "list(APPEND CMAKE_MODULE_PATH ${REPO}/cmake)\ninclude(PavonixUpdateKey)\npavonix_update_key_hex(\"${bad}\" out)\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/bad.cmake RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    message(FATAL_ERROR "key '${bad}' was taken")
  endif()
endforeach()
# The catalogue key takes the same form; a refusal names its own variable.
file(WRITE ${WORK}/badcatalogue.cmake "list(APPEND CMAKE_MODULE_PATH ${REPO}/cmake)\ninclude(PavonixUpdateKey)\npavonix_update_key_hex(\"04\" out PAVONIX_CATALOGUE_PUBKEY)\n")
execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/badcatalogue.cmake RESULT_VARIABLE rc OUTPUT_QUIET
                ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "PAVONIX_CATALOGUE_PUBKEY is neither")
  message(FATAL_ERROR "a bad catalogue key: rc ${rc}, '${err}'")
endif()
# The key's version: 1 to 999999999 in decimal, nothing else.
foreach(good 1 7 999999999)
  pavonix_update_key_version("${good}" got)
  if(NOT got STREQUAL good)
    message(FATAL_ERROR "key version '${good}': got '${got}'")
  endif()
endforeach()
foreach(bad "" 0 01 -1 1000000000 "1 " " 1" 1.5 x "1;2")
  file(WRITE ${WORK}/badversion.cmake "list(APPEND CMAKE_MODULE_PATH ${REPO}/cmake)\ninclude(PavonixUpdateKey)\npavonix_update_key_version(\"${bad}\" out)\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/badversion.cmake RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    message(FATAL_ERROR "key version '${bad}' was taken")
  endif()
endforeach()
message(STATUS "update key: all cases as expected")
