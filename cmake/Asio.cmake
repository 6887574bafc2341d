# SPDX-License-Identifier: MIT
# Standalone, header-only Asio from the system (Debian: libasio-dev).
# Cross builds use the build machine's headers too (Asio is header-only).
find_path(ASIO_INCLUDE_DIR asio.hpp HINTS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(ktremote_asio INTERFACE)
if(CMAKE_CROSSCOMPILING AND WIN32)
  # The mingw compilers do not search /usr/include, and adding it would pull in
  # glibc headers: expose only asio through a folder of symlinks.
  set(_asio_shim ${CMAKE_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${_asio_shim})
  file(CREATE_LINK ${ASIO_INCLUDE_DIR}/asio.hpp ${_asio_shim}/asio.hpp SYMBOLIC)
  file(CREATE_LINK ${ASIO_INCLUDE_DIR}/asio ${_asio_shim}/asio SYMBOLIC)
  target_include_directories(ktremote_asio SYSTEM INTERFACE ${_asio_shim})
  target_compile_definitions(ktremote_asio INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_link_libraries(ktremote_asio INTERFACE ws2_32 mswsock)
else()
  target_include_directories(ktremote_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(ktremote_asio INTERFACE Threads::Threads)
endif()
target_compile_definitions(ktremote_asio INTERFACE ASIO_STANDALONE)
