# Turns the key data file into C++ tables.
# The file holds whitespace-separated two-digit hex bytes; lines that begin
# with '#' are comments.  Exactly 152 bytes: K0 (24) then K1 (128).
if(NOT EXISTS "${KEY_FILE}")
  message(FATAL_ERROR "key file ${KEY_FILE} does not exist")
endif()
file(STRINGS "${KEY_FILE}" lines)
set(bytes "")
set(lineno 0)
foreach(line IN LISTS lines)
  math(EXPR lineno "${lineno} + 1")
  if(line MATCHES "^#")
    continue()
  endif()
  string(REGEX REPLACE "[ \t\r\n]+" ";" words "${line}")
  foreach(w IN LISTS words)
    if(w STREQUAL "")
      continue()
    endif()
    if(NOT w MATCHES "^[0-9A-Fa-f][0-9A-Fa-f]$")
      message(FATAL_ERROR "${KEY_FILE}:${lineno}: '${w}' is not a two-digit hex byte")
    endif()
    list(APPEND bytes "0x${w}")
  endforeach()
endforeach()
list(LENGTH bytes n)
if(NOT n EQUAL 152)
  message(FATAL_ERROR "${KEY_FILE}: holds ${n} bytes; the key tables need exactly 152 (K0: 24, then K1: 128)")
endif()
list(SUBLIST bytes 0 24 k0)
list(SUBLIST bytes 24 128 k1)
string(JOIN ", " k0s ${k0})
string(JOIN ", " k1s ${k1})
file(WRITE "${OUT}.tmp"
"// Generated from ${KEY_FILE}; edit that file, not this one.\n"
"#include \"rsockmap/authcryp.hpp\"\n\n"
"namespace authcryp {\n"
"const std::array<std::uint8_t, 24> K0 = {${k0s}};\n"
"const std::array<std::uint8_t, 128> K1 = {${k1s}};\n"
"}  // namespace authcryp\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
