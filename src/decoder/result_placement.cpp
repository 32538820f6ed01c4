// Putting a checked result in place: beside the target under a hidden name, the old version
// kept under a numbered backup name, then one rename over the target name; and the copies that
// stand in for second names where a file system has none.
#include "decoder/result_placement.h"

#include "common/printable.h"
#include "common/status.h"
#include "format/file_names.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace zep {

void placeResult(RunFiles& files, const Report& report, DiscardedFile* temporaryRecord,
                 const std::string& temporary, const std::string& targetName,
                 const std::string& target, const platform::FileAccess& access)
{
    const int directory = files.directory;
    DiscardedFile* hiddenRecord = nullptr;
    int placed = createDiscarded(files, directory, ".tmp", hiddenRecord);
    if (placed < 0)
        fail(Status::RENAME_FAILED, "Rename error temp file.\n");
    const std::string hidden = hiddenRecord->name;
    bool moved = false;
    if (!platform::fillHidden(temporary.c_str(), directory, hidden.c_str(), placed, moved)) {
        platform::closeFile(placed);
        fail(Status::RENAME_FAILED, "Rename error temp file.\n");
    }
    if (moved)
        forgetDiscarded(temporaryRecord);  // the hidden file's record covers it now
    // The backup is a temporary file of the run until the rename: a stop or a failure that
    // leaves the target's old version in place takes its backup away as well.
    DiscardedFile* backup = nullptr;
    std::string forgottenBackup;  // its name, once no longer recorded
    const auto giveBack = [&] {
        if (moved && platform::setAccess(placed, platform::privateAccess())) {
            // Recorded before it is back, so that a stop removes it wherever it is.
            DiscardedFile* back = discardOnStop(files, AT_FDCWD, temporary.c_str());
            if (platform::renameNoReplace(directory, hidden.c_str(), AT_FDCWD, temporary.c_str()))
                forgetDiscarded(hiddenRecord);
            else
                forgetDiscarded(back);  // the name may be another program's now
        }
        platform::closeFile(placed);
        // Nothing was replaced.
        if (backup != nullptr)
            removeDiscarded(backup);
        else if (!forgottenBackup.empty())
            platform::removeFile(directory, forgottenBackup.c_str());
    };
    // A name held by anything but a directory is replaced, once it has its backup. Looked
    // at again right before: a symbolic link that appeared meanwhile is not replaced either.
    platform::Entry entry;
    const bool replacing =
        platform::entryOf(directory, targetName.c_str(), entry) && !entry.directory;
    if (replacing && entry.symbolicLink) {
        giveBack();
        fail(Status::UNSAFE_NAME, "[%s] is a symbolic link; not replaced.\n",
             printable(target).c_str());
    }
    if (replacing && entry.links > 1)
        report.line("[%s] has other hard links; they keep the old version.\n",
                    printable(target).c_str());
    if (replacing) {
        backup = makeNumberedBackup(files, directory, targetName.c_str());
        if (backup == nullptr) {
            giveBack();
            fail(Status::RENAME_FAILED, "Rename error temp file.\n");
        }
    }
    if (!platform::setAccess(placed, access)) {
        giveBack();
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(target).c_str());
    }
    // The backup is forgotten right before the rename, with signals held so that a stop
    // comes before both or after both. Forgotten first all the same: a handler that runs in
    // another thread meanwhile leaves a backup that was not needed yet, where the other
    // order could take the old version's only name away after the rename.
    platform::HeldSignals held;
    platform::holdSignals(held);
    if (backup != nullptr) {
        forgottenBackup = backup->name;
        forgetDiscarded(backup);
        backup = nullptr;
    }
    const bool renamed =
        replacing
            ? platform::renameReplacing(directory, hidden.c_str(), directory, targetName.c_str())
            : platform::renameNoReplace(directory, hidden.c_str(), directory, targetName.c_str());
    if (renamed)
        forgetDiscarded(hiddenRecord);
    platform::releaseSignals(held);
    if (!renamed) {
        giveBack();
        fail(Status::RENAME_FAILED, "Rename error temp file.\n");
    }
    platform::closeFile(placed);
    if (!moved)
        removeDiscarded(temporaryRecord);
    platform::syncDirectory(directory);
}

bool copyNoReplace(RunFiles& files, int directory, const char* from, const char* to,
                   DiscardedFile** named)
{
    const int in = platform::openReadOnlyAt(directory, from);
    if (in < 0)
        return false;
    platform::Entry taken;
    DiscardedFile* hidden = nullptr;
    const int out = platform::entryOf(directory, to, taken)
                        ? -1
                        : createDiscarded(files, directory, ".tmp", hidden);
    if (out < 0) {
        platform::closeFile(in);
        return false;
    }
    platform::FileIdentity copy;
    bool copied = platform::copyFile(in, out) && platform::identityOf(out, copy);
    copied = platform::closeFile(out) && copied;
    platform::closeFile(in);
    // The name to is recorded before the copy takes it, for as long as the caller wants.
    DiscardedFile* const record =
        copied ? discardSecondName(files, directory, to, copy.device, copy.inode) : nullptr;
    if (record == nullptr || !platform::renameNoReplace(directory, hidden->name, directory, to)) {
        forgetDiscarded(record);  // never removed: the name may be another file's
        removeDiscarded(hidden);
        return false;
    }
    forgetDiscarded(hidden);
    if (named != nullptr)
        *named = record;
    else
        forgetDiscarded(record);
    platform::syncDirectory(directory);  // the move itself reaches the disk with its directory
    return true;
}

DiscardedFile* makeNumberedBackup(RunFiles& files, int directory, const char* name)
{
    platform::Entry original;
    if (!platform::entryOf(directory, name, original))
        return nullptr;
    const PathPieces pieces = splitPath(name);
    const std::string stem = pieces.drive + pieces.directory + pieces.name;
    bool copying = false;
    for (int i = 0; i < 1000; ++i) {
        char extension[8];
        std::snprintf(extension, sizeof extension, ".%03d", i);
        const std::string candidate = stem + extension;
        DiscardedFile* backup = nullptr;
        if (!copying) {
            // Recorded before the link exists, so that no stop comes between the two; a name
            // found taken is not the original's second name, and stays.
            backup = discardSecondName(files, directory, candidate.c_str(),
                                       original.identity.device, original.identity.inode);
            if (backup == nullptr)
                return nullptr;
            if (platform::linkFile(directory, name, candidate.c_str()))
                return backup;
            const int reason = errno;
            forgetDiscarded(backup);
            if (reason == EEXIST)
                continue;  // taken: the next number
            // No second names on this file system: a complete copy serves as the backup.
            // Any other failure (a name too long, no permission, a full disk) would fail for
            // every number alike.
            if (reason != EPERM && reason != EOPNOTSUPP && reason != EMLINK)
                return nullptr;
            copying = true;
        }
        if (copyNoReplace(files, directory, name, candidate.c_str(), &backup))
            return backup;
        platform::Entry entry;
        if (!platform::entryOf(directory, candidate.c_str(), entry))
            return nullptr;
    }
    return nullptr;
}

}  // namespace zep
