# OpenJPEG for the JPEG 2000 codec adapter, as the target ql_openjp2.
# Linux: the system library (libopenjp2-7-dev, found through pkg-config),
# together with OpenJPH (libopenjph-dev) for the High-Throughput block coder;
# the target then defines QL_HAVE_OPENJPH.
# Windows: a static cross-build of Debian's openjpeg2 source package, made by
# tools/build-openjpeg-mingw.sh into the build tree on first configure and
# kept there, so later configures and CI reruns reuse it.
if(QL_WINDOWS)
  set(QL_OPENJPEG_PREFIX ${CMAKE_BINARY_DIR}/openjpeg)
  if(NOT EXISTS ${QL_OPENJPEG_PREFIX}/lib/libopenjp2.a)
    message(STATUS "Cross-building OpenJPEG into ${QL_OPENJPEG_PREFIX}")
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/tools/build-openjpeg-mingw.sh ${QL_OPENJPEG_PREFIX}
                    RESULT_VARIABLE QL_OPENJPEG_RC)
    if(NOT QL_OPENJPEG_RC EQUAL 0)
      message(FATAL_ERROR "tools/build-openjpeg-mingw.sh failed (${QL_OPENJPEG_RC})")
    endif()
  endif()
  add_library(ql_openjp2 STATIC IMPORTED GLOBAL)
  set_target_properties(ql_openjp2 PROPERTIES
    IMPORTED_LOCATION ${QL_OPENJPEG_PREFIX}/lib/libopenjp2.a
    INTERFACE_INCLUDE_DIRECTORIES ${QL_OPENJPEG_PREFIX}/include/openjpeg-2.5
    INTERFACE_COMPILE_DEFINITIONS OPJ_STATIC)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OPENJP2 REQUIRED IMPORTED_TARGET GLOBAL libopenjp2>=2.5)
  # Debian 12's openjph.pc names no library: found by hand.
  find_path(QL_OPENJPH_INCLUDE ojph_codestream.h PATH_SUFFIXES openjph REQUIRED)
  find_library(QL_OPENJPH_LIBRARY openjph REQUIRED)
  add_library(ql_openjp2 INTERFACE)
  target_link_libraries(ql_openjp2 INTERFACE PkgConfig::OPENJP2 ${QL_OPENJPH_LIBRARY})
  target_include_directories(ql_openjp2 SYSTEM INTERFACE ${QL_OPENJPH_INCLUDE})
  target_compile_definitions(ql_openjp2 INTERFACE QL_HAVE_OPENJPH)
endif()
