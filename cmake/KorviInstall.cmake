# Installation and packaging of Korvi: the static libraries, the public
# headers under include/korvi/<folder>/, the programs with their man pages,
# the CMake package (KorviConfig.cmake, imported target Korvi::korvi) and the
# pkg-config file korvi.pc; and the Debian package cpack -G DEB builds of them.
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/KorviHeaders.cmake)

set(KORVI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Korvi)

# --- Libraries and headers -----------------------------------------------------

install(TARGETS korvi ${KORVI_LIBRARIES} EXPORT KorviTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

foreach(_folder ${KORVI_PUBLIC_FOLDERS})
  korvi_public_headers(${_folder} _headers)
  list(TRANSFORM _headers PREPEND ${PROJECT_SOURCE_DIR}/)
  install(FILES ${_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvi/${_folder})
endforeach()

# --- Programs ------------------------------------------------------------------

if(TARGET korvi-serve)
  install(TARGETS korvi-serve korvi-map RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/korvi-serve.1 ${PROJECT_SOURCE_DIR}/docs/man/korvi-map.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- CMake package ---------------------------------------------------------------

# Packages whose imported targets the libraries link.
set(KORVI_DEPENDENCIES Threads SQLite3 PostgreSQL OpenSSL)
install(EXPORT KorviTargets NAMESPACE Korvi:: DESTINATION ${KORVI_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KorviConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KorviConfig.cmake INSTALL_DESTINATION ${KORVI_CMAKE_DIR})
# Releases before 1.0 keep their interface within a minor version only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KorviConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KorviConfig.cmake ${PROJECT_BINARY_DIR}/KorviConfigVersion.cmake
  DESTINATION ${KORVI_CMAKE_DIR})

# --- pkg-config ------------------------------------------------------------------

# korvi.pc finds the prefix from its own place, so the installed tree can move.
file(RELATIVE_PATH KORVI_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KORVI_PC_TO_PREFIX "${KORVI_PC_TO_PREFIX}")
set(KORVI_PC_LIBS)
foreach(_library ${KORVI_LIBRARIES})
  get_target_property(_type ${_library} TYPE)
  if(_type STREQUAL "STATIC_LIBRARY")
    string(APPEND KORVI_PC_LIBS " -l${_library}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvi.pc.in ${PROJECT_BINARY_DIR}/korvi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korvi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- Debian package ----------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvi developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small HTTP/1.0 web server library for C++20 applications")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Korvi puts a small HTTP/1.0 web server inside a C++ application: a server\n\
component with action items, request and response objects, sessions, page\n\
producers and a data layer on SQLite. The package holds the static\n\
libraries, the headers, the CMake package and korvi.pc, and the programs\n\
korvi-serve (serves a directory) and korvi-map (edits URL map files).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# The programs' shared libraries come from dpkg-shlibdeps when it is there.
# Building against the static libraries needs SQLite's, libpq's and OpenSSL's headers
# and development libraries, which find_package(Korvi) and korvi.pc ask for.
find_program(KORVI_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KORVI_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-dev, libpq-dev, libssl-dev")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libsqlite3-0, libsqlite3-dev, libpq5, libpq-dev, libssl3, libssl-dev")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, cmake")
include(CPack)
