# SPDX-License-Identifier: Apache-2.0
# What both mingw-w64 toolchain files share; they set KVPDF_MINGW_TRIPLE first. The -posix
# compilers: the win32 thread model has no std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KVPDF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVPDF_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVPDF_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVPDF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only static libraries go into the DLL: zlib of the mingw package, and OpenSSL from the
# cache folder scripts/build-windows.sh names.
set(ZLIB_LIBRARY /usr/${KVPDF_MINGW_TRIPLE}/lib/libz.a CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR /usr/${KVPDF_MINGW_TRIPLE}/include CACHE PATH "")
if(KVPDF_OPENSSL_ROOT)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  set(OPENSSL_INCLUDE_DIR ${KVPDF_OPENSSL_ROOT}/include CACHE PATH "")
  set(OPENSSL_CRYPTO_LIBRARY ${KVPDF_OPENSSL_ROOT}/lib/libcrypto.a CACHE FILEPATH "")
  # FindOpenSSL names the mingw libcrypto LIB_EAY.
  set(LIB_EAY ${KVPDF_OPENSSL_ROOT}/lib/libcrypto.a CACHE FILEPATH "")
endif()
