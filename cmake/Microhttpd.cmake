# GNU libmicrohttpd, tsserve's HTTP server, from Debian's source package
# (scripts/setup.sh puts it in .deps/): configured with the target's compiler
# and built in the build folder as a static library with Win32 threads,
# without TLS. It is built unchanged; make runs on every build, so that a
# changed source (to relink tsserve with another libmicrohttpd) is compiled.
set(MICROHTTPD_DIR ${PROJECT_SOURCE_DIR}/.deps/libmicrohttpd CACHE PATH "libmicrohttpd's source")
if(NOT EXISTS ${MICROHTTPD_DIR}/src/microhttpd/daemon.c)
  message(FATAL_ERROR "libmicrohttpd's source is missing in ${MICROHTTPD_DIR}: run scripts/setup.sh")
endif()
find_program(MICROHTTPD_MAKE make REQUIRED)
include(ExternalProject)
set(MICROHTTPD_BUILD ${CMAKE_BINARY_DIR}/libmicrohttpd)
set(MICROHTTPD_LIBRARY ${MICROHTTPD_BUILD}/src/microhttpd/.libs/libmicrohttpd.a)
ExternalProject_Add(microhttpd_build
  SOURCE_DIR ${MICROHTTPD_DIR}
  BINARY_DIR ${MICROHTTPD_BUILD}
  CONFIGURE_COMMAND ${MICROHTTPD_DIR}/configure --quiet --host=${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32
    CC=${CMAKE_C_COMPILER} --enable-static --disable-shared --disable-https --without-gnutls
    --disable-doc --disable-examples --disable-curl
  BUILD_COMMAND ${MICROHTTPD_MAKE} -s -C src/microhttpd
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${MICROHTTPD_LIBRARY}
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_OUTPUT_ON_FAILURE ON)
add_library(microhttpd STATIC IMPORTED GLOBAL)
set_target_properties(microhttpd PROPERTIES IMPORTED_LOCATION ${MICROHTTPD_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${MICROHTTPD_DIR}/src/include INTERFACE_LINK_LIBRARIES ws2_32)
add_dependencies(microhttpd microhttpd_build)
