# nuget writes the builder's system into the package's properties and the build's time into its
# entries: both are set to what the commit says, so that the same commit gives the same package.
#   cmake -D package=NUPKG -D work=FOLDER -D epoch=SECONDS [-D strip=strip-nondeterminism] -P normalize_nupkg.cmake
file(REMOVE_RECURSE ${work})
file(ARCHIVE_EXTRACT INPUT ${package} DESTINATION ${work})
file(GLOB properties ${work}/package/services/metadata/core-properties/*.psmdcp)
file(READ ${properties} text)
string(REGEX REPLACE "<lastModifiedBy>[^<]*</lastModifiedBy>" "<lastModifiedBy>NuGet</lastModifiedBy>" text "${text}")
file(WRITE ${properties} "${text}")
file(GLOB_RECURSE entries RELATIVE ${work} ${work}/*)
list(SORT entries)
file(REMOVE ${package})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${package} --format=zip -- ${entries}
                WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
if(strip)
  execute_process(COMMAND ${strip} --type zip --timestamp=${epoch} ${package} COMMAND_ERROR_IS_FATAL ANY)
endif()
