// Option parsing, path splitting and the choice of command.
#include "driver/command_line.h"

#include "common/fatal.h"
#include "common/printable.h"
#include "encoder/tuning.h"
#include "format/record_header.h"
#include "platform/platform.h"

#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr size_t kMaxPiece = 255;

std::string cutPiece(const std::string& text, size_t from, size_t to)
{
    return text.substr(from, std::min(to - from, kMaxPiece));
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
    return argument.find('/', 1) == std::string::npos && !platform::pathExists(argument.c_str());
}

}  // namespace

PathPieces splitPath(const std::string& path)
{
    PathPieces pieces;
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        pieces.drive = path.substr(0, 2);
        start = 2;
    }
    const size_t separator = path.find_last_of("/\\");
    size_t nameStart = start;
    if (separator != std::string::npos && separator >= start) {
        pieces.directory = cutPiece(path, start, separator + 1);
        nameStart = separator + 1;
    }
    const size_t dot = path.find_last_of('.');
    const size_t nameEnd = (dot != std::string::npos && dot >= nameStart) ? dot : path.size();
    pieces.name = cutPiece(path, nameStart, nameEnd);
    pieces.extension = cutPiece(path, nameEnd, path.size());
    return pieces;
}

std::string baseName(const std::string& path)
{
    const PathPieces pieces = splitPath(path);
    return pieces.name + pieces.extension;
}

std::string defaultDiffPath(const std::string& destPath)
{
    return splitPath(destPath).name + ".zep";
}

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
        const char letter =
            argument.size() > 1
                ? static_cast<char>(std::toupper(static_cast<unsigned char>(argument[1])))
                : '\0';
        switch (letter) {
        case 'B':
            deepSearch = 0;
            break;
        case 'M':
            matchThreshold = parseOptionValue(argument.c_str() + 2);
            break;
        case 'S':
            searchRange = parseOptionValue(argument.c_str() + 2);
            break;
        case 'V':
            view = true;
            break;
        case 'W':  // beyond the usage text on purpose: it lists only /V
            wholeFileSearch = 1;
            break;
        default:
            return invocation;
        }
    }
    const std::vector<std::string> files(argv + index, argv + argc);
    if (files.empty())
        return invocation;

    invocation.sourcePath = files[0];
    invocation.sourceName = baseName(files[0]);
    if (view) {
        invocation.command = Command::VIEW;
    } else if (files.size() == 1) {
        invocation.command = Command::APPLY;
    } else {
        invocation.command = Command::CREATE;
        invocation.destPath = files[1];
        invocation.destName = baseName(files[1]);
        invocation.diffPath = files.size() >= 3 ? files[2] : defaultDiffPath(files[1]);
    }
    return invocation;
}

void refuseNamesStoredOtherwise(const Invocation& invocation)
{
    const std::pair<const std::string*, const std::string*> inputs[] = {
        {&invocation.sourcePath, &invocation.sourceName},
        {&invocation.destPath, &invocation.destName}};
    for (const auto& [path, stored] : inputs) {
        const size_t slash = path->find_last_of('/');
        const std::string own = slash == std::string::npos ? *path : path->substr(slash + 1);
        // Empty names, "." and ".." are directories, which fail as such when opened.
        const bool special = stored->empty() || *stored == "." || *stored == "..";
        if (own != *stored || (!special && !isStorableName(stored->c_str())))
            fatalExit(ExitCode::UNSAFE_NAME, "[%s] unsafe file name.\n", printable(*path).c_str());
    }
}

void printBanner()
{
    std::fprintf(stderr, "Qorv version %d.%02x\n\n", 1, 0x13);
}

void showUsage()
{
    fatalExit(ExitCode::USAGE, "Usage: zep zep-filename\n"
                               "       zep source-filename destination-filename [zep-filename]\n"
                               "Option:\n"
                               "V|v\tview .zep file\n");
}
