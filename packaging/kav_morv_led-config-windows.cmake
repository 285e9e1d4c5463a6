# find_package(kav_morv_led 1.1 CONFIG REQUIRED) gives the imported target kav_morv_led::kav_morv_led
# for 64-bit Windows: the include folder, the DLL, and the import library that suits the consumer's
# compiler. Every path is found from this file's place, so the package works wherever it lies.
if(NOT WIN32)
  set(kav_morv_led_FOUND FALSE)
  set(kav_morv_led_NOT_FOUND_MESSAGE "this package holds 64-bit Windows binaries")
  return()
endif()
get_filename_component(_kav_morv_led_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

# Visual Studio's linker, and clang-cl's, read Microsoft's import library format; MinGW has its own.
if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_kav_morv_led_import_library "${_kav_morv_led_root}/lib/kav_morv_led_dll_64.lib")
else()
  set(_kav_morv_led_import_library "${_kav_morv_led_root}/lib/libkav_morv_led_dll_64.dll.a")
endif()

if(NOT TARGET kav_morv_led::kav_morv_led)
  add_library(kav_morv_led::kav_morv_led SHARED IMPORTED)
  set_target_properties(kav_morv_led::kav_morv_led PROPERTIES
    IMPORTED_LOCATION "${_kav_morv_led_root}/bin/kav_morv_led_dll_64.dll"
    IMPORTED_IMPLIB "${_kav_morv_led_import_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${_kav_morv_led_root}/include")
endif()
unset(_kav_morv_led_root)
unset(_kav_morv_led_import_library)
