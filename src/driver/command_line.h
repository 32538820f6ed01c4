// The command line: options into the tuning values, file arguments into the paths and base
// names that the commands need, and the choice of the one command to run.
#pragma once
#include <cstdint>
#include <string>

// The four pieces of a path; '/' and '\' both separate directories, and each piece is cut to
// 255 characters.
struct PathPieces {
    std::string drive;      // "C:" when the second character is ':'
    std::string directory;  // up to and including the last separator
    std::string name;       // up to the last '.' behind the directory
    std::string extension;  // from that '.' on
};
PathPieces splitPath(const std::string& path);
// The file name and extension, without drive or directory.
std::string baseName(const std::string& path);
// The destination's file name with ".zep" in place of its extension, in the current directory.
std::string defaultDiffPath(const std::string& destPath);
// Leading white space, an optional sign, then decimal digits up to the first non-digit; no
// digits give 0, values beyond 32 bits are held at the nearest limit.
int32_t parseOptionValue(const char* text);

enum class Command { USAGE, VIEW, APPLY, CREATE };

struct Invocation {
    Command command = Command::USAGE;
    std::string sourcePath;  // first file argument; for view and apply the difference file
    std::string sourceName;
    std::string destPath;
    std::string destName;
    std::string diffPath;
};

// Reads the options into the tuning values and picks the command. An argument starting with '-'
// is an option; one starting with '/' is an option only when it is a lone '/' or holds no
// second '/' and names nothing that exists, so that absolute paths stay file arguments.
Invocation parseCommandLine(int argc, const char* const* argv);

// A record stores each input under its base name, and apply later opens and writes that name in
// the current directory. An input whose own name would be stored as another one ("dir\a.txt"
// as "a.txt", "C:b.txt" as "b.txt") would make apply read or write the wrong file, and one with
// control characters would be refused there: such a create ends with "[%s] unsafe file name.\n",
// status 8.
void refuseNamesStoredOtherwise(const Invocation& invocation);

void printBanner();
[[noreturn]] void showUsage();
