// Linux implementation of the cabinet writer seam: libgcab over GIO streams. Must contain only Linux-specific code.
#include "platform/CabinetWriter.h"

#include <libgcab.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat {
namespace {

// Owns one reference of a GLib object.
template <class T> class Ref {
 public:
  explicit Ref(T* p = nullptr) : p_(p) {}
  ~Ref() {
    if (p_) g_object_unref(p_);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* get() const { return p_; }

 private:
  T* p_;
};

// Owns a GError and turns it into the seam's error text.
struct ErrorBox {
  GError* e = nullptr;
  ~ErrorBox() {
    if (e) g_error_free(e);
  }
  GError** out() { return &e; }
  std::string Text(const std::string& what) const { return what + ": " + (e ? e->message : "unknown error"); }
};

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// The local time of a modification time as MS-DOS dates can hold it: they span
// 1980 to 2107, and a time outside (a build tool's epoch-0 stamp, say) is clamped
// to the nearest end instead of failing the whole release.
GDateTime* LocalDosTime(time_t mtime) {
  GDateTime* local = g_date_time_new_from_unix_local(static_cast<gint64>(mtime));
  bool early = local ? g_date_time_get_year(local) < 1980 : mtime < 0;
  bool late = local ? g_date_time_get_year(local) > 2107 : mtime >= 0;
  if (!early && !late) return local;
  if (local) g_date_time_unref(local);
  return early ? g_date_time_new_local(1980, 1, 1, 0, 0, 0) : g_date_time_new_local(2107, 12, 31, 23, 59, 58);
}

class GcabCabinetWriter final : public CabinetWriter {
 public:
  bool WriteSingleFileCabinet(const std::string& cabPath, const std::string& sourcePath,
                              const std::string& entryName, std::string* error) override {
    if (HoldsNul(cabPath) || HoldsNul(sourcePath) || HoldsNul(entryName)) {
      *error = "a path or the entry name holds a NUL byte";
      return false;
    }
    if (entryName.empty() || entryName.size() > kCabinetMaxNameLength) {
      *error = "entry name must have 1 to " + std::to_string(kCabinetMaxNameLength) + " bytes: \"" + entryName + "\"";
      return false;
    }
    struct stat st;
    if (::stat(sourcePath.c_str(), &st) != 0) {
      *error = sourcePath + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *error = sourcePath + ": not a regular file";
      return false;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kCabinetMaxFileSize) {
      *error = sourcePath + ": " + std::to_string(st.st_size) + " bytes is more than a cabinet holds (" +
               std::to_string(kCabinetMaxFileSize) + ")";
      return false;
    }

    Ref<GFile> source(g_file_new_for_path(sourcePath.c_str()));
    Ref<GCabFile> entry(gcab_file_new_with_file(entryName.c_str(), source.get()));
    // The date is set explicitly as a local time, so the stored fields are local
    // time whatever the library would otherwise pick.
    GDateTime* local = LocalDosTime(st.st_mtime);
    if (!local) {
      *error = sourcePath + ": modification time out of range";
      return false;
    }
    gcab_file_set_date_time(entry.get(), local);
    g_date_time_unref(local);
    // Names are UTF-8 here; readers take names without the flag as a legacy code page.
    gcab_file_set_attributes(entry.get(),
                             kCabinetEntryAttributes | (IsAscii(entryName) ? 0 : GCAB_FILE_ATTRIBUTE_NAME_IS_UTF));

    Ref<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
    ErrorBox err;
    if (!gcab_folder_add_file(folder.get(), entry.get(), FALSE, nullptr, err.out())) {
      *error = err.Text(sourcePath);
      return false;
    }
    Ref<GCabCabinet> cabinet(gcab_cabinet_new());
    if (!gcab_cabinet_add_folder(cabinet.get(), folder.get(), err.out())) {
      *error = err.Text(sourcePath);
      return false;
    }

    // Remove an old file first so the new one is created with the usual
    // permissions instead of inheriting those of whatever lay there.
    if (::unlink(cabPath.c_str()) != 0 && errno != ENOENT) {
      *error = cabPath + ": " + std::strerror(errno);
      return false;
    }
    Ref<GFile> target(g_file_new_for_path(cabPath.c_str()));
    Ref<GFileOutputStream> out(g_file_create(target.get(), G_FILE_CREATE_NONE, nullptr, err.out()));
    if (!out.get()) {
      *error = err.Text(cabPath);
      return false;
    }
    bool ok = gcab_cabinet_write_simple(cabinet.get(), G_OUTPUT_STREAM(out.get()), nullptr, nullptr, nullptr,
                                        err.out());
    if (!ok) *error = err.Text(cabPath);
    ErrorBox closeErr;
    if (!g_output_stream_close(G_OUTPUT_STREAM(out.get()), nullptr, closeErr.out()) && ok) {
      ok = false;
      *error = closeErr.Text(cabPath);
    }
    if (!ok) ::unlink(cabPath.c_str());
    return ok;
  }
};

}  // namespace

template <> CabinetWriter& SystemInstance<CabinetWriter>() {
  static GcabCabinetWriter* instance = new GcabCabinetWriter;
  return *instance;
}

}  // namespace plat
