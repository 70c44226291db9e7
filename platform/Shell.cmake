if(WIN32)
  target_link_libraries(nolt_platform PUBLIC shell32)
endif()
