# The API reference: Doxygen over the public headers (KorviHeaders.cmake).
#   docs/Doxyfile        `cmake --build build --target docs` writes the HTML
#                        to build/docs/html/ (index.html)
#   docs/Doxyfile.check  the same with every warning a failure, which the
#                        docs test runs (an undocumented public declaration
#                        fails it)
include(${CMAKE_CURRENT_LIST_DIR}/KorviHeaders.cmake)

set(KORVI_DOXYGEN_INPUT)
foreach(_folder ${KORVI_PUBLIC_FOLDERS})
  korvi_public_headers(${_folder} _headers)
  list(TRANSFORM _headers PREPEND ${KORVI_BUILD_INCLUDE_DIR}/korvi/)
  list(APPEND KORVI_DOXYGEN_INPUT ${_headers})
endforeach()
list(JOIN KORVI_DOXYGEN_INPUT " " KORVI_DOXYGEN_INPUT)

set(KORVI_DOXYGEN_OUTPUT ${PROJECT_BINARY_DIR}/docs)
set(KORVI_DOXYGEN_WARN_AS_ERROR NO)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
set(KORVI_DOXYGEN_OUTPUT ${PROJECT_BINARY_DIR}/docs/check)
set(KORVI_DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile.check @ONLY)

find_program(KORVI_DOXYGEN doxygen)
if(KORVI_DOXYGEN)
  add_custom_target(docs COMMAND ${KORVI_DOXYGEN} ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Writing the API reference to ${PROJECT_BINARY_DIR}/docs/html/index.html")
else()
  add_custom_target(docs COMMAND ${CMAKE_COMMAND} -E echo
      "doxygen is not installed (apt-get install doxygen), so there is no API reference"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
