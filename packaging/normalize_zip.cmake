# CPack runs this on each package it made, before it copies it out and writes its checksum.
set(timestamp)
if(CPACK_KAV_SOURCE_DATE_EPOCH)
  set(timestamp --timestamp=${CPACK_KAV_SOURCE_DATE_EPOCH})
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${CPACK_KAV_STRIP_NONDETERMINISM} --type zip ${timestamp} ${package}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
