// Finding the processor's features once, and the switch that tests use to turn them off.
#include "common/cpu_features.h"

namespace zep {

namespace {

CpuFeatures detectFeatures()
{
    CpuFeatures found;
#ifdef ZEP_X86_VECTORS
    __builtin_cpu_init();  // this may run before the library's own set-up
    found.sse2 = true;
    found.shuffle = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    found.avx2 = __builtin_cpu_supports("avx2");
    found.clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    found.wideClmul = found.clmul && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("vpclmulqdq");
#endif
    return found;
}

}  // namespace

const CpuFeatures cpu_detail::detected = detectFeatures();

CpuFeatures processorFeatures()
{
    return detectFeatures();
}

void useCpuFeatures(const CpuFeatures& wanted)
{
    cpu_detail::allowed() = wanted;
}

}  // namespace zep
