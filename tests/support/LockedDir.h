// A directory that this process may not write, for the tests of what a user without
// the rights meets. Root may write anywhere, so the directory is made immutable
// (chattr +i) where that works, else its write permission is taken away. A Windows
// test program under Wine does the same through the Linux shell, as Wine has no
// access rules of its own. Locked() is false where neither keeps this process out;
// the test then skips.
#pragma once

#include <string>

namespace nolt::test {

class LockedDir {
 public:
  // dir: an existing directory, with or without its trailing separator.
  explicit LockedDir(const std::string& dir);
  // Gives the rights back, so that the directory can be removed.
  ~LockedDir();
  LockedDir(const LockedDir&) = delete;
  LockedDir& operator=(const LockedDir&) = delete;

  bool Locked() const { return locked_; }

 private:
  std::string dir_;
  bool locked_ = false;
};

}  // namespace nolt::test
