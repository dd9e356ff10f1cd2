# An image one byte short, and one byte long, must each be refused with a
# message naming the file and its size; the right size must pass.
function(try_image size expect_ok)
  set(image "${WORK}/image-${size}.bin")
  string(REPEAT "x" ${size} content)
  file(WRITE "${image}" "${content}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DOUTPUT=${WORK}/image-${size}.S -P ${EMBED}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect_ok)
    if(NOT result EQUAL 0 OR NOT out MATCHES "65536 bytes, SHA-256 [0-9a-f]+")
      message(FATAL_ERROR "a ${size}-byte image was not embedded: ${out}${err}")
    endif()
  elseif(result EQUAL 0)
    message(FATAL_ERROR "a ${size}-byte image was embedded")
  else()
    # CMake wraps long messages at spaces, so a deep build path moves the
    # words apart; compare with every run of white space made one space.
    string(REGEX REPLACE "[ \t\r\n]+" " " flat "${err}")
    if(NOT flat MATCHES "image-${size}\\.bin is ${size} bytes")
      message(FATAL_ERROR "refusal does not name the file and its size: ${err}")
    endif()
  endif()
endfunction()

try_image(65535 FALSE)
try_image(65537 FALSE)
try_image(65536 TRUE)
