# Run by cmake --install: writes the systemd unit with the paths of this install, where systemd
# looks for units and groups under the prefix.
set(prefix "${CMAKE_INSTALL_PREFIX}")
configure_file("${unit_source}" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kav_morv_led.service" @ONLY)
message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kav_morv_led.service")
