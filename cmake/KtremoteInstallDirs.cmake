# SPDX-License-Identifier: MIT
# Installation directories, fixed before any subproject (googletest) reads
# GNUInstallDirs. A 32-bit tree installs its library into the multiarch
# directory (lib/i386-linux-gnu) in every prefix, so that both word sizes fit
# into one prefix and find_package and the dynamic loader look there; under
# /usr GNUInstallDirs does the same for both word sizes already.
if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} AND CMAKE_SIZEOF_VOID_P EQUAL 4
   AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries")
  else()
    set(CMAKE_INSTALL_LIBDIR lib32 CACHE PATH "Object code libraries")
  endif()
endif()
include(GNUInstallDirs)
