// Create and apply throughput of the built tool on generated file pairs, and the fast encoder
// against the reference one. Reports destination megabytes per second and the child's peak RSS.
#include "common/checksum.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "format/record_header.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The library's own units.
using namespace zep;

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
        std::atexit([] { std::system(("rm -rf '" + dir + "'").c_str()); });
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

// Runs zep once with the arguments in the directory; returns seconds taken and the child's
// peak resident set in KiB.
std::pair<double, long> runZep(const std::vector<std::string>& args, const std::string& directory,
                               int expectedStatus = 0)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        freopen("/dev/null", "w", stderr);
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        setenv("TMPDIR", (scratchDirectory() + "/tmp").c_str(), 1);
        std::vector<char*> argv = {const_cast<char*>("zep")};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(ZEP_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expectedStatus)
        std::fprintf(stderr, "zep failed with status %d\n", status);
    return {seconds, usage.ru_maxrss};
}

std::string recordPath(const std::string& source)
{
    return source + ".zep";
}

std::pair<double, long> runCreate(const std::string& source, const std::string& dest)
{
    const std::string diff = recordPath(source);
    std::remove(diff.c_str());
    return runZep({source, dest, diff}, scratchDirectory());
}

// Applies the pair's record in a directory of its own that holds only the source (a hard link,
// so its time is the recorded one); the result and the backup are removed between runs.
std::pair<double, long> runApply(const std::string& source, const std::string& dest)
{
    const std::string directory = scratchDirectory() + "/apply";
    const std::string name = source.substr(source.rfind('/') + 1);
    const std::string result = directory + "/" + dest.substr(dest.rfind('/') + 1);
    mkdir(directory.c_str(), 0700);
    mkdir((scratchDirectory() + "/tmp").c_str(), 0700);
    std::remove(result.c_str());
    if (access(recordPath(source).c_str(), R_OK) != 0)
        runCreate(source, dest);
    if (access((directory + "/" + name).c_str(), R_OK) != 0)
        link(source.c_str(), (directory + "/" + name).c_str());
    return runZep({recordPath(source)}, directory);
}

using Runner = std::pair<double, long> (*)(const std::string&, const std::string&);

uint64_t fileBytes(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Peak RSS of a run that maps nothing (the usage text): the program, its libraries, its stack.
long baselineRssKiB()
{
    static const long baseline = runZep({}, scratchDirectory(), 246).second;
    return baseline;
}

// Times the runs and reports the peak RSS, and what it holds beyond the baseline and the
// mapped inputs (create maps source and destination; apply the source and the record).
void benchRun(benchmark::State& state, Runner runner, const std::string& source,
              const std::string& dest, size_t destSize)
{
    long peak = 0;
    for (auto _ : state) {
        const auto [seconds, rss] = runner(source, dest);
        state.SetIterationTime(seconds);
        peak = std::max(peak, rss);
    }
    const uint64_t mapped =
        fileBytes(source) + (runner == runCreate ? fileBytes(dest) : fileBytes(recordPath(source)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * destSize));
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["beyond_mapped_KiB"] =
        static_cast<double>(peak - baselineRssKiB()) - static_cast<double>(mapped) / 1024.0;
}

// A generated pair, written once on first use and not kept in memory: the child's peak RSS
// would count it.
struct FilePair {
    std::string source, dest;
    size_t destSize;
};

const FilePair& filePair(const std::string& name)
{
    static std::map<std::string, FilePair> pairs;
    auto found = pairs.find(name);
    if (found != pairs.end())
        return found->second;
    FilePair made;
    if (name == "Identical64MiB")
        made = {store("identical.old", randomBytes(64 << 20, 1)),
                store("identical.new", randomBytes(64 << 20, 1)), 64 << 20};
    else if (name == "ScatteredEdits64MiB")
        made = {store("edits.old", randomBytes(64 << 20, 2)),
                store("edits.new", scatteredEdits(randomBytes(64 << 20, 2), 3)), 64 << 20};
    else
        made = {store("unrelated.old", randomBytes(8 << 20, 4)),
                store("unrelated.new", randomBytes(8 << 20, 5)), 8 << 20};
    return pairs.emplace(name, made).first->second;
}

// BM_Create<pair> and BM_Apply<pair> for every pair, the built tool timed from outside.
const bool toolBenchmarks = [] {
    for (const char* name : {"Identical64MiB", "ScatteredEdits64MiB", "Unrelated8MiB"})
        for (const auto& [command, runner] :
             {std::pair<std::string, Runner>{"Create", runCreate}, {"Apply", runApply}})
            benchmark::RegisterBenchmark(("BM_" + command + name).c_str(),
                                         [name, runner](benchmark::State& state) {
                                             const FilePair& files = filePair(name);
                                             benchRun(state, runner, files.source, files.dest,
                                                      files.destSize);
                                         })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    return true;
}();

// A record whose header claims 4 GiB on both sides (checksum made valid again) over a 64 KiB
// source: nothing is sized from the claims, so the run stays at the baseline. The result falls
// short of the claimed size and is refused (251).
void BM_ApplyClaimsHugeSizes(benchmark::State& state)
{
    static const std::string source = store("claims.old", randomBytes(64 << 10, 8));
    static const std::string dest =
        store("claims.new", scatteredEdits(randomBytes(64 << 10, 8), 9));
    const std::string directory = scratchDirectory() + "/claims";
    static const bool made = [&] {
        runCreate(source, dest);
        std::fstream record(recordPath(source), std::ios::binary | std::ios::in | std::ios::out);
        Bytes header(200);
        record.read(reinterpret_cast<char*>(header.data()), 200);
        const uint32_t length = header[14] | (header[15] << 8);
        for (const size_t field : {48, 82})
            for (int i = 0; i < 4; ++i)
                header[field + i] = 0xFF;
        const uint32_t checksum = crcBlock(header.data() + 4, length - 4, crcInit());
        for (int i = 0; i < 4; ++i)
            header[i] = static_cast<uint8_t>(checksum >> (8 * i));
        record.seekp(0);
        record.write(reinterpret_cast<const char*>(header.data()), length);
        mkdir(directory.c_str(), 0700);
        mkdir((scratchDirectory() + "/tmp").c_str(), 0700);
        link(source.c_str(), (directory + "/claims.old").c_str());
        return true;
    }();
    long peak = 0;
    for (auto _ : state) {
        const auto [seconds, rss] = runZep({recordPath(source)}, directory, 251);
        state.SetIterationTime(seconds);
        peak = std::max(peak, rss);
    }
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["beyond_baseline_KiB"] = static_cast<double>(peak - baselineRssKiB());
    benchmark::DoNotOptimize(made);
}

// The encoder alone, in this process, on unrelated data: the block search's worst case.
void benchEncoder(benchmark::State& state, EncoderSpeed speed)
{
    static const Bytes source = randomBytes(256 << 10, 6);
    static const Bytes dest = randomBytes(256 << 10, 7);
    for (auto _ : state) {
        const Report quiet;
        FileSlot diff;
        openNullSink(diff);
        RecordOutput output(diff, quiet, false);
        RecordHeader header = buildRecordHeader("a", "b");
        header.setField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
        header.setField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
        encodeStream(output, header, Tuning{}, source.data(), dest.data(), speed);
        closeNullSink(diff);
    }
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

BENCHMARK(BM_ApplyClaimsHugeSizes)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeUnrelatedReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeUnrelatedFast)->Unit(benchmark::kMillisecond);
