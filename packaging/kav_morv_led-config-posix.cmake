# find_package(kav_morv_led 1.1 CONFIG REQUIRED) gives the imported target kav_morv_led::kav_morv_led:
# the include folder and the shared library. Every path is found from this file's place, so the
# installed tree works wherever it is moved.
if(WIN32)
  set(kav_morv_led_FOUND FALSE)
  set(kav_morv_led_NOT_FOUND_MESSAGE "this package holds a library for POSIX systems, not Windows")
  return()
endif()
get_filename_component(_kav_morv_led_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET kav_morv_led::kav_morv_led)
  add_library(kav_morv_led::kav_morv_led SHARED IMPORTED)
  set_target_properties(kav_morv_led::kav_morv_led PROPERTIES
    IMPORTED_LOCATION "${_kav_morv_led_root}/lib/kav_morv_led_dll_64.so"
    IMPORTED_SONAME "kav_morv_led_dll_64.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_kav_morv_led_root}/include")
endif()
unset(_kav_morv_led_root)
