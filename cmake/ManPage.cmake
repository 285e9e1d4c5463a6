# Run by the build (cmake -P): writes a program's man page with help2man from its --help, with
# each of its subcommands' --help in a section of its own, so that the page names every option.
#   -D program=PATH -D description=TEXT -D section=N -D version=V -D help2man=PATH -D output=FILE
execute_process(COMMAND ${program} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${program} --help failed (${status})")
endif()
# The pages are made side by side: whichever comes first makes their folder.
get_filename_component(folder ${output} DIRECTORY)
file(MAKE_DIRECTORY ${folder})

# The subcommands are the first word of each line of the "Subcommands:" block.
set(include)
string(FIND "${help}" "\nSubcommands:\n" at)
if(NOT at EQUAL -1)
  set(include_file ${output}.include)
  set(include --include=${include_file})
  string(SUBSTRING "${help}" ${at} -1 block)
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" subcommands "${block}")
  file(WRITE ${include_file} "[SUBCOMMANDS]\n")
  foreach(subcommand IN LISTS subcommands)
    string(STRIP "${subcommand}" subcommand)
    execute_process(COMMAND ${program} ${subcommand} --help OUTPUT_VARIABLE subhelp RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${program} ${subcommand} --help failed (${status})")
    endif()
    # Preformatted, as the program prints it; roff's own escapes taken literally.
    string(REPLACE "\\" "\\e" subhelp "${subhelp}")
    string(REGEX REPLACE "\n\\." "\n\\\\&." subhelp "${subhelp}")
    file(APPEND ${include_file} ".SS ${subcommand}\n.nf\n${subhelp}.fi\n")
  endforeach()
endif()

execute_process(
  COMMAND ${help2man} --no-info --section=${section} --name=${description} --version-string=${version}
          ${include} --output=${output} ${program}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man could not write the man page of ${program} (${status})")
endif()
