# The cryptography seam: libgcrypt on both targets. The Windows programs link its
# static archives (Debian's libgcrypt-mingw-w64-dev), which need Winsock for their
# entropy gathering; a self-contained Linux program links them statically too.
if(WIN32)
  target_link_libraries(nolt_platform PUBLIC gcrypt gpg-error ws2_32)
else()
  nolt_link_system_library(nolt_platform MODULES libgcrypt)
endif()
