# pavonix_update_key_hex(<value> <out-var> [<variable name>])
# The public key of signed update replies, from PAVONIX_UPDATE_PUBKEY: the
# path of a key file or the key's text, either being the uncompressed P-256
# point in hexadecimal ("04" then X and Y, or X and Y alone; blanks and line
# breaks ignored), as `pavonix_services.py keygen` writes it. Sets <out-var>
# to the 128 lower-case digits of X and Y, or "" for an empty value. Anything
# else stops the configuration: a build must never ship a key that cannot
# check anything. The catalogue key takes the same form.
function(pavonix_update_key_hex value out)
  set(name PAVONIX_UPDATE_PUBKEY)
  if(ARGC GREATER 2)
    set(name ${ARGV2})
  endif()
  set(text "${value}")
  if(NOT text STREQUAL "" AND EXISTS "${text}" AND NOT IS_DIRECTORY "${text}")
    file(READ "${text}" text)
  endif()
  string(REGEX REPLACE "[ \t\r\n]" "" text "${text}")
  string(TOLOWER "${text}" text)
  string(LENGTH "${text}" len)
  if(len EQUAL 130 AND text MATCHES "^04")
    string(SUBSTRING "${text}" 2 128 text)
    set(len 128)
  endif()
  if(NOT len EQUAL 0 AND (NOT len EQUAL 128 OR NOT text MATCHES "^[0-9a-f]+$"))
    message(FATAL_ERROR "${name} is neither empty nor a P-256 public key in "
                        "hexadecimal (a file or its text): '${value}'")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# pavonix_update_key_version(<value> <out-var> [<variable name>])
# The version of that key (PAVONIX_UPDATE_PUBKEY_VERSION), which the program
# names in every signed request and the service signs with: a decimal number
# from 1 to 999999999 without leading zeros. Anything else stops the
# configuration.
function(pavonix_update_key_version value out)
  set(name PAVONIX_UPDATE_PUBKEY_VERSION)
  if(ARGC GREATER 2)
    set(name ${ARGV2})
  endif()
  if(NOT "${value}" MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "${name} is not a key version (1 to 999999999): "
                        "'${value}'")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
