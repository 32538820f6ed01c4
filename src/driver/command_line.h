// The command line: options into the create options, file arguments into the paths that the
// commands need, and the choice of the one command to run.
#pragma once
#include "zep/zep.h"

#include <cstdint>
#include <string>

// Leading white space, an optional sign, then decimal digits up to the first non-digit; no
// digits give 0, values beyond 32 bits are held at the nearest limit.
int32_t parseOptionValue(const char* text);

enum class Command {
    USAGE,
    HELP,
    VERSION,
    MISPLACED_OPTION,
    CHECK_WITH_CREATE,
    VIEW,
    APPLY,
    CREATE,
    APPLY_TREE,
    CREATE_TREE
};

inline zep_create_options defaultOptions()
{
    zep_create_options options;
    zep_create_options_init(&options);
    return options;
}

inline zep_apply_options defaultApplyOptions()
{
    zep_apply_options options;
    zep_apply_options_init(&options);
    return options;
}

struct Invocation {
    Command command = Command::USAGE;
    zep_create_options options = defaultOptions();           // -S, -M, -B, -W, -Z
    zep_apply_options applyOptions = defaultApplyOptions();  // -T, -C, -E
    bool tree = false;                                       // -R
    std::string sourcePath;  // first file argument; for view and apply the difference file
    std::string destPath;    // the new version; for a tree's apply the tree, or empty
    std::string diffPath;    // the third file argument, or named after the destination
};

// Reads the options and picks the command. An argument starting with '-' is an option; one
// starting with '/' is an option only when it is a lone '/' or holds no second '/' and names
// nothing that exists, so that absolute paths stay file arguments. A difference file named
// like an option that names nothing (zep old new -W) is taken for an option put last
// (MISPLACED_OPTION, its name in diffPath), so that nothing is written to a file of that name.
Invocation parseCommandLine(int argc, const char* const* argv);

// "Qorv version " and the library's version, then an empty line: the first output of every run.
extern const char kBanner[];
// The four lines the tool shows for no file argument or an unknown option.
extern const char kUsage[];
// What --help shows: every option, one line each.
extern const char kHelp[];
