# SPDX-License-Identifier: Apache-2.0
# Cross-compiling for 32-bit Windows with mingw-w64 (scripts/build-windows.sh).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KVPDF_MINGW_TRIPLE i686-w64-mingw32)
# time_t is 32-bit on i686 mingw unless asked; OpenSSL is built with the same flag.
set(CMAKE_C_FLAGS_INIT -D__MINGW_USE_VC2005_COMPAT)
set(CMAKE_CXX_FLAGS_INIT -D__MINGW_USE_VC2005_COMPAT)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
