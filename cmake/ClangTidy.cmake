# clang_tidy_product(targets... WINDOWS_SOURCES files...): clang-tidy over the product's own code,
# with the checks in .clang-tidy; any finding fails the build.
# Natively it runs on each file as it compiles. Cross-compiling with MinGW, one build step reads
# the Windows-only files as they are compiled, from compile_commands.json, telling clang only what
# it cannot know of the toolchain: the target, and where MinGW keeps its C and C++ headers.
function(clang_tidy_product)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "TARGETS;WINDOWS_SOURCES")
  find_program(CLANG_TIDY NAMES clang-tidy-14 clang-tidy REQUIRED)
  if(NOT MINGW)
    set_target_properties(${arg_TARGETS} PROPERTIES CXX_CLANG_TIDY ${CLANG_TIDY})
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include/c++
                  OUTPUT_VARIABLE cxx_headers OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(toolchain --target=x86_64-w64-mingw32 -nostdinc++ -isystem${cxx_headers}
                -isystem${cxx_headers}/x86_64-w64-mingw32 -isystem${CMAKE_FIND_ROOT_PATH}/include)
  list(TRANSFORM toolchain PREPEND --extra-arg=)
  # Read again only when they, the checks or what they build into changed (a header changed
  # rebuilds the targets): not on every build, nor on every install and package made.
  set(stamp ${CMAKE_BINARY_DIR}/clang_tidy_windows_sources.stamp)
  list(TRANSFORM arg_WINDOWS_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CLANG_TIDY} --quiet -p ${CMAKE_BINARY_DIR} ${toolchain} ${arg_WINDOWS_SOURCES}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${sources} ${PROJECT_SOURCE_DIR}/.clang-tidy ${arg_TARGETS}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "clang-tidy over the Windows-only sources"
    VERBATIM)
  add_custom_target(clang_tidy_windows_sources ALL DEPENDS ${stamp})
  # Read as they are compiled: their compile commands must be there first.
  add_dependencies(clang_tidy_windows_sources ${arg_TARGETS})
endfunction()
