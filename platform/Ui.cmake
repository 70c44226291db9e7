# Libraries of the user-interface views: the Win32 common controls, or FLTK on X11.
if(WIN32)
  target_link_libraries(nolt_platform PUBLIC comctl32 gdi32 user32)
else()
  find_path(NOLT_FLTK_INCLUDE_DIR FL/Fl.H REQUIRED)
  target_include_directories(nolt_platform SYSTEM PRIVATE ${NOLT_FLTK_INCLUDE_DIR})
  # FLTK and the X libraries it draws with (fltk-config --ldstaticflags); fonts come
  # through Xft and the system's fontconfig files.
  nolt_link_system_library(nolt_platform LIBRARY fltk
                           MODULES x11 xext xfixes xrender xcursor xinerama xrandr xft fontconfig)
  if(NOLT_SELF_CONTAINED)
    # libXrandr and libXcursor, which FLTK and Xlib load at run time, are answered
    # from the static copies; arc4random_buf for libexpat on glibc before 2.36. This
    # archive comes after the archives that call them on the link line, and its own
    # X archives after it.
    add_library(nolt_static_ui STATIC ${CMAKE_CURRENT_LIST_DIR}/posix/static/XLibraries.cpp
                                      ${CMAKE_CURRENT_LIST_DIR}/posix/static/Arc4Random.cpp)
    nolt_link_system_library(nolt_static_ui MODULES xrandr xcursor)
    target_link_libraries(nolt_platform PUBLIC nolt_static_ui)
    target_link_options(nolt_platform INTERFACE "LINKER:--wrap=dlopen,--wrap=dlsym")
  endif()
endif()
