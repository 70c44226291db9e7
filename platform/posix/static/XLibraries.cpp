// Self-contained builds only (platform/Ui.cmake adds this file and links with
// --wrap=dlopen,--wrap=dlsym): X libraries that FLTK and Xlib load at run time are
// answered from the static copies linked into the program.
//
// FLTK loads libXrandr to follow screen changes, Xlib loads libXcursor for themed
// cursors. The system's copies would bring the system's libX11 and libxcb along and
// work on a display connection made by our static ones, whose private structures
// need not match them. Every other library is loaded as usual.
#include <X11/Xcursor/Xcursor.h>
#include <X11/extensions/Xrandr.h>

#include <cstring>

extern "C" {
void* __real_dlopen(const char* file, int mode);
void* __real_dlsym(void* handle, const char* name);
void* __wrap_dlopen(const char* file, int mode);
void* __wrap_dlsym(void* handle, const char* name);
}

namespace {

struct Symbol {
  const char* name;
  void* address;
};

struct Library {
  const char* soname;  // matches "libXrandr.so", "libXrandr.so.2", a path ending in them
  const Symbol* symbols;
};

// The functions the loaders look up (Xlib asks for Xcursor's names with and without a
// leading underscore and takes the first it finds).
const Symbol kXrandr[] = {
    {"XRRQueryExtension", reinterpret_cast<void*>(&XRRQueryExtension)},
    {"XRRSelectInput", reinterpret_cast<void*>(&XRRSelectInput)},
    {"XRRUpdateConfiguration", reinterpret_cast<void*>(&XRRUpdateConfiguration)},
    {"XRRSizes", reinterpret_cast<void*>(&XRRSizes)},
    {nullptr, nullptr}};
const Symbol kXcursor[] = {
    {"XcursorTryShapeCursor", reinterpret_cast<void*>(&XcursorTryShapeCursor)},
    {"XcursorNoticeCreateBitmap", reinterpret_cast<void*>(&XcursorNoticeCreateBitmap)},
    {"XcursorNoticePutBitmap", reinterpret_cast<void*>(&XcursorNoticePutBitmap)},
    {"XcursorTryShapeBitmapCursor", reinterpret_cast<void*>(&XcursorTryShapeBitmapCursor)},
    {nullptr, nullptr}};

// The handles given out are the addresses of these entries.
const Library kLibraries[] = {{"libXrandr.so", kXrandr}, {"libXcursor.so", kXcursor}};

const Library* Linked(const char* file) {
  if (!file) return nullptr;
  const char* slash = std::strrchr(file, '/');
  const char* base = slash ? slash + 1 : file;
  for (const Library& lib : kLibraries) {
    const size_t n = std::strlen(lib.soname);
    if (std::strncmp(base, lib.soname, n) == 0 && (base[n] == '\0' || base[n] == '.')) return &lib;
  }
  return nullptr;
}

}  // namespace

void* __wrap_dlopen(const char* file, int mode) {
  if (const Library* lib = Linked(file)) return const_cast<Library*>(lib);
  return __real_dlopen(file, mode);
}

void* __wrap_dlsym(void* handle, const char* name) {
  for (const Library& lib : kLibraries) {
    if (handle != &lib) continue;
    for (const Symbol* s = lib.symbols; s->name; ++s)
      if (std::strcmp(s->name, name) == 0) return s->address;
    return nullptr;
  }
  return __real_dlsym(handle, name);
}
