// What every fuzz target shares: scratch files and directories. The library prints nothing and
// ends no process, and each input runs in a run of its own, released when it ends.
#pragma once
#include "common/file_layer.h"
#include "common/status.h"
#include "format/record_header.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The library's own units.
using namespace zep;

inline void writeWholeFile(const std::string& name, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size))
        std::abort();
    std::fclose(file);
}

// A private directory to run commands in, on a memory file system where there is one.
inline std::string makeScratchDirectory(const char* name)
{
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(base) + "/zep-fuzz-" + name + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            return pattern;
    }
    std::abort();
}

// Removes every entry of a flat directory (the commands make no subdirectories).
inline void emptyDirectory(const std::string& directory)
{
    DIR* handle = opendir(directory.c_str());
    if (handle == nullptr)
        return;
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            unlink((directory + "/" + name).c_str());
    }
    closedir(handle);
}
