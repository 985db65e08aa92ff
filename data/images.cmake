# SPDX-License-Identifier: Apache-2.0
# Embeds the built-in signature-appearance images into the library.
# Usage: kvpdf_embed_images(VAR) then add ${VAR} to the library sources.

set(KVPDF_IMAGES_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(kvpdf_embed_images out_var)
  set(inputs
    "${KVPDF_IMAGES_DIR}/image_a.body"
    "${KVPDF_IMAGES_DIR}/image_b.sigappx")
  set(symbols kBuiltinImageA kBuiltinImageB)
  set(output "${CMAKE_BINARY_DIR}/generated/pdf_internal_images.cpp")

  # A raw ";" would split the -D argument in the custom command.
  string(REPLACE ";" "$<SEMICOLON>" inputs_arg "${inputs}")
  string(REPLACE ";" "$<SEMICOLON>" symbols_arg "${symbols}")

  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/generated"
    COMMAND "${CMAKE_COMMAND}"
      "-DINPUTS=${inputs_arg}"
      "-DSYMBOLS=${symbols_arg}"
      "-DOUTPUT=${output}"
      -P "${KVPDF_IMAGES_DIR}/embed.cmake"
    DEPENDS ${inputs} "${KVPDF_IMAGES_DIR}/embed.cmake"
    COMMENT "Embedding built-in signature images"
    VERBATIM)

  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()
