if(WIN32)
  # FindExecutableA lives in shell32, WaitForInputIdle in user32.
  target_link_libraries(nolt_platform PUBLIC shell32 user32)
endif()
