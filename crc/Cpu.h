// Processor features that the CRC paths depend on, asked of the CPU itself
// (CPUID through the compiler's own header; no operating-system call).
#pragma once

namespace nolt::crc {

// True on an x86 processor with SSE2 and PCLMULQDQ; false elsewhere.
bool CpuHasClmul();

}  // namespace nolt::crc
