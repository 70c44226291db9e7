# The cabinet library seam: cabinet.dll is loaded at run time on Windows; Linux
# decodes cabinets with libmspack.
if(NOT WIN32)
  find_path(MSPACK_INCLUDE_DIR mspack.h REQUIRED)
  find_library(MSPACK_LIBRARY mspack REQUIRED)
  target_include_directories(nolt_platform PRIVATE ${MSPACK_INCLUDE_DIR})
  target_link_libraries(nolt_platform PUBLIC ${MSPACK_LIBRARY})
endif()
