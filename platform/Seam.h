// The seam registry: every system service is reached through one small interface
// per kind of service. Each target implementation provides the system instance;
// tests install a fake for the length of a scope.
#pragma once

#include <string>

namespace plat {

// A text that holds a NUL byte. A system call reads a path or a name up to its first
// NUL, so it would act on a shorter path than the one given: every seam operation
// that hands a path to the system refuses such a text instead.
inline bool HoldsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Defined once per seam by the target's implementation file. System instances are
// created on first use and never destroyed: the launcher's wait threads may still
// call them while the program exits.
template <class T> T& SystemInstance();

template <class T> struct SeamSlot {
  static inline T* override = nullptr;
};

// The implementation in use: a test's fake when one is installed, else the system's.
template <class T> T& Use() {
  T* fake = SeamSlot<T>::override;
  return fake ? *fake : SystemInstance<T>();
}

// Installs a fake for the lifetime of this object; scopes nest.
template <class T> class ScopedSeam {
 public:
  explicit ScopedSeam(T& fake) : previous_(SeamSlot<T>::override) { SeamSlot<T>::override = &fake; }
  ~ScopedSeam() { SeamSlot<T>::override = previous_; }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  T* previous_;
};

}  // namespace plat
