# Run when installing, once the prefix is known (the package installs to /usr, a user's
# build to /usr/local): the unit names the binary and the options file where this install
# puts them. As GNUInstallDirs has it, a /usr install keeps its settings in /etc, any other
# under its prefix. Expects FLENKO_PACKAGING_SOURCE and FLENKO_PACKAGING_BINARY.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(flenko_sysconfdir "/etc")
else()
  set(flenko_sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(FLENKO_BINARY "${CMAKE_INSTALL_PREFIX}/bin/flenko")
set(FLENKO_ENVIRONMENT_FILE "${flenko_sysconfdir}/default/flenko")

string(MAKE_C_IDENTIFIER "${CMAKE_INSTALL_PREFIX}" flenko_prefix_tag)
set(flenko_unit "${FLENKO_PACKAGING_BINARY}/${flenko_prefix_tag}/flenko.service")
configure_file("${FLENKO_PACKAGING_SOURCE}/flenko.service.in" "${flenko_unit}" @ONLY)
file(INSTALL "${flenko_unit}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

# Never over an admin's own settings.
if(EXISTS "$ENV{DESTDIR}${FLENKO_ENVIRONMENT_FILE}")
  message(STATUS "Kept: $ENV{DESTDIR}${FLENKO_ENVIRONMENT_FILE}")
else()
  file(INSTALL "${FLENKO_PACKAGING_SOURCE}/flenko.default" DESTINATION "${flenko_sysconfdir}/default"
    RENAME flenko)
endif()
