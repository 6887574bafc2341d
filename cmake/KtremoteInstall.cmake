# SPDX-License-Identifier: MIT
# Install rules: `cmake --install` puts the headers, the shared library of
# this build, the tools and their manual pages, the Python package, a CMake
# package and a pkg-config file under the prefix. Each file belongs to one
# component: runtime (the library), development, tools or python; the Debian
# packages are made of these (KtremotePackage.cmake). Everything refers to
# everything else by relative paths, so an installed tree can be moved (a
# staging prefix, a .deb).
#
# Consumers:
#   find_package(ktremote 1.1 REQUIRED)
#   target_link_libraries(app PRIVATE ktremote::ktremote)   # C
#   target_link_libraries(app PRIVATE ktremote::cxx)        # C++ wrapper
#   pkg-config --cflags --libs ktremote

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Both may be set on the command line; relative to the prefix.
if(NOT DEFINED KTREMOTE_INSTALL_CMAKEDIR)
  set(KTREMOTE_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/ktremote")
endif()
if(NOT DEFINED KTREMOTE_INSTALL_PYTHONDIR)
  set(KTREMOTE_INSTALL_PYTHONDIR "lib/python3/dist-packages")
endif()

# -- library and headers
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_ktremote_bits 64)
else()
  set(_ktremote_bits 32)
endif()
install(TARGETS ${KTREMOTE_SHARED_TARGET} EXPORT ktremoteTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/ktremote.h ${PROJECT_SOURCE_DIR}/include/ktremote.hpp
  ${PROJECT_SOURCE_DIR}/include/ktremote_results.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# -- CMake package, in the library directory: one per word size. Its version
# file turns away consumers of the other word size, so that find_package
# goes on to the package that fits.
install(EXPORT ktremoteTargets NAMESPACE ktremote:: FILE ktremoteTargets.cmake
  DESTINATION ${KTREMOTE_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ktremoteConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ktremoteConfig.cmake
  INSTALL_DESTINATION ${KTREMOTE_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ktremoteConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ktremoteConfig.cmake ${PROJECT_BINARY_DIR}/ktremoteConfigVersion.cmake
  DESTINATION ${KTREMOTE_INSTALL_CMAKEDIR} COMPONENT development)

# -- pkg-config: the prefix is found from the .pc file's own place.
file(RELATIVE_PATH KTREMOTE_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KTREMOTE_PC_TO_PREFIX "${KTREMOTE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ktremote.pc.in ${PROJECT_BINARY_DIR}/ktremote.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ktremote.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# -- tools, when this tree builds them, with their manual pages. They find
# the library relative to their own place.
file(RELATIVE_PATH _ktremote_bin_to_lib
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
foreach(_tool ktsim ktcli)
  if(TARGET ${_tool})
    set_target_properties(${_tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${_ktremote_bin_to_lib}")
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/KtremoteManPages.cmake)

# -- Python package, with the relative ways from it to the library and the
# tools.
file(RELATIVE_PATH KTREMOTE_PYTHON_TO_LIB
  ${CMAKE_INSTALL_PREFIX}/${KTREMOTE_INSTALL_PYTHONDIR}/ktremote ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH KTREMOTE_PYTHON_TO_BIN
  ${CMAKE_INSTALL_PREFIX}/${KTREMOTE_INSTALL_PYTHONDIR}/ktremote ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/_installed.py.in
  ${PROJECT_BINARY_DIR}/python/_installed${_ktremote_bits}.py @ONLY)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/ktremote
  DESTINATION ${KTREMOTE_INSTALL_PYTHONDIR} COMPONENT python
  PATTERN __pycache__ EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/python/_installed${_ktremote_bits}.py
  DESTINATION ${KTREMOTE_INSTALL_PYTHONDIR}/ktremote COMPONENT python)

# -- documentation and example sources; the examples' CMakeLists.txt builds
# them against the installed package.
install(FILES ${PROJECT_SOURCE_DIR}/docs/api.md ${PROJECT_SOURCE_DIR}/docs/labview.md ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
install(FILES
  ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
  ${PROJECT_SOURCE_DIR}/examples/stream.c
  ${PROJECT_SOURCE_DIR}/examples/stream.cpp
  ${PROJECT_SOURCE_DIR}/examples/stream.py
  ${PROJECT_SOURCE_DIR}/examples/hello.c
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
