// The processor features that the vector paths use. Every vector path has a plain C++ path
// beside it that every architecture compiles and that writes the same bytes; the vector path is
// taken only where it is compiled in (ZEP_X86_VECTORS) and the feature below is on. Tests turn
// features off to check the plain paths against the vector ones on the same machine.
#pragma once

// The x86-64 intrinsics are compiled in; which of them may run is decided at run time.
#if defined(__x86_64__)
#define ZEP_X86_VECTORS
#endif

struct CpuFeatures {
    bool sse2 = false;       // 16-byte compares and sums: every x86-64 processor
    bool shuffle = false;    // SSSE3 byte shuffles with POPCNT: group packing, block replay
    bool avx2 = false;       // the 32-lane near search
    bool clmul = false;      // carry-less multiplication: checksums folded 64 bytes a round
    bool wideClmul = false;  // the same in 512-bit registers (AVX-512BW, VPCLMULQDQ), 256 a round
};

namespace cpu_detail {
// Found before main; all false (every plain path) until then.
extern CpuFeatures active;
}  // namespace cpu_detail

// The features the vector paths may use now.
inline const CpuFeatures& cpuFeatures()
{
    return cpu_detail::active;
}

// What this processor has, whatever is in use.
CpuFeatures processorFeatures();

// Uses the features that are both wanted and on this processor, from the next call of each path
// on: CpuFeatures{} forces every plain path, processorFeatures() is the default. For tests and
// benchmarks; the paths give the same results with any set.
void useCpuFeatures(const CpuFeatures& wanted);
