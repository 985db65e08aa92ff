# SPDX-License-Identifier: Apache-2.0
# Options and compile flags of every kvpdf build: included by the top-level project and
# by kvsxades when it is built on its own (cmake -S kvsxades), so both build alike.
include_guard(GLOBAL)

option(KVPDF_WERROR "Treat compiler warnings as errors" OFF)
option(KVPDF_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KVPDF_TSAN "Build with ThreadSanitizer" OFF)
# A project that pulls kvpdf in (add_subdirectory, FetchContent) gets the libraries only.
option(KVPDF_BUILD_TESTS "Build the test suite" ${PROJECT_IS_TOP_LEVEL})
option(KVPDF_BUILD_TOOLS "Build the kvpdf command" ${PROJECT_IS_TOP_LEVEL})
option(KVPDF_BUILD_BENCH "Build the benchmark programs" ${PROJECT_IS_TOP_LEVEL})
option(KVPDF_INSTALL "Generate the install rules" ${PROJECT_IS_TOP_LEVEL})

if(PROJECT_IS_TOP_LEVEL AND NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

add_compile_options(-Wall -Wextra -Wshadow)
if(WIN32)
  # mingw's own printf family (C99 formats such as %zu, and the digits glibc prints),
  # and windows.h without the old winsock.h.
  add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN)
endif()
if(KVPDF_WERROR)
  add_compile_options(-Werror)
endif()
if(KVPDF_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KVPDF_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
