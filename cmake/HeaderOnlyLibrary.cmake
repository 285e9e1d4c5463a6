# header_only_library(TARGET ENTRY...): an INTERFACE target for a header-only library that Debian
# installs under /usr/include, seen through a build-tree folder that holds only its ENTRYs (its
# header and its folder): a cross build must never see the host's other headers.
function(header_only_library target)
  set(folder ${CMAKE_BINARY_DIR}/header_only/${target})
  foreach(entry IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "${target}_${entry}_location" location)
    find_path(${location} ${entry} NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ${location})
      message(FATAL_ERROR "${entry} of ${target} not found: scripts/install-dependencies.sh installs it")
    endif()
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${${location}}/${entry} ${folder}/${entry} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${folder})
endfunction()
