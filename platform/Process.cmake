if(WIN32)
  # FindExecutableA and ShellExecuteExA live in shell32, WaitForInputIdle in user32;
  # the shell's start may need COM (ole32).
  target_link_libraries(nolt_platform PUBLIC shell32 user32 ole32)
endif()
