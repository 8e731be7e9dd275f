# Configures the tiny application in this directory, which adds the Korvi
# source tree with add_subdirectory, without GoogleTest (any search for it
# fails the configuration), then checks that none of Korvi's test, tool or
# example programs became targets and builds the application's code and
# Korvi's smallest library.
#   cmake -DKORVI_SOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         [-DLAUNCHER=...] -P embed_test.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
set(launcher)
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK_DIR} -G ${GENERATOR}
          -DKORVI_SOURCE_DIR=${KORVI_SOURCE_DIR} -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          -DCMAKE_BUILD_TYPE=Debug ${launcher}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring the embedding application failed:\n${output}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR} --target help
                RESULT_VARIABLE result OUTPUT_VARIABLE targets ERROR_VARIABLE targets)
if(NOT result EQUAL 0 OR NOT targets MATCHES "korvi_host")
  message(FATAL_ERROR "no target list:\n${targets}")
endif()
foreach(program korvi_test_support korvi_server_tests korvi-serve hello_server echo_server)
  if(targets MATCHES "${program}")
    message(FATAL_ERROR "${program} is a target of the embedding application")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR} -j 2
                        --target embedder_code korvi_host
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the embedding application failed:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
