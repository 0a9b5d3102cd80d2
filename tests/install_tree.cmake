# Installs the build into a fresh prefix and checks what lands there:
#   cmake -DBUILD_DIR=... -DPREFIX=... -DDESKTOP_FILE_VALIDATE=... -DAPPSTREAMCLI=... -P install_tree.cmake

foreach(var BUILD_DIR PREFIX DESKTOP_FILE_VALIDATE APPSTREAMCLI)
  if(NOT ${var})
    message(FATAL_ERROR "install_tree: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

# Exactly these files: the program and its desktop integration, no test or tool.
set(expected
  bin/kalu
  share/applications/kalu.desktop
  share/metainfo/io.github.kalu.Kalu.metainfo.xml
  share/icons/hicolor/scalable/apps/kalu.svg)
foreach(size 16 22 24 32 48 64 128 256)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/kalu.png)
endforeach()
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  string(REPLACE ";" "\n  " got "${installed}")
  string(REPLACE ";" "\n  " want "${expected}")
  message(FATAL_ERROR "installed files differ.\ngot:\n  ${got}\nexpected:\n  ${want}")
endif()
message(STATUS "installed: ${installed}")

execute_process(COMMAND test -x "${PREFIX}/bin/kalu" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PREFIX}/bin/kalu is not executable")
endif()

execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${PREFIX}/share/applications/kalu.desktop"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "desktop-file-validate rejects the installed kalu.desktop")
endif()

# validate-tree also finds the desktop file that the metainfo launches.
execute_process(COMMAND "${APPSTREAMCLI}" validate-tree --no-net "${PREFIX}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "appstreamcli validate-tree rejects the installed tree")
endif()
file(REMOVE_RECURSE "${PREFIX}")
