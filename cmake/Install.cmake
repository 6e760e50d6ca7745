# Install rules and packaging.
#
# `cmake --install build [--prefix DIR]` lays out, under the prefix:
#   bin/            nsadmin, nsquery, nsmd, nslogd (those that are built)
#   lib*/           libnsclient.a
#   lib*/cmake/TalvenNS/     package config: find_package(TalvenNS) gives
#                            the target TalvenNS::nsclient
#   lib*/pkgconfig/talven-ns.pc
#   include/talven-ns/       the tree's include/talven-ns as it is:
#                            rsockmap/{rsockmap,servsock,census}.h and
#                            support/{env,debug,signals,sockets}.h (they include
#                            each other as "rsockmap/rsockmap.h", so the layout
#                            below include/talven-ns is kept)
#   share/man/man1, man5     the manual pages
#   share/bash-completion/completions/   completion for nsadmin and nsquery
#   share/doc/talven-ns/     README.md
#
# `cpack -G DEB` (from the build directory) turns the same tree, with the
# prefix /usr (CPack's default for Debian packages), into a Debian package.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NS_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/talven-ns)
set(NS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/TalvenNS)
set(NS_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The library is C++ inside with a C interface: a program that links it with
# the C compiler's driver needs the C++ runtime named explicitly.
set(NS_CXX_RUNTIME_LIB stdc++ CACHE STRING
    "C++ runtime library that C programs linking libnsclient.a need")

# --- programs: each one only when it is part of this build -----------------
foreach(prog nsadmin nsquery nsmd nslogd)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# --- the library, its headers and the CMake package ------------------------
target_include_directories(nsclient PUBLIC
  $<INSTALL_INTERFACE:${NS_INSTALL_INCLUDEDIR}>)
target_link_libraries(nsclient INTERFACE
  $<INSTALL_INTERFACE:${NS_CXX_RUNTIME_LIB}>)

install(TARGETS nsclient EXPORT TalvenNSTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/talven-ns/
  DESTINATION ${NS_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT TalvenNSTargets
  NAMESPACE TalvenNS::
  DESTINATION ${NS_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_SOURCE_DIR}/packaging/TalvenNSConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/TalvenNSConfig.cmake
  INSTALL_DESTINATION ${NS_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/packaging/TalvenNSConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/TalvenNSConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/TalvenNSConfigVersion.cmake
  DESTINATION ${NS_INSTALL_CMAKEDIR})

# --- pkg-config -------------------------------------------------------------
# The .pc file finds the prefix from its own place (${pcfiledir}), so it stays
# right whatever prefix `cmake --install --prefix` or a package gives it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(NS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(NS_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(NS_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}/talven-ns")
else()
  file(RELATIVE_PATH ns_pc_up "/p/${NS_INSTALL_PKGCONFIGDIR}" "/p")
  string(REGEX REPLACE "/$" "" ns_pc_up "${ns_pc_up}")
  set(NS_PC_PREFIX "\${pcfiledir}/${ns_pc_up}")
  set(NS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(NS_PC_INCLUDEDIR "\${prefix}/${NS_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/talven-ns.pc.in
  ${CMAKE_BINARY_DIR}/packaging/talven-ns.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/talven-ns.pc
  DESTINATION ${NS_INSTALL_PKGCONFIGDIR})

# --- manual pages, shell completion, documentation --------------------------
# A program's page and completion go with the program.
set(ns_man_pages man/nsadmin.1 man/talven.conf.5)
foreach(prog nsquery nsmd nslogd)
  if(TARGET ${prog})
    list(APPEND ns_man_pages man/${prog}.1)
  endif()
endforeach()
# Installed compressed, as man(1) and Debian expect (gzip -9n: no name or
# time stamp inside, so the package is the same from build to build).
set(ns_man_gz "")
foreach(page ${ns_man_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section "${page}")
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${CMAKE_SOURCE_DIR}/${page} ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/${page}
    COMMENT "Compressing ${page}"
    VERBATIM)
  list(APPEND ns_man_gz ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
add_custom_target(man_pages ALL DEPENDS ${ns_man_gz})

foreach(prog nsadmin nsquery)
  if(TARGET ${prog})
    install(FILES ${CMAKE_SOURCE_DIR}/completion/${prog}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talven-ns)

# --- Debian package -----------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talven-ns)
set(CPACK_PACKAGE_VENDOR "Talven")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "administration tool and client library of the local-network name service")
set(CPACK_PACKAGE_DESCRIPTION
"nsadmin looks up, registers and unregisters service and PC names in the
name service of the local network and lists its name servers.  nsquery
queries name lists, admin hosts and named services.  nsmd and nslogd are
local stand-ins for a name server and the log server, for testing.  The
package also carries the static client library, its C headers, a CMake
package (TalvenNS) and a pkg-config file (talven-ns).")
set(CPACK_PACKAGE_CONTACT "Talven name service developers <ns-dev@talven.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are read off the programs by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES OFF)
# `make package_source`: the source tree without builds and version control.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build/" "/build-[^/]*/" "\\\\.swp$")
include(CPack)
