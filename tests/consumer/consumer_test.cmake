# Installs Korvi from its build tree into a temporary prefix, then builds the
# tiny application in this directory against it twice, found with
# find_package and with pkg-config, and runs each build: it must answer one
# request from curl.
#   cmake -DKORVI_BUILD_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX=...
#         [-DLAUNCHER=...] [-DLINK_OPTIONS=...] -P consumer_test.cmake
# LINK_OPTIONS are the build's own link options (its sanitizers), which a
# program linking its libraries needs as well.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

# Runs a command and stops the test with its output when it fails.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
endfunction()

# The programs link every library: building them builds all there is to install.
run("building Korvi" ${CMAKE_COMMAND} --build ${KORVI_BUILD_DIR} -j 2
    --target korvi-serve korvi-map)
run("installing Korvi" ${CMAKE_COMMAND} --install ${KORVI_BUILD_DIR} --prefix ${prefix})
foreach(file bin/korvi-serve bin/korvi-map share/man/man1/korvi-serve.1
             share/man/man1/korvi-map.1 include/korvi/server/korvi.h
             lib/cmake/Korvi/KorviConfig.cmake lib/cmake/Korvi/KorviConfigVersion.cmake
             lib/pkgconfig/korvi.pc lib/libkorvi_host.a)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
if(EXISTS ${prefix}/include/korvi/server/target_resolver.h)
  message(FATAL_ERROR "an implementation-only header was installed")
endif()

# Installed headers name each other from the one include root: a header that
# includes another by a path without korvi/ would resolve only by accident
# (beside itself) or clash with an application's own folders.
file(GLOB_RECURSE headers ${prefix}/include/korvi/*.h)
foreach(header ${headers})
  file(STRINGS ${header} includes REGEX "^#include")
  foreach(line ${includes})
    if(line MATCHES "^#include \"" AND NOT line MATCHES "^#include \"korvi/")
      message(FATAL_ERROR "${header} includes a Korvi header without korvi/: ${line}")
    endif()
    if(line MATCHES "^#include <(host|data|socket|server|web|session|producer|dynamic|design)/")
      message(FATAL_ERROR "${header} includes a Korvi header without korvi/: ${line}")
    endif()
  endforeach()
endforeach()

# Runs the application built at `program`: it prints its port, curl asks
# for /hello, and the application ends after answering.
function(serve_curl program)
  execute_process(
    COMMAND ${program}
    COMMAND sh -c "read -r word port && exec curl -sS --max-time 10 http://127.0.0.1:$port/hello"
    RESULTS_VARIABLE results OUTPUT_VARIABLE output ERROR_VARIABLE errors TIMEOUT 60)
  if(NOT results STREQUAL "0;0" OR NOT output STREQUAL "Hello from an installed Korvi")
    message(FATAL_ERROR "${program} answered \"${output}\" (exit codes ${results}):\n${errors}")
  endif()
endfunction()

set(launcher)
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
string(REPLACE ";" " " link_flags "${LINK_OPTIONS}")
run("configuring the application with find_package"
    ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK_DIR}/find_package -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Debug
    "-DCMAKE_EXE_LINKER_FLAGS=${link_flags}" ${launcher})
run("building the application with find_package"
    ${CMAKE_COMMAND} --build ${WORK_DIR}/find_package -j 2)
serve_curl(${WORK_DIR}/find_package/consumer)

# The same program built by hand from what pkg-config says.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs --static korvi RESULT_VARIABLE result
                OUTPUT_VARIABLE flags ERROR_VARIABLE errors OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config korvi failed:\n${errors}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("building the application with pkg-config"
    ${LAUNCHER} ${CXX} -std=c++20 ${CMAKE_CURRENT_LIST_DIR}/consumer.cpp -o ${WORK_DIR}/consumer
    ${flags} ${LINK_OPTIONS})
serve_curl(${WORK_DIR}/consumer)

file(REMOVE_RECURSE ${WORK_DIR})
