// Runs the built zep binary in a fresh temporary directory per test case and captures what a
// shell would see: exit status (low 8 bits), standard output, standard error.
#pragma once
#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// One record of a difference file, split at its header length.
struct StoredRecord {
    std::string header;
    std::string stream;
    uint32_t field(size_t offset) const;    // little-endian 32-bit field
    std::string text(size_t offset) const;  // zero-terminated text at offset
};
// The records of a difference file that holds them back to back.
std::vector<StoredRecord> splitRecords(const std::string& content);
// Recomputes the checksum of the record header at offset at, after a test changed a field.
void sealHeader(std::string& file, size_t at = 0);
void store32(std::string& file, size_t at, uint32_t value);

// CRC-32/MPEG-2, bit by bit, to check stored checksums independently of the tool's tables.
uint32_t crcMpeg2(const std::string& data);
// Bytes of no structure, the same for the same seed.
std::string pseudoRandom(size_t count, uint32_t seed);

struct ToolRun {
    int status = -1;  // 0..255 as a shell sees it; 128 + signal when killed
    std::string out;
    std::string err;
    long peakKiB = 0;  // the most memory the program had resident at once
};

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs zep with the arguments in the work directory; env holds NAME=value overrides.
    ToolRun runTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    // Runs a /bin/sh command line in the work directory with $ZEP naming the binary.
    ToolRun runShell(const std::string& command);
    // The name in the work directory; an absolute name as it is.
    std::string path(const std::string& name) const;
    void writeFile(const std::string& name, const std::string& content);
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const;
    void removeFile(const std::string& name);
    // Sets a file's last-write time, in seconds and nanoseconds since 1970.
    void setModified(const std::string& name, long long seconds, long nanoseconds = 0);
    // A new directory on another file system than the work directory's (removed with the test),
    // or "" when this machine has none to offer.
    std::string directoryElsewhere();
    // The directory's entries, sorted, without . and ..
    std::vector<std::string> listDirectory(const std::string& name = ".") const;

    // Runs a program (args[0], a full path) in the work directory and captures its streams.
    ToolRun run(const std::vector<std::string>& args, const std::vector<std::string>& env);
    // The same in two halves, for a test that acts on the program while it runs.
    pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& env);
    ToolRun finish(pid_t child);

    std::string root_;  // holds work/ and the captured streams
    std::string work_;
    std::map<pid_t, std::pair<std::string, std::string>> streams_;  // of started programs
    std::vector<std::string> elsewhere_;
};

// "Qorv version 1.13\n\n": every run starts with it on standard error.
extern const std::string kBanner;
extern const std::string kUsage;
