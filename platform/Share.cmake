# The network-share seam: mpr.dll's import library on Windows (a system DLL). On
# Linux libsmbclient is loaded at run time, only when a share is used, so no program
# needs it to start (cmake/SelfContained.cmake); its header comes from libsmbclient-dev.
if(WIN32)
  target_link_libraries(nolt_platform PUBLIC mpr)
else()
  find_path(NOLT_SMBCLIENT_INCLUDE_DIR libsmbclient.h PATH_SUFFIXES samba-4.0 REQUIRED)
  target_include_directories(nolt_platform SYSTEM PRIVATE ${NOLT_SMBCLIENT_INCLUDE_DIR})
  target_link_libraries(nolt_platform PUBLIC ${CMAKE_DL_LIBS})
endif()
