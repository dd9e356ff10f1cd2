# The converter simulator in real firmware: convsim.efi, the boot-service
# driver that installs the model behind GopNative / GopI2c, and
# convsim-dump.efi, the shell application that writes down what it saw.
# Included from the top level after tools/efi.cmake.

set(CONVSIM_DIR ${CMAKE_SOURCE_DIR}/sim)
set(CONVSIM_MODEL_SOURCES
  ${CONVSIM_DIR}/converter.cpp
  ${CONVSIM_DIR}/converter_mailbox.cpp)

pellory_efi_objects(convsim-objects
  ${CONVSIM_MODEL_SOURCES}
  ${CONVSIM_DIR}/gop_binding.cpp
  ${CONVSIM_DIR}/scenario_text.cpp
  ${CONVSIM_DIR}/power_cycle.cpp
  ${CONVSIM_DIR}/driver/driver_main.cpp
  ${CONVSIM_DIR}/driver/power_cycle.cpp
  ${CONVSIM_DIR}/driver/volume_file.cpp
  ${CONVSIM_DIR}/driver/fast_stall.cpp
  ${CONVSIM_DIR}/driver/watchdog_watch.cpp
  ${CONVSIM_DIR}/driver/timed_binding.cpp
  ${CONVSIM_DIR}/driver/console_line.cpp
  ${CMAKE_SOURCE_DIR}/output/format.cpp
  ${CMAKE_SOURCE_DIR}/platform/efi_memory.cpp)
pellory_efi_link(convsim 11 convsim-objects)

pellory_efi_objects(convsim-dump-objects
  ${CONVSIM_MODEL_SOURCES}
  ${CONVSIM_DIR}/driver/dump_main.cpp
  ${CONVSIM_DIR}/driver/record_text.cpp
  ${CMAKE_SOURCE_DIR}/hash/sha256.cpp
  ${CONVSIM_DIR}/driver/console_line.cpp
  ${CMAKE_SOURCE_DIR}/output/format.cpp
  ${CMAKE_SOURCE_DIR}/platform/files.cpp
  ${CMAKE_SOURCE_DIR}/platform/services.cpp
  ${CMAKE_SOURCE_DIR}/platform/shell.cpp
  ${CMAKE_SOURCE_DIR}/platform/volume.cpp
  ${CMAKE_SOURCE_DIR}/platform/efi_memory.cpp)
pellory_efi_link(convsim-dump 10 convsim-dump-objects)

# convsim-boot.efi: booted first in the tests of a start without a shell;
# it loads convsim.efi and starts the stick's program as the boot manager
# would, then runs convsim-dump.efi and powers off.
pellory_efi_objects(convsim-boot-objects
  ${CONVSIM_DIR}/driver/boot_main.cpp
  ${CONVSIM_DIR}/driver/boot_path.cpp
  ${CONVSIM_DIR}/driver/console_line.cpp
  ${CMAKE_SOURCE_DIR}/output/format.cpp
  ${CMAKE_SOURCE_DIR}/platform/efi_memory.cpp)
pellory_efi_link(convsim-boot 10 convsim-boot-objects)
