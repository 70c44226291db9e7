// Self-contained builds only (platform/Ui.cmake adds this file): libexpat, which
// fontconfig reads its files with, seeds its hash salt with arc4random_buf. The C
// library has it only since glibc 2.36; this one, over getrandom, lets the program
// start on glibc 2.35, the floor that the static libgcc sets (tests/release checks it).
#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void arc4random_buf(void* buffer, std::size_t size) noexcept {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::abort();  // no entropy at all: as the C library's own arc4random_buf does
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}
