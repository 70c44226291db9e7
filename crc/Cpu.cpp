#include "crc/Cpu.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace nolt::crc {

bool CpuHasClmul() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  // __get_cpuid also checks that CPUID and leaf 1 exist (very old i686 parts).
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & bit_SSE2) != 0 && (ecx & bit_PCLMUL) != 0;
#else
  return false;
#endif
}

}  // namespace nolt::crc
