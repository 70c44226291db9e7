# The cabinet writer: libgcab on Linux, cabinet.dll's FCI on Windows (through
# mingw's import library). Only the packaging tool writes cabinets: a program that
# never calls the writer imports nothing from cabinet.dll's FCI, and on Linux the
# libraries are linked "as needed", so the updater does not depend on libgcab.
if(WIN32)
  target_link_libraries(nolt_platform PUBLIC cabinet)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCAB REQUIRED IMPORTED_TARGET libgcab-1.0)
  target_link_libraries(nolt_platform PUBLIC -Wl,--push-state,--as-needed PkgConfig::GCAB -Wl,--pop-state)
endif()
