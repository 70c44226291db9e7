// A files seam that records the calls that make a file last: which path each handle
// belongs to, its writes, flushes and closes, the renames ("move SOURCE > TARGET")
// and the directory flushes, in order. The crash-order tests read it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/ForwardingFiles.h"

namespace nolt::test {

class DurabilityLog : public ForwardingFiles {
 public:
  std::vector<std::string> calls;
  std::map<plat::FileHandle, std::string> paths;

  plat::FileHandle CreateTempFileIn(const std::string& d, const std::string& p, const std::string& s,
                                    std::string* path) override {
    const plat::FileHandle h = real.CreateTempFileIn(d, p, s, path);
    paths[h] = *path;
    return h;
  }
  plat::FileHandle CreateFileA(const std::string& p, plat::FileAccess a, plat::FileCreate c) override {
    const plat::FileHandle h = real.CreateFileA(p, a, c);
    paths[h] = p;
    return h;
  }
  plat::FileHandle CreateFileNoFollow(const std::string& p, plat::FileAccess a, std::uint32_t s,
                                      plat::FileCreate c) override {
    const plat::FileHandle h = real.CreateFileNoFollow(p, a, s, c);
    paths[h] = p;
    return h;
  }
  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    calls.push_back("write " + paths[h]);
    return real.WriteFile(h, b, n, w);
  }
  bool FlushFileBuffers(plat::FileHandle h) override {
    calls.push_back("flush " + paths[h]);
    return real.FlushFileBuffers(h);
  }
  bool CloseHandle(plat::FileHandle h) override {
    calls.push_back("close " + paths[h]);
    return real.CloseHandle(h);
  }
  bool MoveFileReplace(const std::string& s, const std::string& t) override {
    calls.push_back("move " + s + " > " + t);
    return real.MoveFileReplace(s, t);
  }
  bool FlushDirectory(const std::string& d) override {
    calls.push_back("flushdir " + d);
    return real.FlushDirectory(d);
  }
};

}  // namespace nolt::test
