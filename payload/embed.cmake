# Checks a firmware image and writes the assembly that embeds it.
# cmake -DIMAGE=<file> -DOUTPUT=<file.S> -P embed.cmake
set(expected_size 65536)
if(NOT EXISTS "${IMAGE}")
  message(FATAL_ERROR "firmware image ${IMAGE} does not exist")
endif()
file(SIZE "${IMAGE}" size)
if(NOT size EQUAL expected_size)
  message(FATAL_ERROR
    "firmware image ${IMAGE} is ${size} bytes; it must be exactly ${expected_size} bytes")
endif()
file(SHA256 "${IMAGE}" digest)
message(STATUS "embedding firmware image ${IMAGE}: ${size} bytes, SHA-256 ${digest}")
file(WRITE "${OUTPUT}.tmp"
"# Generated from ${IMAGE} (SHA-256 ${digest}); do not edit.
    .section .rodata.firmware_image,\"a\"
    .balign 16
    .globl FirmwareImage
    .hidden FirmwareImage
    .type FirmwareImage, @object
    .size FirmwareImage, ${expected_size}
FirmwareImage:
    .incbin \"${IMAGE}\"
    .globl FirmwareImageDigest
    .hidden FirmwareImageDigest
    .type FirmwareImageDigest, @object
    .size FirmwareImageDigest, 64
FirmwareImageDigest:
    .ascii \"${digest}\"
    .section .note.GNU-stack,\"\",@progbits
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
