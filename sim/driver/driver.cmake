# The converter simulator in real firmware: convsim.efi, the boot-service
# driver that installs the model behind GopNative / GopI2c, and
# convsim-dump.efi, the shell application that writes down what it saw.
# Included from the top level after tools/efi.cmake and sim/, whose lists
# (SIM_MODEL_SOURCES, SIM_BINDING_SOURCES) it builds again for firmware.

set(CONVSIM_DIR ${CMAKE_SOURCE_DIR}/sim/driver)
# What every image here prints with and allocates through.
set(CONVSIM_COMMON_SOURCES
  ${CONVSIM_DIR}/console_line.cpp
  ${CMAKE_SOURCE_DIR}/output/format.cpp
  ${CMAKE_SOURCE_DIR}/platform/efi_memory.cpp)

pellory_efi_objects(convsim-objects
  ${SIM_MODEL_SOURCES}
  ${SIM_BINDING_SOURCES}
  ${CONVSIM_DIR}/driver_main.cpp
  ${CONVSIM_DIR}/power_cycle.cpp
  ${CONVSIM_DIR}/volume_file.cpp
  ${CONVSIM_DIR}/fast_stall.cpp
  ${CONVSIM_DIR}/watchdog_watch.cpp
  ${CONVSIM_DIR}/timed_binding.cpp
  ${CONVSIM_COMMON_SOURCES})
pellory_efi_link(convsim 11 convsim-objects)

pellory_efi_objects(convsim-dump-objects
  ${SIM_MODEL_SOURCES}
  ${CONVSIM_DIR}/dump_main.cpp
  ${CONVSIM_DIR}/record_text.cpp
  ${CMAKE_SOURCE_DIR}/platform/files.cpp
  ${CMAKE_SOURCE_DIR}/platform/services.cpp
  ${CMAKE_SOURCE_DIR}/platform/shell.cpp
  ${CMAKE_SOURCE_DIR}/platform/volume.cpp
  ${CONVSIM_COMMON_SOURCES})
target_link_libraries(convsim-dump-objects PRIVATE pellory_hash)
pellory_efi_link(convsim-dump 10 convsim-dump-objects)

# convsim-boot.efi: booted first in the tests of a start without a shell;
# it loads convsim.efi and starts the stick's program as the boot manager
# would, then runs convsim-dump.efi and powers off.
pellory_efi_objects(convsim-boot-objects
  ${CONVSIM_DIR}/boot_main.cpp
  ${CONVSIM_DIR}/boot_path.cpp
  ${CONVSIM_COMMON_SOURCES})
pellory_efi_link(convsim-boot 10 convsim-boot-objects)
