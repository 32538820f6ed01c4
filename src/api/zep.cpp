// The C API: each call runs one command, catches the failure it may end with at this boundary
// (after the run has released and cut back what it held), and hands its message to the
// caller's callback. Nothing below prints or ends the process.
#include "zep/zep.h"

#include "common/file_layer.h"
#include "common/printable.h"
#include "common/report.h"
#include "common/status.h"
#include "decoder/apply_command.h"
#include "decoder/tree_apply.h"
#include "encoder/create_command.h"
#include "encoder/tree_create.h"
#include "encoder/tuning.h"
#include "format/file_names.h"
#include "viewer/view_command.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <string>

using namespace zep;

// What every call holds while it runs, whichever command it is: the report to its caller and
// the files it opens, which this edge releases however the command ends, and which a signal
// handler may undo meanwhile. The rest of a run is the command's own.
struct zep_run {
    explicit zep_run(const zep_callbacks* callbacks) : report(callbacks) {}
    Report report;
    RunFiles files;
};

namespace {

// The caller's struct as this build knows it: the members that the caller's size holds, the
// rest as a zero-filled struct has them. False for a struct whose size is 0.
template <typename Struct> bool readSized(const Struct* given, Struct& out)
{
    if (given->size == 0)
        return false;
    std::memcpy(&out, given, std::min<size_t>(given->size, sizeof out));
    out.size = sizeof out;
    return true;
}

void tellMessage(const zep_callbacks& callbacks, const char* text)
{
    if (callbacks.message != nullptr)
        callbacks.message(callbacks.context, text);
}

// A call refused before it runs: its message, if the caller can hear it.
int refuse(const zep_callbacks* callbacks, const char* text)
{
    zep_callbacks heard{};
    if (callbacks != nullptr && readSized(callbacks, heard)) {
        try {
            tellMessage(heard, text);
        } catch (...) {  // nothing may leave through the C edge
        }
    }
    return ZEP_INVALID_ARGUMENT;
}

// Runs one command for the caller in a run of its own and turns the way it ended into a status.
// Nothing thrown leaves: a failure gives its status, anything else (a callback's exception, a
// fault of ours) ZEP_INTERNAL; either way the run is undone and the caller told it is over.
template <typename Command> int runCommand(const zep_callbacks* given, Command command)
{
    zep_callbacks callbacks{};
    if (given != nullptr && !readSized(given, callbacks))
        return ZEP_INVALID_ARGUMENT;
    std::unique_ptr<zep_run> handle;
    try {
        handle = std::make_unique<zep_run>(&callbacks);
    } catch (const std::bad_alloc&) {
        return static_cast<int>(Status::NO_MEMORY);
    }
    const auto tell = [&](zep_run* run) {
        if (callbacks.run != nullptr)
            callbacks.run(callbacks.context, run);
    };
    Status status = Status::SUCCESS;
    std::string message;
    try {
        tell(handle.get());
        command(handle->report, handle->files);
    } catch (const Failure& failure) {
        status = failure.status;
        message = failure.message;
    } catch (const std::bad_alloc&) {
        status = Status::NO_MEMORY;
    } catch (const std::exception& exception) {
        status = Status::INTERNAL;
        message = std::string("internal error: ") + exception.what() + ".\n";
    } catch (...) {
        status = Status::INTERNAL;
        message = "internal error.\n";
    }
    // Released and cut back before the message: files must be left consistent even if the
    // caller's callback never returns.
    handle->files.release();
    try {
        handle->report.tellAfterRun();
        tell(nullptr);
    } catch (...) {
        status = Status::INTERNAL;
    }
    handle.reset();
    try {
        if (!message.empty())
            tellMessage(callbacks, message.c_str());
    } catch (...) {
        status = Status::INTERNAL;
    }
    return static_cast<int>(status);
}

// Members that take 0 or 1 alone.
bool areFlags(std::initializer_list<int32_t> flags)
{
    return std::all_of(flags.begin(), flags.end(),
                       [](int32_t flag) { return flag == 0 || flag == 1; });
}

// The options as given, or the defaults; false when the struct or a value cannot be taken.
bool chosenTuning(const zep_create_options* options, Tuning& tuning)
{
    zep_create_options chosen;
    zep_create_options_init(&chosen);
    if (options != nullptr) {
        zep_create_options given = chosen;
        if (!readSized(options, given))
            return false;
        chosen = given;
    }
    if (!areFlags({chosen.block_search, chosen.whole_file, chosen.compact}))
        return false;
    tuning = {chosen.search_range, chosen.match_threshold, chosen.block_search, chosen.whole_file,
              chosen.compact};
    return true;
}

// The apply options as given, or the defaults; false when the struct or a value cannot be taken.
bool chosenApplyOptions(const zep_apply_options* options, ApplyOptions& chosen)
{
    zep_apply_options given;
    zep_apply_options_init(&given);
    if (options != nullptr && !readSized(options, given))
        return false;
    if (!areFlags({given.source_by_content, given.check_only, given.strict}))
        return false;
    chosen = {given.source_by_content != 0, given.check_only != 0, given.strict != 0};
    return true;
}

// The counts as far as the caller's struct reaches; its size stays as the caller set it.
void fillCounts(const ApplyCounts& counted, zep_apply_counts* counts)
{
    if (counts == nullptr)
        return;
    const zep_apply_counts filled = {counts->size,     counted.records, counted.applied,
                                     counted.upToDate, counted.skipped, counted.failing};
    std::memcpy(counts, &filled, std::min<size_t>(counts->size, sizeof filled));
}

}  // namespace

extern "C" {

void zep_callbacks_init(zep_callbacks* callbacks)
{
    if (callbacks == nullptr)
        return;
    *callbacks = zep_callbacks{};
    callbacks->size = sizeof(zep_callbacks);
}

void zep_create_options_init(zep_create_options* options)
{
    if (options == nullptr)
        return;
    const Tuning defaults;
    *options = {sizeof(zep_create_options), defaults.searchRange,     defaults.matchThreshold,
                defaults.deepSearch,        defaults.wholeFileSearch, defaults.compact};
}

int zep_create(const char* old_path, const char* new_path, const char* diff_path,
               const zep_create_options* options, const zep_callbacks* callbacks)
{
    if (old_path == nullptr || new_path == nullptr || diff_path == nullptr)
        return refuse(callbacks, "zep_create: a path is NULL.\n");
    Tuning tuning;
    if (!chosenTuning(options, tuning))
        return refuse(callbacks, "zep_create: the options are not initialized or out of range.\n");
    return runCommand(callbacks, [&](Report& report, RunFiles& files) {
        createRecord(report, files, tuning, old_path, new_path, diff_path);
    });
}

void zep_apply_options_init(zep_apply_options* options)
{
    if (options != nullptr)
        *options = {sizeof(zep_apply_options), 0, 0, 0};
}

int zep_apply(const char* diff_path, const char* directory, const zep_callbacks* callbacks)
{
    return zep_apply_with(diff_path, directory, nullptr, callbacks, nullptr);
}

int zep_apply_with(const char* diff_path, const char* directory, const zep_apply_options* options,
                   const zep_callbacks* callbacks, zep_apply_counts* counts)
{
    if (diff_path == nullptr)
        return refuse(callbacks, "zep_apply: the difference file's path is NULL.\n");
    ApplyOptions chosen;
    if (!chosenApplyOptions(options, chosen) || (counts != nullptr && counts->size == 0))
        return refuse(callbacks, "zep_apply: the options or counts are not initialized or out "
                                 "of range.\n");
    ApplyCounts counted;
    const int status = runCommand(callbacks, [&](const Report& report, RunFiles& files) {
        applyDifferenceFile(report, files, diff_path, directory != nullptr ? directory : "", chosen,
                            counted);
    });
    fillCounts(counted, counts);
    return status;
}

int zep_create_tree(const char* old_dir, const char* new_dir, const char* diff_path,
                    const zep_create_options* options, const zep_callbacks* callbacks)
{
    if (old_dir == nullptr || new_dir == nullptr || diff_path == nullptr)
        return refuse(callbacks, "zep_create_tree: a path is NULL.\n");
    Tuning tuning;
    if (!chosenTuning(options, tuning))
        return refuse(callbacks,
                      "zep_create_tree: the options are not initialized or out of range.\n");
    return runCommand(callbacks, [&](Report& report, RunFiles& files) {
        createTreeRecords(report, files, tuning, old_dir, new_dir, diff_path);
    });
}

int zep_apply_tree(const char* diff_path, const char* directory, const zep_apply_options* options,
                   const zep_callbacks* callbacks, zep_apply_counts* counts)
{
    if (diff_path == nullptr)
        return refuse(callbacks, "zep_apply_tree: the difference file's path is NULL.\n");
    ApplyOptions chosen;
    if (!chosenApplyOptions(options, chosen) || (counts != nullptr && counts->size == 0))
        return refuse(callbacks, "zep_apply_tree: the options or counts are not initialized or "
                                 "out of range.\n");
    ApplyCounts counted;
    const int status = runCommand(callbacks, [&](const Report& report, RunFiles& files) {
        applyTrees(report, files, diff_path, directory != nullptr ? directory : ".", chosen,
                   counted);
    });
    fillCounts(counted, counts);
    return status;
}

int zep_list(const char* diff_path, int (*each)(void* context, const zep_record* record),
             void* each_context, const zep_callbacks* callbacks)
{
    if (diff_path == nullptr)
        return refuse(callbacks, "zep_list: the difference file's path is NULL.\n");
    return runCommand(callbacks, [&](const Report& report, RunFiles& files) {
        listRecords(report, files.diff, diff_path, each, each_context,
                    [&](const RecordHeader& header, uint64_t at) {
                        return describeTreeTable(report, files.diff, header, at);
                    });
    });
}

size_t zep_diff_name(const char* new_path, char* out, size_t room)
{
    if (new_path == nullptr)
        return 0;
    std::string name;
    try {
        name = defaultDiffPath(new_path);
    } catch (...) {  // no memory: nothing leaves through the C edge
        return 0;
    }
    if (out != nullptr && name.size() < room)
        std::memcpy(out, name.c_str(), name.size() + 1);
    return name.size();
}

size_t zep_escape_piece(const char* text, size_t size, char out[ZEP_ESCAPE_PIECE], size_t* consumed)
{
    static_assert(ZEP_ESCAPE_PIECE == kMaxShownPiece);
    if (consumed != nullptr)
        *consumed = 0;
    if (text == nullptr || size == 0 || out == nullptr)
        return 0;
    size_t used = 0;
    char piece[kMaxShownPiece];
    const size_t length = showPiece(text, size, piece, used);
    std::memcpy(out, piece, length);
    if (consumed != nullptr)
        *consumed = used;
    return length;
}

const char* zep_version(void)
{
    return ZEP_VERSION_STRING;
}

const char* zep_status_text(int status)
{
    switch (status) {
    case ZEP_OK:
        return "success";
    case ZEP_CANNOT_OPEN:
        return "the file does not exist or cannot be opened";
    case ZEP_CANNOT_MAP:
        return "the file cannot be mapped (or is empty)";
    case ZEP_CANNOT_VIEW:
        return "the file's mapping cannot be read";
    case ZEP_CANNOT_CREATE:
        return "the file cannot be created";
    case ZEP_CANNOT_CLOSE:
        return "the file cannot be closed";
    case ZEP_SEEK_FAILED:
        return "a seek in the file failed";
    case ZEP_NO_MEMORY:
        return "out of memory";
    case ZEP_UNSAFE_NAME:
        return "a stored name is unsafe, or the target is a symbolic link";
    case ZEP_CANNOT_WRITE:
        return "the file cannot be written";
    case ZEP_TOO_LARGE:
        return "the file is too large (4 GiB or more)";
    case ZEP_NOT_APPENDABLE:
        return "the difference file is damaged; nothing appended";
    case ZEP_CHANGED_WHILE_READ:
        return "a file changed while being read";
    case ZEP_BUSY:
        return "the difference file is in use by another process";
    case ZEP_INTERNAL:
        return "internal error (an exception reached the library's edge)";
    case ZEP_INVALID_ARGUMENT:
        return "invalid argument";
    case ZEP_CANCELLED:
        return "cancelled by the caller";
    case ZEP_NOT_ALL_APPLIED:
        return "a record was skipped, or would not be applied";
    case ZEP_HEADER_BROKEN:
        return "a record's header is broken";
    case ZEP_STREAM_BROKEN:
        return "the difference file is broken";
    case ZEP_SOURCE_CRC:
        return "the old version does not match the record";
    case ZEP_DEST_CRC:
        return "the rebuilt version does not match the record";
    case ZEP_RENAME_FAILED:
        return "the result could not be put in place";
    case ZEP_USAGE:
        return "usage";
    default:
        return "unknown status";
    }
}

void zep_run_undo(zep_run* run)
{
    if (run != nullptr)
        run->files.undo();
}

const char* zep_run_mapped_file(const zep_run* run, const void* address)
{
    return run != nullptr ? run->files.mappedFileAt(address) : nullptr;
}

}  // extern "C"
