# clang_tidy_product(targets... WINDOWS_SOURCES files...): clang-tidy over the product's own code,
# with the checks in .clang-tidy; any finding fails the build.
# Natively it runs on each file as it compiles. Cross-compiling with MinGW, whose compile lines
# clang cannot read, one build step reads the Windows-only files with MinGW's own headers instead.
function(clang_tidy_product)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "TARGETS;WINDOWS_SOURCES")
  find_program(CLANG_TIDY NAMES clang-tidy-14 clang-tidy REQUIRED)
  if(NOT MINGW)
    set_target_properties(${arg_TARGETS} PROPERTIES CXX_CLANG_TIDY ${CLANG_TIDY})
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include/c++
                  OUTPUT_VARIABLE cxx_headers OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_custom_target(clang_tidy_windows_sources ALL
    COMMAND ${CLANG_TIDY} --quiet ${arg_WINDOWS_SOURCES} --
            --target=x86_64-w64-mingw32 -std=c++17 -nostdinc++ -isystem ${cxx_headers}
            -isystem ${cxx_headers}/x86_64-w64-mingw32 -isystem ${CMAKE_FIND_ROOT_PATH}/include
            -I ${PROJECT_SOURCE_DIR}/platform -I ${PROJECT_SOURCE_DIR}/service
            -I ${PROJECT_SOURCE_DIR}/led_library/include -isystem ${CMAKE_BINARY_DIR}/header_only/asio
            -isystem ${CMAKE_BINARY_DIR}/header_only/cli11 -D_WIN32_WINNT=0x0A00
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "clang-tidy over the Windows-only sources"
    VERBATIM)
endfunction()
