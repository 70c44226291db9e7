# Self-contained Linux programs.
#
# An updater is copied into an installation alone, so the Linux release programs
# need nothing at run time beyond what every distribution has: the C library
# (libc, libm, the loader) and libcurl, which follows the system's certificates
# and proxies. Everything else is linked from static archives:
#   - libstdc++ and libgcc, through the options below, for every program;
#   - each system library that a seam links through nolt_link_system_library(),
#     with every library it needs in turn (pkg-config --static).
# Symbols of the archives stay inside the program (--exclude-libs), so libcurl's
# own shared dependencies (zlib, brotli) never bind to our static copies. The X
# libraries that FLTK and Xlib load at run time are answered from the linked
# copies (platform/Ui.cmake).
#
# NOLT_SELF_CONTAINED is on by default for a Linux Release build without
# sanitizers (the native-release preset); the tests of tests/release then check
# every program of app/ and tools/.

if(NOT WIN32 AND CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT NOLT_SANITIZE)
  set(nolt_self_contained_default ON)
else()
  set(nolt_self_contained_default OFF)
endif()
option(NOLT_SELF_CONTAINED "Link the Linux programs statically against every library but libc and libcurl"
       ${nolt_self_contained_default})
if(WIN32)
  set(NOLT_SELF_CONTAINED OFF)  # the Windows programs are linked -static anyway
endif()

# What a self-contained program may need at run time (tests/release checks it); a
# program that keeps another shared library names it in its NOLT_SHARED_LIBRARIES.
set(NOLT_RUNTIME_LIBRARIES libc.so.6 libm.so.6 ld-linux-x86-64.so.2 libcurl.so.4)
# The oldest C library they start on: the static libgcc's unwinder calls
# _dl_find_object, new in glibc 2.35 (Debian 12, Ubuntu 22.04 and later have it).
set(NOLT_GLIBC_FLOOR 2.35)

if(NOLT_SELF_CONTAINED)
  # --gc-sections drops the unused parts of the archives (a tenth of the updater).
  add_link_options(-Wl,--as-needed -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--gc-sections)
endif()

# Parts of the C library that pkg-config names as libraries: always the system's own.
set(NOLT_C_LIBRARY_PARTS c m dl pthread rt)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
endif()

# nolt_link_system_library(<target> [LIBRARY <name>] [MODULES <pkg-config module>...])
#
# Linux: links a system library to <target> (PUBLIC): lib<name> given by LIBRARY (for a
# library without a pkg-config file), and the pkg-config MODULES, which are also
# the libraries that LIBRARY needs. Self-contained, these are static archives, and
# so is everything the modules need (pkg-config --static); configuring fails when
# an archive is missing (its -dev package belongs in scripts/deps). Otherwise they
# are the shared libraries. Adding a library is one line, for example
#   nolt_link_system_library(nolt_platform MODULES libgcrypt)
function(nolt_link_system_library target)
  cmake_parse_arguments(A "" "LIBRARY" "MODULES" ${ARGN})
  set(libs)
  if(A_MODULES)
    string(MAKE_C_IDENTIFIER "NOLT_PC_${A_MODULES}" pc)
    if(NOLT_SELF_CONTAINED)
      pkg_check_modules(${pc} REQUIRED QUIET ${A_MODULES})
      set(libs ${${pc}_STATIC_LIBRARIES})
      target_include_directories(${target} SYSTEM PRIVATE ${${pc}_STATIC_INCLUDE_DIRS})
      target_link_options(${target} PUBLIC ${${pc}_STATIC_LDFLAGS_OTHER})
    else()
      pkg_check_modules(${pc} REQUIRED QUIET IMPORTED_TARGET ${A_MODULES})
    endif()
  endif()

  if(NOT NOLT_SELF_CONTAINED)
    if(A_LIBRARY)
      find_library(NOLT_${A_LIBRARY}_LIBRARY ${A_LIBRARY} REQUIRED)
      target_link_libraries(${target} PUBLIC ${NOLT_${A_LIBRARY}_LIBRARY})
    endif()
    if(A_MODULES)
      target_link_libraries(${target} PUBLIC PkgConfig::${pc})
    endif()
    return()
  endif()

  # pkg-config lists a library before those it needs and may name one several
  # times; the last mention is the one that satisfies every user before it.
  list(PREPEND libs ${A_LIBRARY})
  list(REVERSE libs)
  list(REMOVE_DUPLICATES libs)
  list(REVERSE libs)
  set(archives)
  foreach(lib IN LISTS libs)
    if(lib IN_LIST NOLT_C_LIBRARY_PARTS)
      list(APPEND archives ${lib})
    else()
      find_library(NOLT_${lib}_ARCHIVE NAMES lib${lib}.a HINTS ${${pc}_STATIC_LIBRARY_DIRS} NO_CACHE)
      if(NOT NOLT_${lib}_ARCHIVE)
        message(FATAL_ERROR "lib${lib}.a is missing: a self-contained build links it statically "
                            "(install its -dev package; scripts/deps lists them)")
      endif()
      list(APPEND archives ${NOLT_${lib}_ARCHIVE})
    endif()
  endforeach()
  target_link_libraries(${target} PUBLIC ${archives})
endfunction()
