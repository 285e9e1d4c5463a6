# clang_tidy_product(targets... WINDOWS_SOURCES files...): clang-tidy over the product's own code,
# with the checks in .clang-tidy; any finding fails the build.
# Natively it runs on each file as it compiles. Cross-compiling with MinGW, a build step for each
# Windows-only file reads it as it is compiled, from compile_commands.json, telling clang only what
# it cannot know of the toolchain: the target, and where MinGW keeps its C and C++ headers.
function(clang_tidy_product)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "TARGETS;WINDOWS_SOURCES")
  find_program(CLANG_TIDY NAMES clang-tidy-14 clang-tidy REQUIRED)
  if(NOT MINGW)
    # Each file on its own, as it is: a unity build's merged file would hide what one file lacks.
    set_target_properties(${arg_TARGETS} PROPERTIES CXX_CLANG_TIDY ${CLANG_TIDY} UNITY_BUILD OFF)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include/c++
                  OUTPUT_VARIABLE cxx_headers OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(toolchain --target=x86_64-w64-mingw32 -nostdinc++ -isystem${cxx_headers}
                -isystem${cxx_headers}/x86_64-w64-mingw32 -isystem${CMAKE_FIND_ROOT_PATH}/include)
  list(TRANSFORM toolchain PREPEND --extra-arg=)
  # Each file read again only when it, the checks or what they build into changed (a header
  # changed rebuilds the targets): not on every build, nor on every install and package made.
  # One command per file, so that they take every core the build has.
  set(stamps)
  foreach(source IN LISTS arg_WINDOWS_SOURCES)
    string(MAKE_C_IDENTIFIER ${source} name)
    set(stamp ${CMAKE_BINARY_DIR}/clang_tidy_${name}.stamp)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${CLANG_TIDY} --quiet -p ${CMAKE_BINARY_DIR} ${toolchain} ${source}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/.clang-tidy ${arg_TARGETS}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      COMMENT "clang-tidy ${source}"
      VERBATIM)
    list(APPEND stamps ${stamp})
  endforeach()
  add_custom_target(clang_tidy_windows_sources ALL DEPENDS ${stamps})
  # Read as they are compiled: their compile commands must be there first.
  add_dependencies(clang_tidy_windows_sources ${arg_TARGETS})
endfunction()
