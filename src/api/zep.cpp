// The C API: each call runs one command, catches the failure it may end with at this boundary
// (after the run has released and cut back what it held), and hands its message to the
// caller's callback. Nothing below prints or ends the process.
#include "zep/zep.h"

#include "common/run.h"
#include "common/status.h"
#include "decoder/apply_command.h"
#include "encoder/create_command.h"
#include "encoder/tuning.h"
#include "viewer/view_command.h"

#include <memory>
#include <new>
#include <string>

// What a signal handler may reach of a call while it runs.
struct zep_run {
    Run run;
    explicit zep_run(const zep_callbacks* callbacks) : run(callbacks) {}
};

namespace {

// Runs one command for the caller in a run of its own and turns the way it ended into a status.
template <typename Command> int runCommand(const zep_callbacks* callbacks, Command command)
{
    std::unique_ptr<zep_run> handle;
    try {
        handle = std::make_unique<zep_run>(callbacks);
    } catch (const std::bad_alloc&) {
        return static_cast<int>(Status::NO_MEMORY);
    }
    const auto tell = [&](zep_run* run) {
        if (callbacks != nullptr && callbacks->run != nullptr)
            callbacks->run(callbacks->context, run);
    };
    tell(handle.get());
    Status status = Status::SUCCESS;
    std::string message;
    try {
        command(handle->run);
    } catch (const Failure& failure) {
        status = failure.status;
        message = failure.message;
    } catch (const std::bad_alloc&) {
        status = Status::NO_MEMORY;
    }
    // Released and cut back before the message: files must be left consistent even if the
    // caller's callback never returns.
    handle->run.files.release();
    tell(nullptr);
    handle.reset();
    if (!message.empty() && callbacks != nullptr && callbacks->message != nullptr)
        callbacks->message(callbacks->context, message.c_str());
    return static_cast<int>(status);
}

}  // namespace

extern "C" {

void zep_create_options_init(zep_create_options* options)
{
    const Tuning defaults;
    *options = {defaults.searchRange, defaults.matchThreshold, defaults.deepSearch,
                defaults.wholeFileSearch, defaults.compact};
}

int zep_create(const char* old_path, const char* new_path, const char* diff_path,
               const zep_create_options* options, const zep_callbacks* callbacks)
{
    if (old_path == nullptr || new_path == nullptr || diff_path == nullptr)
        return ZEP_USAGE;
    zep_create_options chosen;
    zep_create_options_init(&chosen);
    if (options != nullptr)
        chosen = *options;
    const Tuning tuning{chosen.search_range, chosen.match_threshold, chosen.block_search,
                        chosen.whole_file, chosen.compact};
    return runCommand(callbacks,
                      [&](Run& run) { createRecord(run, tuning, old_path, new_path, diff_path); });
}

int zep_apply(const char* diff_path, const char* directory, const zep_callbacks* callbacks)
{
    if (diff_path == nullptr)
        return ZEP_USAGE;
    return runCommand(callbacks, [&](Run& run) {
        applyDifferenceFile(run, diff_path, directory != nullptr ? directory : "");
    });
}

int zep_list(const char* diff_path, int (*each)(void* context, const zep_record* record),
             void* each_context, const zep_callbacks* callbacks)
{
    if (diff_path == nullptr)
        return ZEP_USAGE;
    return runCommand(callbacks,
                      [&](Run& run) { listRecords(run, diff_path, each, each_context); });
}

const char* zep_version(void)
{
    return "1.13";
}

void zep_run_undo(zep_run* run)
{
    run->run.files.undo();
}

const char* zep_run_mapped_file(const zep_run* run, const void* address)
{
    return run->run.files.mappedFileAt(address);
}

}  // extern "C"
