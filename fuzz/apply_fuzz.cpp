// The whole apply command on an arbitrary difference file, in a scratch directory holding the
// two sources the seed records were made from, with their recorded times. Whatever happens, no
// temporary file is left behind unless the run ended where one is meant to stay.
#include "fuzz_sources.h"
#include "harness.h"
#include "zep/zep.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

// The library's own units.
using namespace zep;

namespace {

std::string directory;
std::string temporary;
int startDirectory = -1;  // the fuzzer's own paths are relative to it

void putSource(const char* name, const std::string& content)
{
    writeWholeFile(name, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    const struct timespec times[2] = {{0, UTIME_OMIT}, kSourceTime};
    utimensat(AT_FDCWD, name, times, 0);
}

bool isEmpty(const std::string& dir)
{
    DIR* handle = opendir(dir.c_str());
    bool empty = true;
    while (const dirent* entry = readdir(handle))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            empty = false;
    closedir(handle);
    return empty;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    directory = makeScratchDirectory("apply");
    temporary = directory + "/tmp";
    mkdir(temporary.c_str(), 0700);
    startDirectory = open(".", O_RDONLY | O_DIRECTORY);
    setenv("TMPDIR", temporary.c_str(), 1);
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (chdir(directory.c_str()) != 0)
        std::abort();
    emptyDirectory(directory);
    emptyDirectory(temporary);
    putSource("a", kSourceA);
    putSource("b", kSourceB);
    writeWholeFile("d.zep", data, size);
    const int ended = zep_apply("d.zep", nullptr, nullptr);
    if (fchdir(startDirectory) != 0)
        std::abort();
    if (ended != ZEP_RENAME_FAILED && ended != ZEP_CANNOT_CLOSE && !isEmpty(temporary))
        std::abort();
    return 0;
}
