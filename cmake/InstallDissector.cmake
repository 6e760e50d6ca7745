# Installs the Wireshark dissector (run by `cmake --install`): the script
# with the path of the installed key tables written into its
# INSTALLED_KEY_FILE line, so that a copy of the script or a link to it in
# Wireshark's plugins folder still finds them.  The path is the install's
# own prefix (without DESTDIR): where the tables are when the package is in
# place.  Set by Install.cmake: NS_LUA_SOURCE, NS_LUA_BUILD (the filled-in
# copy), NS_DATADIR.
set(dir "${NS_DATADIR}/talven-ns")
if(NOT IS_ABSOLUTE "${dir}")
  set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
endif()
set(keys "${dir}/authcryp.keys")
string(REPLACE "\\" "\\\\" keys "${keys}")      # a Lua string literal
string(REPLACE "\"" "\\\"" keys "${keys}")
file(READ "${NS_LUA_SOURCE}" lua)
set(line "local INSTALLED_KEY_FILE = \"\"")
string(FIND "${lua}" "${line}" at)
if(at LESS 0)
  message(FATAL_ERROR "${NS_LUA_SOURCE} has no line '${line}' to fill in")
endif()
string(REPLACE "${line}" "local INSTALLED_KEY_FILE = \"${keys}\"" lua "${lua}")
file(WRITE "${NS_LUA_BUILD}" "${lua}")
file(INSTALL DESTINATION "${dir}/wireshark" TYPE FILE FILES "${NS_LUA_BUILD}")
