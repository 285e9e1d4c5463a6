# Run by cmake --install: writes the systemd units with the paths of this install, where systemd
# looks for units and groups under the prefix.
set(prefix "${CMAKE_INSTALL_PREFIX}")
foreach(unit IN LISTS units)
  set(installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service")
  configure_file("${units_source}/${unit}.service.in" "${installed}" @ONLY)
  message(STATUS "Installing: ${installed}")
endforeach()
