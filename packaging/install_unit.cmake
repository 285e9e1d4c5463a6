# Run by cmake --install: writes the systemd units with the paths of this install, where systemd
# looks for units and groups under the prefix (lib/, whatever the system's library folder is
# called); and makes the bridge's settings folder (the system's /etc for a prefix of /usr, else
# PREFIX/etc) readable by the LED service's group alone, never by everyone, before any settings are
# written in it. systemd-tmpfiles gives it to the group once systemd-sysusers has made the group.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(bindir "${prefix}/${bindir}")
set(docdir "${prefix}/${docdir}")
if(prefix STREQUAL "/usr")
  set(settings_folder /etc/kav_morv_led)
else()
  set(settings_folder "${prefix}/etc/kav_morv_led")
endif()
foreach(unit IN LISTS units)
  set(installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/${unit}.service")
  configure_file("${units_source}/${unit}.service.in" "${installed}" @ONLY)
  message(STATUS "Installing: ${installed}")
endforeach()
list(FIND units kav_morv_led_mqtt bridge)
if(bridge GREATER -1)
  set(folder "$ENV{DESTDIR}${settings_folder}")
  file(MAKE_DIRECTORY "${folder}")
  file(CHMOD "${folder}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  set(tmpfiles "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d/kav_morv_led_mqtt.conf")
  file(WRITE "${tmpfiles}" "# The MQTT bridge's settings: its owner's, and readable by the LED service's group alone.\n"
                           "d ${settings_folder} 0750 root kav_morv_led -\n")
  message(STATUS "Installing: ${folder} (mode 0750), ${tmpfiles}")
  execute_process(COMMAND getent group kav_morv_led RESULT_VARIABLE no_group OUTPUT_QUIET)
  if(NOT no_group AND "$ENV{DESTDIR}" STREQUAL "")
    execute_process(COMMAND chgrp kav_morv_led "${folder}")
  endif()
endif()
