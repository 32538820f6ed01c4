// The black-box test fixture: fork, chdir into the work directory, exec the binary.
#include "cli/cli_test.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const std::string kBanner = "Qorv version 1.13\n\n";
const std::string kUsage = "Usage: zep zep-filename\n"
                           "       zep source-filename destination-filename [zep-filename]\n"
                           "Option:\n"
                           "V|v\tview .zep file\n";

namespace {

std::string slurp(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void removeTree(const std::string& dir)
{
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr)
        return;
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string full = dir + "/" + name;
        struct stat info;
        if (lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            chmod(full.c_str(), 0700);
            removeTree(full);
        } else {
            unlink(full.c_str());
        }
    }
    closedir(handle);
    rmdir(dir.c_str());
}

}  // namespace

uint32_t crcMpeg2(const std::string& data)
{
    uint32_t value = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        value ^= uint32_t{byte} << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
    }
    return value;
}

std::string pseudoRandom(size_t count, uint32_t seed)
{
    std::string bytes(count, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 23);
    }
    return bytes;
}

void store32(std::string& file, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        file[at + i] = static_cast<char>(value >> (8 * i));
}

void sealHeader(std::string& file, size_t at)
{
    const auto byte = [&](size_t i) { return uint32_t{static_cast<unsigned char>(file[at + i])}; };
    const uint32_t length = byte(14) | (byte(15) << 8) | (byte(16) << 16) | (byte(17) << 24);
    store32(file, at, crcMpeg2(file.substr(at + 4, length - 4)));
}

void CliTest::SetUp()
{
    // A memory file system where there is one: every apply and create flushes its files to
    // disk, which would make thousands of runs slow for nothing.
    const char* base = std::getenv("TMPDIR");
    const char* fallback = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base && *base ? base : fallback) + "/zep-cli-XXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    ASSERT_NE(mkdtemp(text.data()), nullptr);
    root_ = text.data();
    work_ = root_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
}

void CliTest::TearDown()
{
    removeTree(root_);
    for (const std::string& directory : elsewhere_)
        removeTree(directory);
}

std::string CliTest::directoryElsewhere()
{
    struct stat work, other;
    for (const char* base : {"/dev/shm", "/tmp"}) {
        if (stat(work_.c_str(), &work) != 0 || stat(base, &other) != 0 ||
            work.st_dev == other.st_dev || access(base, W_OK) != 0)
            continue;
        std::string pattern = std::string(base) + "/zep-cli-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            continue;
        elsewhere_.push_back(pattern);
        return pattern;
    }
    return "";
}

uint32_t StoredRecord::field(size_t offset) const
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(header.at(offset + i));
    return value;
}

std::string StoredRecord::text(size_t offset) const
{
    return std::string(header.c_str() + offset);
}

std::vector<StoredRecord> splitRecords(const std::string& content)
{
    std::vector<StoredRecord> records;
    size_t at = 0;
    while (at + 18 <= content.size()) {
        StoredRecord record;
        record.header = content.substr(at, 18);
        const uint32_t headerLength = record.field(14);
        record.header = content.substr(at, headerLength);
        if (record.header.size() < headerLength || headerLength < 94)
            break;
        record.stream = content.substr(at + headerLength, record.field(90));
        at += headerLength + record.stream.size();
        records.push_back(record);
    }
    return records;
}

ToolRun CliTest::runShell(const std::string& command)
{
    return run({"/bin/sh", "-c", command}, {std::string("ZEP=") + ZEP_BINARY});
}

ToolRun CliTest::runTool(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    std::vector<std::string> argv = {ZEP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env);
}

ToolRun CliTest::run(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    return finish(start(args, env));
}

pid_t CliTest::start(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    static int started = 0;
    const std::string outFile = root_ + "/stdout" + std::to_string(started);
    const std::string errFile = root_ + "/stderr" + std::to_string(started++);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(work_.c_str()) != 0)
            _exit(200);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(201);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        for (const std::string& setting : env)
            putenv(const_cast<char*>(setting.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(202);
    }
    if (child > 0)
        streams_[child] = {outFile, errFile};
    return child;
}

ToolRun CliTest::finish(pid_t child)
{
    ToolRun run;
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return run;
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto [outFile, errFile] = streams_[child];
    streams_.erase(child);
    run.out = slurp(outFile);
    run.err = slurp(errFile);
    unlink(outFile.c_str());
    unlink(errFile.c_str());
    return run;
}

std::string CliTest::path(const std::string& name) const
{
    return name.rfind('/', 0) == 0 ? name : work_ + "/" + name;
}

void CliTest::writeFile(const std::string& name, const std::string& content)
{
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << name;
}

std::string CliTest::readFile(const std::string& name) const
{
    return slurp(path(name));
}

bool CliTest::exists(const std::string& name) const
{
    struct stat info;
    return lstat(path(name).c_str(), &info) == 0;
}

void CliTest::removeFile(const std::string& name)
{
    ASSERT_EQ(unlink(path(name).c_str()), 0) << name;
}

void CliTest::setModified(const std::string& name, long long seconds, long nanoseconds)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = nanoseconds;
    ASSERT_EQ(utimensat(AT_FDCWD, path(name).c_str(), times, 0), 0) << name;
}

std::vector<std::string> CliTest::listDirectory(const std::string& name) const
{
    std::vector<std::string> names;
    DIR* handle = opendir(path(name).c_str());
    if (handle == nullptr)
        return names;
    while (const dirent* entry = readdir(handle)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            names.push_back(entryName);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}
