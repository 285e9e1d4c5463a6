# Run by cmake --install: writes the systemd units with the paths of this install, where systemd
# looks for units under the prefix (lib/, whatever the system's library folder is called).
set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
set(docdir "${CMAKE_INSTALL_PREFIX}/${docdir}")
foreach(unit IN LISTS units)
  set(installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service")
  configure_file("${units_source}/${unit}.service.in" "${installed}" @ONLY)
  message(STATUS "Installing: ${installed}")
endforeach()
