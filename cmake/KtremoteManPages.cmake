# SPDX-License-Identifier: MIT
# Manual pages of the tools: docs/man/<tool>.1.in with the version filled in
# becomes <build>/man/<tool>.1 (readable with `man -l`), gzipped at build time
# into <tool>.1.gz, which is installed with the tools. gzip -n leaves out the
# name and time stamp, so the same page always gives the same bytes.

if(NOT UNIX)
  return()
endif()
find_program(KTREMOTE_GZIP gzip)

set(_ktremote_man_dir ${PROJECT_BINARY_DIR}/man)
set(_ktremote_man_outputs)
foreach(_tool ktsim ktcli)
  if(NOT TARGET ${_tool})
    continue()
  endif()
  set(_page ${_ktremote_man_dir}/${_tool}.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${_tool}.1.in ${_page} @ONLY)
  if(KTREMOTE_GZIP)
    add_custom_command(OUTPUT ${_page}.gz
      COMMAND ${KTREMOTE_GZIP} -9nkf ${_page}
      DEPENDS ${_page}
      COMMENT "Compressing the manual page ${_tool}(1)"
      VERBATIM)
    list(APPEND _ktremote_man_outputs ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    install(FILES ${_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endforeach()
if(_ktremote_man_outputs)
  add_custom_target(ktremote_man_pages ALL DEPENDS ${_ktremote_man_outputs})
endif()
