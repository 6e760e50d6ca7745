# Install rules and packaging.
#
# `cmake --install build [--prefix DIR]` lays out, under the prefix:
#   bin/            nsadmin, nsquery, nsmd, nslogd (those that are built)
#   LIBDIR/         libnsclient.so.1.0.0, its SONAME link libnsclient.so.1,
#                   the development link libnsclient.so, and libnsclient.a;
#                   LIBDIR is lib/<multiarch triplet> on Debian (see below)
#   LIBDIR/cmake/TalvenNS/   package config: find_package(TalvenNS) gives the
#                            targets TalvenNS::nsclient (the shared library)
#                            and TalvenNS::nsclient_static (the archive)
#   LIBDIR/pkgconfig/talven-ns.pc
#   include/talven-ns/       the tree's include/talven-ns as it is:
#                            rsockmap/{rsockmap,servsock,census}.h and
#                            support/{api,env,debug,signals,sockets}.h (they include
#                            each other as "rsockmap/rsockmap.h", so the layout
#                            below include/talven-ns is kept)
#   share/man/man1, man3, man5, man7   the manual pages
#   share/bash-completion/completions/   completion for nsadmin and nsquery
#   share/doc/talven-ns/     README.md
#   share/talven-ns/         the Wireshark dissector (wireshark/talven-ns.lua)
#                            and the key tables it reads (authcryp.keys)
#
# Every file belongs to one of three components, which are the three Debian
# packages that packaging/mkdebs makes (packaging/debian/control):
#   runtime       libnsclient1: the shared object alone
#   development   libnsclient-dev: headers, archive, development link,
#                 pkg-config file, CMake package, section 3 pages
#   programs      talven-ns: everything else (the default component, so an
#                 install rule that names none lands here)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME programs)

# The library directory.  GNUInstallDirs chooses Debian's multiarch directory
# (lib/x86_64-linux-gnu) only when the prefix is /usr at configure time; the
# packages are made from any build with the prefix /usr, so a plain "lib" on
# a multiarch system becomes lib/<triplet> here (a directory that the loader,
# pkg-config and find_package search under /usr/local too).
set(NS_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
if(NS_INSTALL_LIBDIR STREQUAL "lib" AND CMAKE_LIBRARY_ARCHITECTURE)
  set(NS_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(NS_INSTALL_LIBDIR ${NS_INSTALL_LIBDIR} CACHE INTERNAL "The library directory, under the prefix")
set(NS_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/talven-ns)
set(NS_INSTALL_CMAKEDIR ${NS_INSTALL_LIBDIR}/cmake/TalvenNS)
set(NS_INSTALL_PKGCONFIGDIR ${NS_INSTALL_LIBDIR}/pkgconfig)
# The library is C++ inside with a C interface: the shared object names the
# C++ runtime itself, but a program that links the archive with the C
# compiler's driver must name it.
set(NS_CXX_RUNTIME_LIB stdc++ CACHE STRING
    "C++ runtime library that C programs linking libnsclient.a need")

# --- programs: each one only when it is part of this build -----------------
foreach(prog nsadmin nsquery nsmd nslogd)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()

# --- the libraries, their headers and the CMake package ---------------------
foreach(lib nsclient nsclient_shared)
  target_include_directories(${lib} PUBLIC $<INSTALL_INTERFACE:${NS_INSTALL_INCLUDEDIR}>)
endforeach()
target_link_libraries(nsclient INTERFACE $<INSTALL_INTERFACE:${NS_CXX_RUNTIME_LIB}>)

install(TARGETS nsclient_shared nsclient EXPORT TalvenNSTargets
  LIBRARY DESTINATION ${NS_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${NS_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/talven-ns/
  DESTINATION ${NS_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")

install(EXPORT TalvenNSTargets
  NAMESPACE TalvenNS::
  DESTINATION ${NS_INSTALL_CMAKEDIR} COMPONENT development)
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
  DESTINATION ${NS_INSTALL_CMAKEDIR} COMPONENT development)

# --- pkg-config -------------------------------------------------------------
# The .pc file finds the prefix from its own place (${pcfiledir}), so it stays
# right whatever prefix `cmake --install --prefix` or a package gives it.
if(IS_ABSOLUTE "${NS_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(NS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(NS_PC_LIBDIR "${NS_INSTALL_LIBDIR}")
  set(NS_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}/talven-ns")
else()
  file(RELATIVE_PATH ns_pc_up "/p/${NS_INSTALL_PKGCONFIGDIR}" "/p")
  string(REGEX REPLACE "/$" "" ns_pc_up "${ns_pc_up}")
  set(NS_PC_PREFIX "\${pcfiledir}/${ns_pc_up}")
  set(NS_PC_LIBDIR "\${prefix}/${NS_INSTALL_LIBDIR}")
  set(NS_PC_INCLUDEDIR "\${prefix}/${NS_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/talven-ns.pc.in
  ${CMAKE_BINARY_DIR}/packaging/talven-ns.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/talven-ns.pc
  DESTINATION ${NS_INSTALL_PKGCONFIGDIR} COMPONENT development)

# --- manual pages, shell completion, documentation --------------------------
# A program's page and completion go with the program; the library's pages
# (section 3) with the headers.
set(ns_man_pages man/nsadmin.1 man/talven.conf.5 man/talven-ns-wireshark.7)
foreach(prog nsquery nsmd nslogd)
  if(TARGET ${prog})
    list(APPEND ns_man_pages man/${prog}.1)
  endif()
endforeach()
file(GLOB ns_man3_pages CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/man/man3/*.3)
# Installed compressed, as man(1) and Debian expect (gzip -9n: no name or
# time stamp inside, so the package is the same from build to build).
set(ns_man_gz "")
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/man/links)
foreach(page ${ns_man_pages} ${ns_man3_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section "${page}")
  set(component programs)
  if(section STREQUAL "3")
    set(component development)
  endif()
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${CMAKE_SOURCE_DIR}/${page} ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/${page}
    COMMENT "Compressing ${page}"
    VERBATIM)
  list(APPEND ns_man_gz ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})

  # A library page documents every function its NAME line names, "f, g, h
  # \- what they do": `man 3 g` finds it through a link g.3.gz -> f.3.gz.
  if(section STREQUAL "3")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${page})
    file(STRINGS ${CMAKE_SOURCE_DIR}/${page} lines)
    list(FIND lines ".SH NAME" at)
    math(EXPR at "${at} + 1")
    list(GET lines ${at} names)
    string(REGEX REPLACE " \\\\- .*$" "" names "${names}")
    string(REPLACE ", " ";" names "${names}")
    get_filename_component(stem ${page} NAME_WE)
    foreach(fn ${names})
      if(NOT fn STREQUAL stem)
        file(CREATE_LINK ${name}.gz ${CMAKE_BINARY_DIR}/man/links/${fn}.3.gz SYMBOLIC)
        install(FILES ${CMAKE_BINARY_DIR}/man/links/${fn}.3.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)
      endif()
    endforeach()
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ns_man_gz})

foreach(prog nsadmin nsquery)
  if(TARGET ${prog})
    install(FILES ${CMAKE_SOURCE_DIR}/completion/${prog}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT programs)
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talven-ns COMPONENT programs)

# --- Wireshark dissector ------------------------------------------------------
# The Lua dissector and, as its default key tables, the file this build was
# made with; the script is installed with the path of
# share/talven-ns/authcryp.keys under the install's prefix written into it
# (cmake/InstallDissector.cmake), so a link to it in the plugins folder finds
# the tables too.
install(CODE "set(NS_LUA_SOURCE \"${CMAKE_SOURCE_DIR}/wireshark/talven-ns.lua\")
set(NS_LUA_BUILD \"${CMAKE_BINARY_DIR}/wireshark/talven-ns.lua\")
set(NS_DATADIR \"${CMAKE_INSTALL_DATADIR}\")" COMPONENT programs)
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/InstallDissector.cmake COMPONENT programs)
install(FILES ${NS_KEY_FILE}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/talven-ns RENAME authcryp.keys COMPONENT programs)

# --- Debian packages and the source tarball ----------------------------------
# The three Debian packages of the components above are made by
# packaging/mkdebs BUILD_DIR OUT_DIR (see packaging/debian/control).
# `cmake --build build --target package_source`: the source tree as a
# tarball, without builds and version control.
set(CPACK_PACKAGE_NAME talven-ns)
set(CPACK_PACKAGE_VENDOR "Talven")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR TGZ)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build/" "/build-[^/]*/" "\\\\.swp$")
include(CPack)
