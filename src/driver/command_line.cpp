// Option parsing and the choice of command.
#include "driver/command_line.h"

#include <cctype>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

// The difference file named after the destination, as the library names it.
std::string diffName(const std::string& destPath)
{
    std::string name(zep_diff_name(destPath.c_str(), nullptr, 0), '\0');
    zep_diff_name(destPath.c_str(), name.data(), name.size() + 1);
    return name;
}

bool pathExists(const char* path)
{
    struct stat info;
    return ::lstat(path, &info) == 0;
}

bool isOption(const std::string& argument)
{
    if (argument.empty())
        return false;
    if (argument[0] == '-')
        return true;
    if (argument[0] != '/')
        return false;
    if (argument.size() == 1)
        return true;
    return argument.find('/', 1) == std::string::npos && !pathExists(argument.c_str());
}

// A difference-file argument that the user surely meant as an option: '-' with a letter the
// parser takes (the rest of it as the parser reads it), "--help", "--version" or '-' alone; '/'
// only with a letter, and a value for -M and -S, since longer ones are absolute paths.
bool looksLikeOption(const std::string& argument)
{
    if (argument == "-" || argument == "--help" || argument == "--version")
        return true;
    if (argument.size() < 2 || !isOption(argument))
        return false;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(argument[1])));
    if (std::strchr("BCEMSTVWZ", letter) == nullptr)
        return false;
    if (argument[0] == '-')
        return true;
    const bool valued = letter == 'M' || letter == 'S';
    return argument.size() == 2 ||
           (valued && argument.find_first_not_of("+-0123456789", 2) == std::string::npos);
}

}  // namespace

int32_t parseOptionValue(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX + int64_t{1})
            value = INT32_MAX + int64_t{1};  // held here so the sum never overflows
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<int32_t>(value);
}

Invocation parseCommandLine(int argc, const char* const* argv)
{
    Invocation invocation;
    bool view = false;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (!isOption(argument))
            break;
        if (argument == "--help" || argument == "--version") {
            invocation.command = argument == "--help" ? Command::HELP : Command::VERSION;
            return invocation;
        }
        const char letter =
            argument.size() > 1
                ? static_cast<char>(std::toupper(static_cast<unsigned char>(argument[1])))
                : '\0';
        switch (letter) {
        case 'B':
            invocation.options.block_search = 0;
            break;
        case 'C':
            invocation.applyOptions.check_only = 1;
            break;
        case 'E':
            invocation.applyOptions.strict = 1;
            break;
        case 'M':
            invocation.options.match_threshold = parseOptionValue(argument.c_str() + 2);
            break;
        case 'R':
            invocation.tree = true;
            break;
        case 'S':
            invocation.options.search_range = parseOptionValue(argument.c_str() + 2);
            break;
        case 'T':
            invocation.applyOptions.source_by_content = 1;
            break;
        case 'V':
            view = true;
            break;
        case 'W':  // beyond the usage text on purpose: it lists only /V
            invocation.options.whole_file = 1;
            break;
        case 'Z':  // beyond the usage text too
            invocation.options.compact = 1;
            break;
        default:
            return invocation;
        }
    }
    const std::vector<std::string> files(argv + index, argv + argc);
    if (files.empty())
        return invocation;

    invocation.sourcePath = files[0];
    if (view) {
        invocation.command = Command::VIEW;
    } else if (files.size() == 1 || (invocation.tree && files.size() == 2)) {
        // A tree is updated in the directory given after the difference file, or here.
        invocation.command = invocation.tree ? Command::APPLY_TREE : Command::APPLY;
        if (files.size() == 2)
            invocation.destPath = files[1];
    } else {
        invocation.command = invocation.tree ? Command::CREATE_TREE : Command::CREATE;
        invocation.destPath = files[1];
        invocation.diffPath = files.size() >= 3 ? files[2] : diffName(files[1]);
        if (files.size() >= 3 && looksLikeOption(files[2]) && !pathExists(files[2].c_str()))
            invocation.command = Command::MISPLACED_OPTION;
        // A check writes nothing; a create that it reached would append a record.
        if (invocation.applyOptions.check_only != 0)
            invocation.command = Command::CHECK_WITH_CREATE;
    }
    return invocation;
}

const char kBanner[] = "Qorv version " ZEP_VERSION_STRING "\n\n";

const char kUsage[] = "Usage: zep zep-filename\n"
                      "       zep source-filename destination-filename [zep-filename]\n"
                      "Option:\n"
                      "V|v\tview .zep file\n";

const char kHelp[] =
    "Usage: zep [-W] [-Z] [-B] [-Mn] [-Sn] old new [file.zep]  append the record old -> new\n"
    "       zep [-C] [-E] [-T] file.zep   apply every record in the current directory\n"
    "       zep -V file.zep               list the records\n"
    "       zep -R [options] old-dir new-dir file.zep  record a whole tree\n"
    "       zep -R [-C] [-E] [-T] file.zep [dir]       update the tree here (or dir)\n"
    "Options go in front of the file names, as -X or /X, in either case:\n"
    "  -W   search the whole old version (insertions, moves of any size)\n"
    "  -Z   compact record (zstd); -W -Z gives the smallest records\n"
    "  -B   no block search (default on)\n"
    "  -Mn  match threshold of the near search in percent (default 65)\n"
    "  -Sn  shifts the near search tries on each side (default 47)\n"
    "  -V   list the records instead of applying them\n"
    "  -C   check what an apply would do, writing nothing (status 17: not all)\n"
    "  -E   apply strictly: status 17 when a record was skipped\n"
    "  -R   whole trees: every file, link and directory below the two directories\n"
    "  -T   take an old version whose time differs when its content is right\n"
    "  --help     this text\n"
    "  --version  the version\n";
