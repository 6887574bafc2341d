# Debian package of an install tree: `cpack -G DEB` in a build tree gives
# ktremote_<version>_<arch>.deb with the library, headers, tools, Python
# package, CMake package, pkg-config file and documentation under /usr.

set(CPACK_PACKAGE_NAME ktremote)
set(CPACK_PACKAGE_VENDOR "ktremote developers")
set(CPACK_PACKAGE_CONTACT "ktremote developers <ktremote@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "client library for remote control of the Kaltrop data-acquisition application")
set(CPACK_PACKAGE_DESCRIPTION
    "Host programs in C, C++ and Python load libktremote to drive a running Kaltrop \
application over TCP (commands, channel discovery, measuring and storing) and to read \
the samples it streams. Includes the C header, a C++17 wrapper, a Python package, \
the ktsim simulator and the ktcli command-line host.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-numpy")
# dpkg names the host's architecture; a -m32 tree packages an i386 library.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
set(CPACK_STRIP_FILES ON)
# Build trees and sources do not belong into the package.
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
