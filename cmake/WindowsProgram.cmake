# What Windows, Explorer and an administrator's inventory see of each shipped program:
# an application manifest (run as the invoker, supported systems, common controls 6,
# per-monitor DPI awareness, long paths), a version resource and the icon. The file
# and product version is the project's version (project() in the top CMakeLists.txt);
# company and product are the vendor's to set when it configures the build:
#
#   cmake --preset win32 -DNOLT_COMPANY_NAME="Example Software Ltd" -DNOLT_PRODUCT_NAME="Example Updater"

set(NOLT_COMPANY_NAME "" CACHE STRING "Company named in the Windows programs' version resource (the vendor's)")
set(NOLT_PRODUCT_NAME "NOLT patch updater" CACHE STRING "Product named in the Windows programs' version resource")
foreach(var NOLT_COMPANY_NAME NOLT_PRODUCT_NAME)
  # The texts go into a resource script's strings as they stand (UTF-8).
  if("${${var}}" MATCHES "[\"\\\\\t\r\n]")
    message(FATAL_ERROR "${var} must not hold quotes, backslashes, tabs or line breaks")
  endif()
endforeach()
if(NOLT_PRODUCT_NAME STREQUAL "")
  message(FATAL_ERROR "NOLT_PRODUCT_NAME must not be empty")
endif()

# nolt_windows_program(<target> DESCRIPTION <text>): gives a Windows program its
# manifest, version resource and icon (resources/Program.rc.in). Nothing on Linux.
function(nolt_windows_program target)
  cmake_parse_arguments(A "" "DESCRIPTION" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  if(NOT A_DESCRIPTION)
    message(FATAL_ERROR "nolt_windows_program(${target}) needs a DESCRIPTION")
  endif()
  set(NOLT_PROGRAM_NAME ${target})
  set(NOLT_PROGRAM_DESCRIPTION "${A_DESCRIPTION}")
  set(NOLT_ICON_FILE ${NOLT_RESOURCE_DIR}/nolt.ico)
  set(dir ${CMAKE_BINARY_DIR}/program-resources/${target})
  set(NOLT_MANIFEST_FILE ${dir}/${target}.manifest)
  if(PROJECT_VERSION_TWEAK STREQUAL "")
    set(PROJECT_VERSION_TWEAK 0)
  endif()
  set(NOLT_COMPANY_LINE "")
  if(NOT NOLT_COMPANY_NAME STREQUAL "")
    set(NOLT_COMPANY_LINE "VALUE \"CompanyName\", \"${NOLT_COMPANY_NAME}\"")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/resources/Program.manifest.in ${NOLT_MANIFEST_FILE} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/resources/Program.rc.in ${dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS "${NOLT_MANIFEST_FILE};${NOLT_ICON_FILE}")
  # The icon is drawn at build time, with the clips.
  add_dependencies(${target} nolt_resource_files)
endfunction()
