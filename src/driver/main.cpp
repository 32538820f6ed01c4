// The command-line tool, a thin client of the library: banner, command line, then exactly one
// call, whose console lines, progress and message go to standard error and whose status is the
// exit status. Only the listing goes to standard output.
#include "driver/command_line.h"
#include "driver/stop_signals.h"
#include "zep/zep.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A name or time from the file as the terminal may get it.
std::string printable(const char* text)
{
    std::string shown;
    for (size_t left = std::strlen(text); left > 0;) {
        char piece[ZEP_ESCAPE_PIECE];
        size_t consumed = 0;
        shown.append(piece, zep_escape_piece(text, left, piece, &consumed));
        text += consumed;
        left -= consumed;
    }
    return shown;
}

void toStandardError(void*, const char* text)
{
    std::fputs(text, stderr);
}

// In place on one line: each percentage overwrites the one before.
int showProgress(void*, int percent)
{
    std::fprintf(stderr, "%02d%%\r", percent);
    return 0;
}

void onRun(void*, zep_run* run)
{
    watchRun(run);
}

const char* osTypeText(unsigned type)
{
    static const char* const kTexts[] = {"MS-DOS", "Windows", "Win32", "OS/2"};
    return type < 4 ? kTexts[type] : "Unknown";
}

// The listing: the first record's OS type, then two lines and an empty one per record. Names
// and times come from the file, whoever made it: what could steer a terminal is shown escaped.
int listRecord(void* context, const zep_record* record)
{
    auto& listed = *static_cast<unsigned*>(context);
    if (listed++ == 0)
        std::printf("OS type: %s\n", osTypeText(record->os_type));
    std::printf("%s %s %08lx %lu\n", printable(record->old_name).c_str(),
                printable(record->old_time).c_str(), static_cast<unsigned long>(record->old_crc),
                static_cast<unsigned long>(record->old_size));
    std::printf(">> %s %s %08lx %lu\n", printable(record->new_name).c_str(),
                printable(record->new_time).c_str(), static_cast<unsigned long>(record->new_crc),
                static_cast<unsigned long>(record->new_size));
    // Made printable by the library: the paths come from the file.
    if (record->tree_changes != nullptr)
        std::fputs(record->tree_changes, stdout);
    std::putchar('\n');
    return 0;
}

int view(const Invocation& invocation, const zep_callbacks& callbacks)
{
    unsigned listed = 0;
    const int status = zep_list(invocation.sourcePath.c_str(), listRecord, &listed, &callbacks);
    // A listing cut short by a full disk or a closed pipe must not end as a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "[%s] can not write.\n", "stdout");
        return ZEP_CANNOT_WRITE;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    handleStopSignals();
    const Invocation invocation = parseCommandLine(argc, argv);
    // Asked for on purpose, these go to standard output, and alone.
    if (invocation.command == Command::HELP || invocation.command == Command::VERSION) {
        if (invocation.command == Command::HELP) {
            std::fputs(kBanner, stdout);
            std::fputs(kHelp, stdout);
        } else {
            std::fwrite(kBanner, 1, std::strlen(kBanner) - 1, stdout);  // the line alone
        }
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? ZEP_OK : ZEP_CANNOT_WRITE;
    }
    std::fputs(kBanner, stderr);
    const zep_callbacks callbacks = {
        sizeof(zep_callbacks), nullptr, toStandardError, toStandardError,
        showProgress,          onRun,   nullptr};
    switch (invocation.command) {
    case Command::USAGE:
        std::fputs(kUsage, stderr);
        return ZEP_USAGE;
    case Command::HELP:
    case Command::VERSION:
        break;  // handled above
    case Command::MISPLACED_OPTION:
        std::fprintf(stderr,
                     "[%s] looks like an option; options go in front of the file names. "
                     "Nothing written.\n",
                     printable(invocation.diffPath.c_str()).c_str());
        return ZEP_USAGE;
    case Command::CHECK_WITH_CREATE:
        std::fputs("-C checks a difference file, given alone; nothing written.\n", stderr);
        return ZEP_USAGE;
    case Command::VIEW:
        return view(invocation, callbacks);
    case Command::APPLY:
        return zep_apply_with(invocation.sourcePath.c_str(), nullptr, &invocation.applyOptions,
                              &callbacks, nullptr);
    case Command::APPLY_TREE:
        return zep_apply_tree(invocation.sourcePath.c_str(),
                              invocation.destPath.empty() ? nullptr : invocation.destPath.c_str(),
                              &invocation.applyOptions, &callbacks, nullptr);
    case Command::CREATE_TREE:
        return zep_create_tree(invocation.sourcePath.c_str(), invocation.destPath.c_str(),
                               invocation.diffPath.c_str(), &invocation.options, &callbacks);
    case Command::CREATE:
        return zep_create(invocation.sourcePath.c_str(), invocation.destPath.c_str(),
                          invocation.diffPath.c_str(), &invocation.options, &callbacks);
    }
    return 0;
}
