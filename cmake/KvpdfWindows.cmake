# SPDX-License-Identifier: Apache-2.0
# kvpdf.dll (scripts/build-windows.sh): kvsxades, OpenSSL, zlib and the C++ runtime
# linked in, so the DLL imports only system DLLs; exactly the functions kvpdf.h
# declares exported, undecorated, through a .def file made from the header.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/include/kvpdf.h kvpdf_header)
string(REGEX MATCHALL "\nKVPDF_API [^;(]*KVPDF_CALL [A-Za-z_0-9]+\\(" kvpdf_declarations
  "${kvpdf_header}")
set(kvpdf_def "LIBRARY kvpdf.dll\nEXPORTS\n")
foreach(declaration IN LISTS kvpdf_declarations)
  string(REGEX REPLACE ".*KVPDF_CALL ([A-Za-z_0-9]+)\\($" "\\1" name "${declaration}")
  string(APPEND kvpdf_def "    ${name}\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kvpdf.def CONTENT "${kvpdf_def}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/include/kvpdf.h)

target_link_libraries(kvpdf PRIVATE kvsxades_static ZLIB::ZLIB)
set_target_properties(kvpdf PROPERTIES PREFIX "" LINK_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kvpdf.def)
# The .def names KvPDFInit where the 32-bit object holds _KvPDFInit@12: the stdcall fixup
# binds them without a warning for each.
target_link_options(kvpdf PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/kvpdf.def -static -static-libgcc
  -static-libstdc++ -Wl,--enable-stdcall-fixup -Wl,--no-undefined -s)

# A 32-bit host compiled with the header calls _KvPDFInit@12: the import library must
# map that to the undecorated export. gendef reads each function's stack bytes from
# the finished DLL (its "ret N"); dlltool -k builds the import library from them.
find_program(KVPDF_GENDEF gendef REQUIRED)
find_program(KVPDF_DLLTOOL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
# It writes kvpdf.def of its own, so into a folder of its own; scripts/check-windows.sh
# compares that file with the header. A function without arguments ends in a plain
# "ret", which gendef leaves bare: its 32-bit name still is Name@0.
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/gendef)
set(kvpdf_bare_names)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(kvpdf_bare_names COMMAND sed -i "s/^\\(Kv[A-Za-z_0-9]*\\)$/\\1@0/" implib.def)
endif()
add_custom_command(TARGET kvpdf POST_BUILD
  COMMAND ${KVPDF_GENDEF} $<TARGET_FILE:kvpdf>
  COMMAND ${CMAKE_COMMAND} -E copy kvpdf.def implib.def
  ${kvpdf_bare_names}
  COMMAND ${KVPDF_DLLTOOL} -k -d implib.def -D kvpdf.dll -l $<TARGET_LINKER_FILE:kvpdf>
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/gendef VERBATIM)
