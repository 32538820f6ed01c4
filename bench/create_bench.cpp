// Create throughput of the built tool on generated file pairs, and the fast encoder against
// the reference one. Reports destination megabytes per second and the child's peak RSS.
#include "common/checksum.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "format/record_header.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t count, uint32_t seed)
{
    std::mt19937_64 random(seed);
    Bytes bytes(count);
    for (size_t i = 0; i + 8 <= count; i += 8) {
        const uint64_t word = random();
        for (int k = 0; k < 8; ++k)
            bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
    return bytes;
}

// One changed byte per 100, at random places.
Bytes scatteredEdits(Bytes data, uint32_t seed)
{
    std::mt19937_64 random(seed);
    for (size_t n = data.size() / 100; n > 0; --n)
        data[random() % data.size()] += 1;
    return data;
}

std::string scratchDirectory()
{
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/zep-bench-XXXXXX";
        dir = mkdtemp(pattern);
    }
    return dir;
}

std::string store(const std::string& name, const Bytes& data)
{
    const std::string path = scratchDirectory() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return path;
}

// Runs zep once; returns seconds taken and the child's peak resident set in KiB.
std::pair<double, long> runCreate(const std::string& source, const std::string& dest)
{
    const std::string diff = scratchDirectory() + "/out.zep";
    std::remove(diff.c_str());
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        freopen("/dev/null", "w", stderr);
        execl(ZEP_BINARY, "zep", source.c_str(), dest.c_str(), diff.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "zep failed with status %d\n", status);
    return {seconds, usage.ru_maxrss};
}

void benchCreate(benchmark::State& state, const std::string& source, const std::string& dest,
                 size_t destSize)
{
    long peak = 0;
    for (auto _ : state) {
        const auto [seconds, rss] = runCreate(source, dest);
        state.SetIterationTime(seconds);
        peak = std::max(peak, rss);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * destSize));
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
}

// The inputs are written once and not kept in memory: the child's peak RSS would count them.
void BM_CreateIdentical64MiB(benchmark::State& state)
{
    static const std::string a = store("identical.old", randomBytes(64 << 20, 1));
    static const std::string b = store("identical.new", randomBytes(64 << 20, 1));
    benchCreate(state, a, b, 64 << 20);
}

void BM_CreateScatteredEdits64MiB(benchmark::State& state)
{
    static const std::string a = store("edits.old", randomBytes(64 << 20, 2));
    static const std::string b = store("edits.new", scatteredEdits(randomBytes(64 << 20, 2), 3));
    benchCreate(state, a, b, 64 << 20);
}

void BM_CreateUnrelated8MiB(benchmark::State& state)
{
    static const std::string a = store("unrelated.old", randomBytes(8 << 20, 4));
    static const std::string b = store("unrelated.new", randomBytes(8 << 20, 5));
    benchCreate(state, a, b, 8 << 20);
}

// The encoder alone, in this process, on unrelated data: the block search's worst case.
void benchEncoder(benchmark::State& state, EncoderSpeed speed)
{
    static const Bytes source = randomBytes(256 << 10, 6);
    static const Bytes dest = randomBytes(256 << 10, 7);
    FileSlot sink;
    openForWrite("/dev/null", sink);
    for (auto _ : state) {
        buildRecordHeader("a", "b");
        setHeaderField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
        setHeaderField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
        discardCopyRun();
        resetRunningCrcs();
        std::FILE* saved = stderr;
        stderr = std::fopen("/dev/null", "w");
        encodeStream(sink, source.data(), dest.data(), speed);
        std::fclose(stderr);
        stderr = saved;
    }
    closeChecked("/dev/null", sink);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dest.size()));
}

void BM_EncodeUnrelatedReference(benchmark::State& state)
{
    benchEncoder(state, EncoderSpeed::REFERENCE);
}

void BM_EncodeUnrelatedFast(benchmark::State& state)
{
    benchEncoder(state, EncoderSpeed::FAST);
}

}  // namespace

BENCHMARK(BM_CreateIdentical64MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateScatteredEdits64MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateUnrelated8MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeUnrelatedReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeUnrelatedFast)->Unit(benchmark::kMillisecond);
