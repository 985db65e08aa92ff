# The tests' host side: OpenSSL in the role of the application that signs the byte
# ranges the library reserves, and wrappers of pdfsig, qpdf and pdftoppm.
# Included from tests/CMakeLists.txt, after kvpdf_testsupport is defined.
find_package(OpenSSL 3 REQUIRED)
if(NOT TARGET GTest::gtest_main)
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

add_library(kvpdf_host_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/host_crypto.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pdf_check.cpp)
target_include_directories(kvpdf_host_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kvpdf_host_support PUBLIC OpenSSL::Crypto kvpdf_testsupport)
