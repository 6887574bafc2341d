# SPDX-License-Identifier: MIT
# Compiler settings shared by every target of the project.

# Warnings are errors in our own code. Third-party code (googletest) is built
# without this function.
function(ktremote_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # A unity build includes the sources into one file, and GCC then takes
      # their anonymous-namespace types for a header's, which they are not.
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
    endif()
  endif()
endfunction()

# Fuzz trees: every object gets libFuzzer's coverage instrumentation and, by
# default, ASan+UBSan, so that the fuzz targets link the same libraries as
# everything else; only the targets themselves add libFuzzer's main.
if(KTREMOTE_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KTREMOTE_BUILD_FUZZ needs clang as C and C++ compiler "
      "(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  if(NOT KTREMOTE_SANITIZE)
    set(KTREMOTE_SANITIZE address,undefined)
  endif()
  set(KTREMOTE_SANITIZE fuzzer-no-link,${KTREMOTE_SANITIZE})
endif()

if(KTREMOTE_SANITIZE)
  set(_ktremote_san "-fsanitize=${KTREMOTE_SANITIZE}")
  if(KTREMOTE_SANITIZE MATCHES "undefined")
    string(APPEND _ktremote_san " -fno-sanitize-recover=undefined")
  endif()
  string(APPEND CMAKE_C_FLAGS " ${_ktremote_san} -fno-omit-frame-pointer")
  string(APPEND CMAKE_CXX_FLAGS " ${_ktremote_san} -fno-omit-frame-pointer")
  if(KTREMOTE_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Asio completes handlers inside std::atomic_thread_fence blocks, which
    # GCC flags under TSan; its handler queues are mutex-protected, which
    # TSan does see.
    string(APPEND CMAKE_CXX_FLAGS " -Wno-tsan")
  endif()
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_ktremote_san}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_ktremote_san}")
endif()

# 64-bit builds deliver libktremote64, 32-bit builds libktremote.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KTREMOTE_SHARED_TARGET ktremote64)
else()
  set(KTREMOTE_SHARED_TARGET ktremote)
endif()
