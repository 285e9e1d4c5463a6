# A part of the build that needs a tool beyond the compiler (a package format, a test's peer) is
# left out when the tool is missing, in one line that names the Debian package bringing it; with
# KAV_MORV_LED_ALL_PARTS (the test presets set it), configure fails with that line instead, so a
# suite never passes with a part silently missing.

# part_left_out(PART PACKAGE): says that PART cannot be built here for want of Debian's PACKAGE.
function(part_left_out part package)
  if(KAV_MORV_LED_ALL_PARTS)
    message(FATAL_ERROR "${part} cannot be built: it needs the Debian package ${package} "
                        "(scripts/install-dependencies.sh installs it)")
  endif()
  message(STATUS "Left out: ${part} (it needs the Debian package ${package})")
endfunction()

# find_part_program(VARIABLE NAME PACKAGE PART [PATHS...]): find_program, and part_left_out if
# missing; VARIABLE is then false.
function(find_part_program variable name package part)
  find_program(${variable} ${name} PATHS ${ARGN})
  if(NOT ${variable})
    part_left_out("${part}" ${package})
  endif()
endfunction()

# find_required_program(VARIABLE NAME PACKAGE [PATHS...]): a program the build cannot do without.
function(find_required_program variable name package)
  find_program(${variable} ${name} PATHS ${ARGN})
  if(NOT ${variable})
    message(FATAL_ERROR "${name} not found: it comes with the Debian package ${package} "
                        "(scripts/install-dependencies.sh installs it)")
  endif()
endfunction()
