# The cabinet library seam: cabinet.dll is loaded at run time on Windows; Linux
# decodes cabinets with libmspack.
if(NOT WIN32)
  find_path(MSPACK_INCLUDE_DIR mspack.h REQUIRED)
  target_include_directories(nolt_platform PRIVATE ${MSPACK_INCLUDE_DIR})
  nolt_link_system_library(nolt_platform MODULES libmspack)
endif()
