# `make deb`: pelloryctl as a Debian package, from CPack's DEB generator,
# which works the shared-library dependencies (libefivar1, libefiboot1) out
# of the binary with dpkg-shlibdeps, as a debian/ folder would. The version
# is the project's one version (payload/release.cmake).
set(DOC_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/debian-doc)
set(DOC_OUT ${CMAKE_CURRENT_BINARY_DIR}/doc)

# The manual page, from its POD source; the changelog, with the version
# filled in. Both gzip -9n: as small as gzip makes them, and no time stamp.
add_custom_command(OUTPUT ${DOC_OUT}/pelloryctl.8.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DOC_OUT}
  COMMAND pod2man --section=8 --center=Pellory --release=pelloryctl\ ${PELLORY_VERSION}
          --name=PELLORYCTL --date=2026-12-10 ${CMAKE_CURRENT_SOURCE_DIR}/pelloryctl.8.pod ${DOC_OUT}/pelloryctl.8
  COMMAND gzip -9nf ${DOC_OUT}/pelloryctl.8
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pelloryctl.8.pod
  VERBATIM)
configure_file(${DOC_SOURCE}/changelog.in ${DOC_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${DOC_OUT}/changelog.gz
  COMMAND gzip -9nkf ${DOC_OUT}/changelog
  DEPENDS ${DOC_OUT}/changelog
  VERBATIM)
add_custom_target(pelloryctl-doc ALL DEPENDS ${DOC_OUT}/pelloryctl.8.gz ${DOC_OUT}/changelog.gz)

install(TARGETS pelloryctl RUNTIME DESTINATION sbin COMPONENT pelloryctl)
install(FILES ${DOC_OUT}/pelloryctl.8.gz DESTINATION share/man/man8 COMPONENT pelloryctl)
install(FILES ${DOC_SOURCE}/copyright ${DOC_OUT}/changelog.gz DESTINATION share/doc/pelloryctl
        COMPONENT pelloryctl)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelloryctl)
set(CPACK_PACKAGE_VERSION ${PELLORY_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL pelloryctl)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pellory developers <pellory@pellory.example.org>")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "schedule the Pellory converter firmware update at the next boot")
set(CPACK_PACKAGE_DESCRIPTION "Pellory is a UEFI program that updates the firmware of the display
converter chip on a PC's DisplayPort link. This command has the firmware
start it once, unattended, at the next boot (a boot entry, BootNext and a
request in a firmware variable), and reads the record the run leaves:
whether the converter was updated, already ran the image's firmware, or
why it stopped. It also tells what a Pellory program carries, and installs
a small resident UEFI driver (shipped in /usr/lib/pellory) that reads the
converter's firmware version at every boot, so that the OS can tell the
version the converter runs without a reboot.")
include(CPack)
