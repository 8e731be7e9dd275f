# Runs Doxygen with the reference's settings in which every warning fails the
# run; an undocumented public declaration or a malformed comment is named.
#   cmake -DDOXYFILE=.../Doxyfile.check -P api_reference_test.cmake
cmake_minimum_required(VERSION 3.25)

find_program(DOXYGEN doxygen)
if(NOT DOXYGEN)
  message("doxygen is not installed: the API reference is not checked")
  return()
endif()
execute_process(COMMAND ${DOXYGEN} ${DOXYFILE} RESULT_VARIABLE result ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "doxygen reports on the public headers (${result}):\n${warnings}")
endif()
