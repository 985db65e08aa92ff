# Options and compile flags of every kvpdf build: included by the top-level project and
# by kvsxades when it is built on its own (cmake -S kvsxades), so both build alike.
include_guard(GLOBAL)

option(KVPDF_WERROR "Treat compiler warnings as errors" OFF)
option(KVPDF_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KVPDF_TSAN "Build with ThreadSanitizer" OFF)
option(KVPDF_BUILD_TESTS "Build the test suite" ON)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

add_compile_options(-Wall -Wextra -Wshadow)
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
