# SPDX-License-Identifier: Apache-2.0
# Cross-compiling for 64-bit Windows with mingw-w64 (scripts/build-windows.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVPDF_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
