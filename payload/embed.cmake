# Checks a firmware image and its release and writes the assembly that
# embeds them: the image, its SHA-256, the program's banner (which names
# the image's version) and, when given, the converter the image is for.
# cmake -DIMAGE=<file> -DOUTPUT=<file.S> [-DVERSION=MM_mm] [-DOUI=XXXXXX] -P embed.cmake
include(${CMAKE_CURRENT_LIST_DIR}/release.cmake)
if(NOT DEFINED VERSION)
  set(VERSION ${PELLORY_DEFAULT_FIRMWARE_VERSION})
endif()
pellory_check_release("${VERSION}" "${OUI}")
pellory_check_image("${IMAGE}")
file(SIZE "${IMAGE}" size)
file(SHA256 "${IMAGE}" digest)
if(OUI)
  set(converter "Pellory converter OUI:${OUI}\\n")
  set(for " for converter ${OUI}")
endif()
message(STATUS "embedding firmware image ${IMAGE}: ${size} bytes, SHA-256 ${digest}, "
  "version ${VERSION}${for}")
file(WRITE "${OUTPUT}.tmp"
"# Generated from ${IMAGE} (SHA-256 ${digest}); do not edit.
    .section .rodata.firmware_image,\"a\"
    .balign 16
    .globl FirmwareImage
    .hidden FirmwareImage
    .type FirmwareImage, @object
    .size FirmwareImage, ${PELLORY_IMAGE_SIZE}
FirmwareImage:
    .incbin \"${IMAGE}\"
    .globl FirmwareImageDigest
    .hidden FirmwareImageDigest
    .type FirmwareImageDigest, @object
    .size FirmwareImageDigest, 64
FirmwareImageDigest:
    .ascii \"${digest}\"
    .globl ProgramBanner
    .hidden ProgramBanner
    .type ProgramBanner, @object
ProgramBanner:
    .asciz \"Pellory Version:${PELLORY_VERSION}, firmware version ${VERSION}\\n\"
    .globl FirmwareImageConverter
    .hidden FirmwareImageConverter
    .type FirmwareImageConverter, @object
FirmwareImageConverter:
    .asciz \"${converter}\"
    .section .note.GNU-stack,\"\",@progbits
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
