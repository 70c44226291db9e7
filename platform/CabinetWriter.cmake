# The cabinet writer: libgcab on Linux, cabinet.dll's FCI on Windows (through
# mingw's import library). Programs that never write a cabinet do not reference
# either, so neither ends up among their dependencies.
if(WIN32)
  target_link_libraries(nolt_platform PUBLIC cabinet)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCAB REQUIRED IMPORTED_TARGET libgcab-1.0)
  target_link_libraries(nolt_platform PUBLIC PkgConfig::GCAB)
endif()
