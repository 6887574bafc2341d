# SPDX-License-Identifier: MIT
# ktremote_version: the generated header KtremoteVersion.h, which holds the
# project version for the library, the tools and the tests.
set(_ktremote_generated ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/KtremoteVersion.h.in ${_ktremote_generated}/KtremoteVersion.h @ONLY)
add_library(ktremote_version INTERFACE)
target_include_directories(ktremote_version INTERFACE ${_ktremote_generated})
