# CheckLayers.cmake - checks that the layers hold, from the include lines.
#
#   cmake -DSOURCE_DIR=<tree> -P CheckLayers.cmake            checks the tree
#   cmake -DSELFTEST=ON -DWORK_DIR=<scratch> -P CheckLayers.cmake
#                                   checks that each kind of breach is caught
#
# The layers, bottom up: support/ (configuration, logging, signals), which
# knows no name service; rsockmap/ (the name-service client); the tools
# (admin/ for nsadmin, tools/<tool>/), which use the installed headers.
# The rules:
#  1. Nothing under support/ or include/talven-ns/support/ includes a
#     name-service header, except support/sockets.h, the compatibility header
#     that gathers signals.h and rsockmap/servsock.h for older callers.
#  2. Nothing inside the library includes that compatibility header.
#  3. An installed header includes only installed headers.
#  4. A tool includes its own files, installed headers, the header-only
#     helpers of tools/common/ (as "../common/NAME.hpp"), and at most one
#     internal header: rsockmap/internal/<tool>_internal.hpp, which says why
#     it exists; each header there belongs to an existing tool.
# Includes in angle brackets count too when they name a folder of the tree.
cmake_minimum_required(VERSION 3.25)

# The files "<" or "\"" and the included path of every #include in `file`,
# as a list of "kind|path".
function(ns_includes file out)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  set(result "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)")
      list(APPEND result "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# True when an include in angle brackets names something of this tree.
function(ns_is_ours path out)
  if(path MATCHES "^(rsockmap|support|admin|tools|include)/" OR path MATCHES "\\.\\.|_internal\\.h")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Appends to `errors` (in the caller) every breach of the rules in `root`.
function(ns_check_tree root errors)
  set(found "")
  set(public ${root}/include/talven-ns)

  # 1 and 2: the bottom layer, and the compatibility header.
  file(GLOB_RECURSE lib_files ${root}/support/* ${root}/rsockmap/*
       ${public}/support/* ${public}/rsockmap/*)
  foreach(f IN LISTS lib_files)
    file(RELATIVE_PATH rel ${root} ${f})
    ns_includes(${f} incs)
    foreach(inc IN LISTS incs)
      string(REGEX REPLACE "^.\\|" "" path "${inc}")
      set(bottom FALSE)
      if(rel MATCHES "^(include/talven-ns/)?support/" AND
         NOT rel STREQUAL "include/talven-ns/support/sockets.h")
        set(bottom TRUE)
      endif()
      if(bottom AND path MATCHES "rsockmap")
        list(APPEND found "${rel}: the bottom layer includes the name-service header ${path}")
      endif()
      if(NOT rel MATCHES "^include/" AND path STREQUAL "support/sockets.h")
        list(APPEND found "${rel}: the library includes the compatibility header ${path}")
      endif()
    endforeach()
  endforeach()

  # 3: installed headers.
  file(GLOB_RECURSE public_files ${public}/*)
  foreach(f IN LISTS public_files)
    file(RELATIVE_PATH rel ${root} ${f})
    ns_includes(${f} incs)
    foreach(inc IN LISTS incs)
      string(SUBSTRING "${inc}" 0 1 kind)
      string(REGEX REPLACE "^.\\|" "" path "${inc}")
      ns_is_ours("${path}" ours)
      if((kind STREQUAL "\"" OR ours) AND (path MATCHES "\\.\\." OR NOT EXISTS ${public}/${path}))
        list(APPEND found "${rel}: an installed header includes ${path}, which is not installed")
      endif()
    endforeach()
  endforeach()

  # 4: the tools.
  set(tool_dirs "")
  if(IS_DIRECTORY ${root}/admin)
    list(APPEND tool_dirs "nsadmin|${root}/admin")
  endif()
  file(GLOB tool_candidates LIST_DIRECTORIES true ${root}/tools/*)
  set(tool_names "")
  foreach(d IN LISTS tool_candidates)
    if(IS_DIRECTORY ${d})
      get_filename_component(name ${d} NAME)
      list(APPEND tool_dirs "${name}|${d}")
      list(APPEND tool_names ${name})
    endif()
  endforeach()
  foreach(entry IN LISTS tool_dirs)
    string(REGEX REPLACE "\\|.*" "" tool "${entry}")
    string(REGEX REPLACE "^[^|]*\\|" "" dir "${entry}")
    file(GLOB_RECURSE sources ${dir}/*.cpp ${dir}/*.hpp ${dir}/*.h ${dir}/*.c)
    foreach(f IN LISTS sources)
      file(RELATIVE_PATH rel ${root} ${f})
      get_filename_component(here ${f} DIRECTORY)
      ns_includes(${f} incs)
      foreach(inc IN LISTS incs)
        string(SUBSTRING "${inc}" 0 1 kind)
        string(REGEX REPLACE "^.\\|" "" path "${inc}")
        ns_is_ours("${path}" ours)
        if(kind STREQUAL "<" AND NOT ours)
          continue()  # a system header
        endif()
        if(path MATCHES "^\\.\\./common/[A-Za-z0-9_]+\\.hpp$" AND
           here STREQUAL dir AND EXISTS ${here}/${path})
          continue()  # the tools' shared header-only helpers
        endif()
        if(path MATCHES "\\.\\.")
          # Climbing out of a folder reaches anything; never allowed.
        elseif(EXISTS ${public}/${path})
          continue()  # an installed header
        elseif(kind STREQUAL "\"" AND EXISTS ${here}/${path})
          continue()  # the tool's own file
        endif()
        if(path STREQUAL "${tool}_internal.hpp" AND
           EXISTS ${root}/rsockmap/internal/${tool}_internal.hpp)
          continue()  # its one named internal header
        endif()
        list(APPEND found "${rel}: ${tool} includes the private header ${path}")
      endforeach()
    endforeach()
  endforeach()
  file(GLOB internal_headers ${root}/rsockmap/internal/*)
  foreach(f IN LISTS internal_headers)
    get_filename_component(name ${f} NAME)
    string(REGEX REPLACE "_internal\\.hpp$" "" owner "${name}")
    if(owner STREQUAL name OR NOT owner IN_LIST tool_names)
      list(APPEND found "rsockmap/internal/${name}: not the internal header of a tool in tools/")
    endif()
  endforeach()

  set(${errors} "${found}" PARENT_SCOPE)
endfunction()

# --- the self-test: a small tree with one breach of each rule ---------------
function(ns_write path text)
  file(WRITE ${WORK_DIR}/tree/${path} "${text}\n")
endfunction()

if(SELFTEST)
  if(NOT WORK_DIR)
    message(FATAL_ERROR "SELFTEST needs WORK_DIR")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR}/tree)
  # What the rules allow.
  ns_write(include/talven-ns/rsockmap/rsockmap.h "#include <stddef.h>")
  ns_write(include/talven-ns/rsockmap/servsock.h "#include \"rsockmap/rsockmap.h\"")
  ns_write(include/talven-ns/support/signals.h "#include <signal.h>")
  ns_write(include/talven-ns/support/sockets.h "#include \"rsockmap/servsock.h\"")
  ns_write(rsockmap/record.hpp "#include \"rsockmap/rsockmap.h\"")
  ns_write(rsockmap/internal/nsmd_internal.hpp "#include \"../record.hpp\"")
  ns_write(support/signals.cpp "#include \"support/signals.h\"")
  ns_write(support/unique_fd.hpp "#include <unistd.h>")
  ns_write(tools/nsmd/server.hpp "#include <vector>")
  ns_write(tools/nsmd/server.cpp
    "#include \"server.hpp\"\n#include \"nsmd_internal.hpp\"\n#include \"support/signals.h\"")
  ns_write(admin/options.cpp "#include \"census.h\"\n  #  include <rsockmap/servsock.h>")
  ns_write(admin/census.h "#include \"rsockmap/census.h\"")
  ns_write(include/talven-ns/rsockmap/census.h "#include \"rsockmap/rsockmap.h\"")
  ns_check_tree(${WORK_DIR}/tree clean)
  if(clean)
    string(REPLACE ";" "\n  " clean "${clean}")
    message(FATAL_ERROR "the check refused a tree that keeps the rules:\n  ${clean}")
  endif()

  # One breach of each kind.
  ns_write(support/debug.cpp "#include \"rsockmap/rsockmap.h\"")
  ns_write(include/talven-ns/support/env.h "#include <rsockmap/rsockmap.h>")
  ns_write(rsockmap/exchange.cpp "#include \"support/sockets.h\"")
  ns_write(include/talven-ns/support/debug.h "#include \"support/unique_fd.hpp\"")
  ns_write(tools/nsmd/protocol.cpp "#include \"rsockmap/record.hpp\"")
  ns_write(tools/nsquery/commands.cpp "#include \"nsmd_internal.hpp\"")
  ns_write(tools/nslogd/nslogd.cpp "#include \"../../support/unique_fd.hpp\"")
  ns_write(admin/census.cpp "#include <rsockmap/location_internal.hpp>")
  ns_write(rsockmap/internal/shared.hpp "")
  ns_check_tree(${WORK_DIR}/tree errors)
  set(expected
    "support/debug.cpp: the bottom layer includes"
    "include/talven-ns/support/env.h: the bottom layer includes"
    "rsockmap/exchange.cpp: the library includes the compatibility header"
    "include/talven-ns/support/debug.h: an installed header includes support/unique_fd.hpp"
    "tools/nsmd/protocol.cpp: nsmd includes the private header rsockmap/record.hpp"
    "tools/nsquery/commands.cpp: nsquery includes the private header nsmd_internal.hpp"
    "tools/nslogd/nslogd.cpp: nslogd includes the private header ../../support/unique_fd.hpp"
    "admin/census.cpp: nsadmin includes the private header rsockmap/location_internal.hpp"
    "rsockmap/internal/shared.hpp: not the internal header of a tool")
  list(LENGTH errors got)
  list(LENGTH expected want)
  foreach(e IN LISTS expected)
    string(FIND "${errors}" "${e}" at)
    if(at LESS 0)
      string(REPLACE ";" "\n  " errors "${errors}")
      message(FATAL_ERROR "the check missed \"${e}\"; it found:\n  ${errors}")
    endif()
  endforeach()
  if(NOT got EQUAL want)
    string(REPLACE ";" "\n  " errors "${errors}")
    message(FATAL_ERROR "the check found ${got} breaches, not ${want}:\n  ${errors}")
  endif()
  message(STATUS "layers self-test: every breach caught")
  return()
endif()

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> -P CheckLayers.cmake")
endif()
ns_check_tree(${SOURCE_DIR} errors)
if(errors)
  string(REPLACE ";" "\n  " errors "${errors}")
  message(FATAL_ERROR "the layers do not hold:\n  ${errors}")
endif()
message(STATUS "layers hold")
