# Firmware build: freestanding objects (with gnu-efi's headers) linked by our
# own script and entry into a shared object, checked, and turned into a PE32+
# image that follows the firmware's memory rules (tools/efi-link.sh).

set(EFI_OUTPUT_DIR ${CMAKE_BINARY_DIR}/efi)
set(EFI_COMPILE_OPTIONS
  -std=c++20 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-stack-protector -fno-strict-aliasing
  -fpic -fvisibility=hidden -mno-red-zone -mgeneral-regs-only -fshort-wchar
  -Os -Wall -Wextra -Werror)
set(EFI_LINK_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/efi-link.sh)
set(EFI_LINK_INPUTS ${EFI_LINK_SCRIPT} ${CMAKE_CURRENT_LIST_DIR}/efi.lds
  ${CMAKE_CURRENT_LIST_DIR}/efi_image.py)

# The .sbat text every image links in (tools/sbat.cmake), written when
# SBAT_GENERATION or the version changes.
include(${CMAKE_CURRENT_LIST_DIR}/sbat.cmake)
set(SBAT_GENERATION ${PELLORY_DEFAULT_SBAT_GENERATION} CACHE STRING
  "the SBAT generation of every image, a positive decimal number")
set(EFI_SBAT_CSV ${EFI_OUTPUT_DIR}/sbat.csv)
pellory_write_sbat("${SBAT_GENERATION}" ${EFI_SBAT_CSV})

# pellory_efi_objects(<target> <sources...>): an object library built with
# the firmware flags, with the image's entry point; the sources define
# efi_main.
function(pellory_efi_objects target)
  add_library(${target} OBJECT ${ARGN} ${CMAKE_SOURCE_DIR}/platform/efi_entry.cpp)
  target_compile_definitions(${target} PRIVATE GNU_EFI_USE_MS_ABI)
  target_include_directories(${target} PRIVATE
    ${CMAKE_SOURCE_DIR} ${GNU_EFI_INCLUDE} ${GNU_EFI_INCLUDE}/x86_64)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${EFI_COMPILE_OPTIONS}>)
endfunction()

# pellory_efi_link(<name> <subsystem> <object target>): build/efi/<name>.efi,
# carrying the build's .sbat.
function(pellory_efi_link name subsystem objects)
  set(out ${EFI_OUTPUT_DIR}/${name}.efi)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${EFI_OUTPUT_DIR}
    COMMAND sh ${EFI_LINK_SCRIPT} ${out} ${subsystem} ${EFI_SBAT_CSV} $<TARGET_OBJECTS:${objects}>
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${EFI_LINK_INPUTS} ${EFI_SBAT_CSV}
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
endfunction()

# The shell application carrying the image embedded by <image asm>.
function(pellory_efi_app name image_asm)
  pellory_efi_objects(${name}-objects ${PROGRAM_SOURCES}
    ${CMAKE_SOURCE_DIR}/platform/efi_main.cpp ${CMAKE_SOURCE_DIR}/platform/efi_memory.cpp
    ${image_asm})
  pellory_efi_link(${name} 10 ${name}-objects)
endfunction()
