// Checksum throughput over buffers that stay in cache and buffers that do not.
#include "common/checksum.h"

#include <benchmark/benchmark.h>
#include <vector>

// The library's own units.
using namespace zep;

static void BM_CrcBlock(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    uint32_t crc = crcInit();
    for (auto _ : state) {
        crc = crcBlock(data.data(), data.size(), crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CrcBlock)->Arg(15)->Arg(4096)->Arg(1 << 20)->Arg(64 << 20);

// The byte-at-a-time step, for comparison with the sliced path.
static void BM_CrcUpdateBytewise(benchmark::State& state)
{
    std::vector<uint8_t> data(1 << 20, 0x5A);
    uint32_t crc = crcInit();
    for (auto _ : state) {
        for (uint8_t byte : data)
            crc = crcUpdate(byte, crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_CrcUpdateBytewise);
