# SPDX-License-Identifier: Apache-2.0
# Install rules of the PDF library, its CMake package and its pkg-config files. The
# signing library and the command add their own rules in their folders.
include(CMakePackageConfigHelpers)

install(TARGETS kvpdf kvpdf_static EXPORT kvpdfTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/kvpdf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KVPDF_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvpdf)
install(EXPORT kvpdfTargets NAMESPACE kvpdf:: DESTINATION ${KVPDF_CMAKE_DIR})
configure_package_config_file(cmake/kvpdfConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kvpdfConfig.cmake INSTALL_DESTINATION ${KVPDF_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kvpdfConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvpdfConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kvpdfConfigVersion.cmake DESTINATION ${KVPDF_CMAKE_DIR})

# The .pc files find the prefix from where they lie, so `cmake --install --prefix`
# anywhere gives working files.
set(KVPDF_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KVPDF_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${KVPDF_PC_DIR}
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KVPDF_PC_TO_PREFIX "${KVPDF_PC_TO_PREFIX}")
get_target_property(KVSX_VERSION kvsxades VERSION)
foreach(pc kvpdf kvsxades)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${KVPDF_PC_DIR})
endforeach()
