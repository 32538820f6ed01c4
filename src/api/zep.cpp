// The C API: each call runs one command, catches the failure it may end with at this boundary
// (after the run has released and cut back what it held), and hands its message to the
// caller's callback. Nothing below prints or ends the process.
#include "zep/zep.h"

#include "common/file_layer.h"
#include "common/report.h"
#include "common/status.h"
#include "decoder/apply_command.h"
#include "encoder/create_command.h"
#include "encoder/tuning.h"
#include "format/record_header.h"
#include "viewer/view_command.h"

#include <new>
#include <string>

struct zep_run {};

namespace {

zep_run theRun;

// Runs one command for the caller and turns the way it ended into a status.
template <typename Command> int runCommand(const zep_callbacks* callbacks, Command command)
{
    reportTo(callbacks);
    const auto tell = [&](zep_run* run) {
        if (callbacks != nullptr && callbacks->run != nullptr)
            callbacks->run(callbacks->context, run);
    };
    tell(&theRun);
    Status status = Status::SUCCESS;
    std::string message;
    try {
        command();
    } catch (const Failure& failure) {
        status = failure.status;
        message = failure.message;
    } catch (const std::bad_alloc&) {
        status = Status::NO_MEMORY;
    }
    // Released and cut back before the message: files must be left consistent even if the
    // caller's callback never returns.
    closeAllFiles();
    releaseHeader();
    tell(nullptr);
    if (!message.empty() && callbacks != nullptr && callbacks->message != nullptr)
        callbacks->message(callbacks->context, message.c_str());
    reportTo(nullptr);
    return static_cast<int>(status);
}

}  // namespace

extern "C" {

void zep_create_options_init(zep_create_options* options)
{
    *options = {47, 65, 1, 0};
}

int zep_create(const char* old_path, const char* new_path, const char* diff_path,
               const zep_create_options* options, const zep_callbacks* callbacks)
{
    zep_create_options chosen;
    zep_create_options_init(&chosen);
    if (options != nullptr)
        chosen = *options;
    const int status = runCommand(callbacks, [&] {
        searchRange = chosen.search_range;
        matchThreshold = chosen.match_threshold;
        deepSearch = chosen.block_search;
        wholeFileSearch = chosen.whole_file;
        createRecord(old_path, new_path, diff_path);
    });
    resetTuning();
    return status;
}

int zep_apply(const char* diff_path, const char* directory, const zep_callbacks* callbacks)
{
    return runCommand(
        callbacks, [&] { applyDifferenceFile(diff_path, directory != nullptr ? directory : ""); });
}

int zep_list(const char* diff_path, int (*each)(void* context, const zep_record* record),
             void* each_context, const zep_callbacks* callbacks)
{
    return runCommand(callbacks, [&] { listRecords(diff_path, each, each_context); });
}

const char* zep_version(void)
{
    return "1.13";
}

void zep_run_undo(zep_run*)
{
    undoOnSignal();
}

const char* zep_run_mapped_file(const zep_run*, const void* address)
{
    return mappedFileAt(address);
}

}  // extern "C"
