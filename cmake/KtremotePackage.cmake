# SPDX-License-Identifier: MIT
# Debian packages of an install tree: `cpack -G DEB` in a build tree gives
# one package per install component, named the Debian way:
#
#   runtime      lib<library><soversion>  the shared library (libktremote64-1
#                                         in 64-bit, libktremote1 in 32-bit
#                                         builds; the name follows the soname)
#   development  libktremote-dev          headers, CMake package, pkg-config
#                                         file, documentation, examples
#   tools        ktremote-tools           ktcli and ktsim, manual pages
#   python       python3-ktremote         the Python package
#
# The last three depend on the runtime package of exactly their version.
# Every package carries /usr/share/doc/<package>/copyright and
# changelog.Debian.gz, made from cmake/debian/.

get_target_property(_ktremote_soversion ${KTREMOTE_SHARED_TARGET} SOVERSION)
set(_ktremote_runtime_package lib${KTREMOTE_SHARED_TARGET})
if(_ktremote_runtime_package MATCHES "[0-9]$")
  string(APPEND _ktremote_runtime_package "-")
endif()
string(APPEND _ktremote_runtime_package ${_ktremote_soversion})

set(CPACK_PACKAGE_NAME ktremote)
set(CPACK_PACKAGE_VENDOR "ktremote developers")
set(CPACK_PACKAGE_CONTACT "ktremote developers <ktremote@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision comes from the newest entry of cmake/debian/changelog,
# "ktremote (<version>-<revision>) ...". Its version must be the project's:
# a new version needs a changelog entry (tests/packaging/run.sh checks the
# built packages too).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog _ktremote_changelog_top LIMIT_COUNT 1)
if(NOT _ktremote_changelog_top MATCHES "^ktremote \\(([^)]+)-([^)-]+)\\) ")
  message(FATAL_ERROR "cmake/debian/changelog does not start with \"ktremote (<version>-<revision>) ...\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "the newest entry of cmake/debian/changelog is for version ${CMAKE_MATCH_1}, "
    "the project is version ${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: it would become the first line of
# every package's description; each component's description below starts
# with its own summary line instead.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg names the host's architecture; a -m32 tree packages an i386 library.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
set(CPACK_STRIP_FILES ON)
# Build trees and sources do not belong into the package.
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")

set(CPACK_COMPONENTS_ALL runtime development python)
if(TARGET ktcli OR TARGET ktsim)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

# Descriptions: a summary line, then the text as it is shown (lines of at
# most 80 characters).
set(_ktremote_common_description
"Host programs load libktremote to drive a running Kaltrop data-acquisition
application over TCP (commands, channel discovery, measuring and storing)
and to read the samples it streams.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_ktremote_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"client library for remote control of the Kaltrop application
${_ktremote_common_description}
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libktremote-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"client library for the Kaltrop application (development files)
${_ktremote_common_description}
.
This package holds the C header, the C++17 wrapper, the CMake package, the
pkg-config file, the reference documentation and the examples.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ktremote-tools)
# The tools need the library of the runtime package, which is not installed
# while they are packaged: dpkg-shlibdeps looks for it in the runtime
# component's staging directory, a sibling of the tools' one, and leaves its
# dependency to CPACK_COMPONENT_TOOLS_DEPENDS.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"command-line host and simulator for the Kaltrop application
${_ktremote_common_description}
.
This package holds ktcli, which controls the application and records its
data, and ktsim, which simulates the application for development and tests.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-ktremote)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-numpy)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"Python interface to the client library for the Kaltrop application
${_ktremote_common_description}
.
This package holds the Python 3 package ktremote.")

# The four packages take the place of the single package ktremote of earlier
# versions, which held all of their files: Conflicts with Replaces makes
# dpkg remove it when they are installed (dpkg -i as well as apt).
foreach(_component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${_component} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_CONFLICTS "ktremote (<< ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
  set(CPACK_DEBIAN_${_upper}_PACKAGE_REPLACES "ktremote (<< ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
endforeach()

# copyright and changelog.Debian.gz (gzip -n: the same bytes in every build)
# into every package's documentation directory. They are left out of a plain
# `cmake --install`, which is not a Debian package.
find_program(KTREMOTE_GZIP gzip)
if(KTREMOTE_GZIP)
  set(_ktremote_changelog ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${_ktremote_changelog} COPYONLY)
  add_custom_command(OUTPUT ${_ktremote_changelog}.gz
    COMMAND ${KTREMOTE_GZIP} -9nkf ${_ktremote_changelog}
    DEPENDS ${_ktremote_changelog}
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
  add_custom_target(ktremote_debian_changelog ALL DEPENDS ${_ktremote_changelog}.gz)
  foreach(_component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${_component} _upper)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${_ktremote_changelog}.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME}
      COMPONENT ${_component} EXCLUDE_FROM_ALL)
  endforeach()
endif()

include(CPack)
