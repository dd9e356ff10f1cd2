# The .sbat section every EFI image carries: shim's CSV of the image's
# Secure Boot Advanced Targeting entries. shim refuses a second stage
# without one, and revokes every image of a component below a generation
# through its SBAT level (SbatLevel), so raising SBAT_GENERATION in a
# release lets a site or a distribution retire every older signed program
# at once instead of listing each file in dbx.
#
# In a build: include() it and call pellory_write_sbat(); from the command
# line (the packaging tests): cmake -DGENERATION=N -DOUTPUT=file -P sbat.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../payload/release.cmake)

# The URL field names the project's page; Pellory has none, so it holds
# this fixed text, which README.md explains.
set(PELLORY_SBAT_URL "README.md")
set(PELLORY_DEFAULT_SBAT_GENERATION 1)

# Stops unless generation is a positive decimal number (no sign, no
# leading zero, at most 9 digits, which shim's reading of it holds).
function(pellory_check_sbat_generation generation)
  string(LENGTH "${generation}" digits)
  if(NOT "${generation}" MATCHES "^[1-9][0-9]*$" OR digits GREATER 9)
    message(FATAL_ERROR "SBAT_GENERATION \"${generation}\" is not a generation: it must be a "
      "positive decimal number of at most 9 digits without a leading zero (1)")
  endif()
endfunction()

# Writes the CSV to output, only when its text changes (the images that
# carry it are linked again exactly then).
function(pellory_write_sbat generation output)
  pellory_check_sbat_generation("${generation}")
  file(CONFIGURE OUTPUT "${output}" CONTENT
"sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md
pellory,${generation},Pellory,pellory,${PELLORY_VERSION},${PELLORY_SBAT_URL}
" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  pellory_write_sbat("${GENERATION}" "${OUTPUT}")
endif()
