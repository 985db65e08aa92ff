# SPDX-License-Identifier: Apache-2.0
# Cross-compiling for 64-bit Windows with mingw-w64 (scripts/build-windows.sh). The -posix
# compilers: the win32 thread model has no std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only static libraries go into the DLL: zlib of the mingw package, and OpenSSL from the
# cache folder scripts/build-windows.sh names.
set(ZLIB_LIBRARY /usr/x86_64-w64-mingw32/lib/libz.a CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR /usr/x86_64-w64-mingw32/include CACHE PATH "")
if(KVPDF_OPENSSL_ROOT)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  set(OPENSSL_INCLUDE_DIR ${KVPDF_OPENSSL_ROOT}/include CACHE PATH "")
  set(OPENSSL_CRYPTO_LIBRARY ${KVPDF_OPENSSL_ROOT}/lib/libcrypto.a CACHE FILEPATH "")
  # FindOpenSSL names the mingw libcrypto LIB_EAY.
  set(LIB_EAY ${KVPDF_OPENSSL_ROOT}/lib/libcrypto.a CACHE FILEPATH "")
endif()
