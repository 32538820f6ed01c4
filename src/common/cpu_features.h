// The processor features that the vector paths use. Every vector path has a plain C++ path
// beside it that every architecture compiles and that writes the same bytes; the vector path is
// taken only where it is compiled in (ZEP_X86_VECTORS) and the feature below is on. Tests turn
// features off to check the plain paths against the vector ones on the same machine.
#pragma once

namespace zep {

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
// What the processor has: found once, before main, and never changed (all false, every plain
// path, until then).
extern const CpuFeatures detected;
// The features a thread may use, all of them unless a test narrows them down for its thread:
// a choice of code paths, never of results, and no run sees another thread's choice.
inline CpuFeatures& allowed()
{
    thread_local CpuFeatures features = {true, true, true, true, true};
    return features;
}
}  // namespace cpu_detail

// The features the vector paths may use now.
inline CpuFeatures cpuFeatures()
{
    const CpuFeatures& on = cpu_detail::detected;
    const CpuFeatures& allowed = cpu_detail::allowed();
    return {on.sse2 && allowed.sse2, on.shuffle && allowed.shuffle, on.avx2 && allowed.avx2,
            on.clmul && allowed.clmul, on.wideClmul && allowed.wideClmul};
}

// What this processor has, whatever is in use.
CpuFeatures processorFeatures();

// Uses the features that are both wanted and on this processor, in this thread, from the next
// call of each path on: CpuFeatures{} forces every plain path, processorFeatures() is the
// default. For tests and benchmarks; the paths give the same results with any set.
void useCpuFeatures(const CpuFeatures& wanted);

}  // namespace zep
