# The program's release and the release of the image it carries, each
# written once, here; the image's may be given to the build.
set(PELLORY_VERSION 0.4)
set(PELLORY_DEFAULT_FIRMWARE_VERSION 07_23)
# The converter's flash: the one size an image may have.
set(PELLORY_IMAGE_SIZE 65536)

# Stops the build unless image exists and is exactly PELLORY_IMAGE_SIZE
# bytes; the message names the file and its size.
function(pellory_check_image image)
  if(NOT EXISTS "${image}")
    message(FATAL_ERROR "firmware image ${image} does not exist")
  endif()
  file(SIZE "${image}" size)
  if(NOT size EQUAL PELLORY_IMAGE_SIZE)
    message(FATAL_ERROR
      "firmware image ${image} is ${size} bytes; it must be exactly ${PELLORY_IMAGE_SIZE} bytes")
  endif()
endfunction()

# Stops the build unless version is MM_mm (two bytes in upper-case
# hexadecimal) and oui is empty or six upper-case hexadecimal digits.
function(pellory_check_release version oui)
  set(hex "[0-9A-F]")
  if(NOT "${version}" MATCHES "^${hex}${hex}_${hex}${hex}$")
    message(FATAL_ERROR "FIRMWARE_VERSION \"${version}\" is not a firmware version: it must be "
      "MM_mm, two bytes of two upper-case hexadecimal digits each joined by _ (07_23)")
  endif()
  if(NOT "${oui}" STREQUAL "" AND NOT "${oui}" MATCHES "^${hex}${hex}${hex}${hex}${hex}${hex}$")
    message(FATAL_ERROR "CONVERTER_OUI \"${oui}\" is not an OUI: it must be six upper-case "
      "hexadecimal digits (0A1B2C)")
  endif()
endfunction()
