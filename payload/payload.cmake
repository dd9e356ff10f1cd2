# The firmware image is a build input: checked (its size, release.cmake) and
# embedded through generated assembly, at configure time and again at build
# time, so a file that changes after configuring is checked too.

set(PAYLOAD_DIR ${CMAKE_CURRENT_LIST_DIR})
include(${PAYLOAD_DIR}/release.cmake)

# pellory_embed_image(<image> <asm> <version> <oui or "">)
function(pellory_embed_image image asm version oui)
  get_filename_component(image "${image}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  pellory_check_image("${image}")
  pellory_check_release("${version}" "${oui}")
  add_custom_command(OUTPUT ${asm}
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DOUTPUT=${asm} -DVERSION=${version} -DOUI=${oui}
            -P ${PAYLOAD_DIR}/embed.cmake
    DEPENDS ${image} ${PAYLOAD_DIR}/embed.cmake ${PAYLOAD_DIR}/release.cmake
    COMMENT "Checking and embedding firmware image ${image}"
    VERBATIM)
endfunction()

# The generated test image, for the host tests, the demo and the QEMU runs.
add_executable(make_test_image ${PAYLOAD_DIR}/make_test_image.cpp)
set(TEST_IMAGE ${CMAKE_BINARY_DIR}/payload/test-image.bin)
add_custom_command(OUTPUT ${TEST_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/payload
  COMMAND make_test_image ${TEST_IMAGE}
  DEPENDS make_test_image
  VERBATIM)
set(TEST_IMAGE_ASM ${CMAKE_BINARY_DIR}/payload/test_image.S)
add_custom_command(OUTPUT ${TEST_IMAGE_ASM}
  COMMAND ${CMAKE_COMMAND} -DIMAGE=${TEST_IMAGE} -DOUTPUT=${TEST_IMAGE_ASM}
          -P ${PAYLOAD_DIR}/embed.cmake
  DEPENDS ${TEST_IMAGE} ${PAYLOAD_DIR}/embed.cmake ${PAYLOAD_DIR}/release.cmake
  VERBATIM)
# The same image as another release for one converter, for the host tests
# of a program whose image differs from the test image's release.
set(TEST_RELEASE_ASM ${CMAKE_BINARY_DIR}/payload/test_release.S)
add_custom_command(OUTPUT ${TEST_RELEASE_ASM}
  COMMAND ${CMAKE_COMMAND} -DIMAGE=${TEST_IMAGE} -DOUTPUT=${TEST_RELEASE_ASM}
          -DVERSION=07_24 -DOUI=0A1B2C -P ${PAYLOAD_DIR}/embed.cmake
  DEPENDS ${TEST_IMAGE} ${PAYLOAD_DIR}/embed.cmake ${PAYLOAD_DIR}/release.cmake
  VERBATIM)
