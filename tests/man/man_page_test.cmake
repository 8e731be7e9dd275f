# Keeps a program's man page in step with its --help text: both name the
# same options (written \-\-name in the page), and groff reads the page
# without a warning when it is installed.
#   cmake -DPROGRAM=... -DPAGE=... -P man_page_test.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${PROGRAM} --help RESULT_VARIABLE result OUTPUT_VARIABLE help)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${result})")
endif()
file(READ ${PAGE} page)

# The options a text names, with their dashes as plain "-".
function(options_of text out)
  string(REPLACE "\\-" "-" text "${text}")
  string(REGEX MATCHALL "--[a-z][a-z-]*[a-z]" found "${text}")
  list(REMOVE_DUPLICATES found)
  list(SORT found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

options_of("${help}" help_options)
options_of("${page}" page_options)
if(NOT help_options)
  message(FATAL_ERROR "no options found in the --help text:\n${help}")
endif()
if(NOT help_options STREQUAL page_options)
  message(FATAL_ERROR "${PAGE} and --help name different options\n"
                      "  --help: ${help_options}\n  page:   ${page_options}")
endif()

find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                  RESULT_VARIABLE result ERROR_VARIABLE warnings)
  if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "groff reports on ${PAGE}:\n${warnings}")
  endif()
endif()
