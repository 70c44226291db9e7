// Registry of the program's resources for the views that draw them from memory.
#include <map>
#include <mutex>
#include <utility>

#include "platform/Ui.h"

namespace plat {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::pair<std::string, int>, ResourceBlob> blobs;
};

// Built on first use: the generated data registers itself during static initialisation.
Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

void RegisterProgramResource(const std::string& type, int id, ResourceBlob blob) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.blobs[{type, id}] = blob;
}

ResourceBlob FindProgramResource(const std::string& type, int id) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.blobs.find({type, id});
  return it == r.blobs.end() ? ResourceBlob{} : it->second;
}

}  // namespace plat
