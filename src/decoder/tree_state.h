// A tree as it is now, against a table: every path of the table examined below the root without
// following a link, and the files whose time alone changes found by their times. It tells
// whether the tree is the table's new version, or its old one, and refuses what an update
// could not finish.
#pragma once
#include "format/record_header.h"
#include "format/tree_table.h"

#include <string>
#include <vector>

namespace zep {

class TreeState {
  public:
    // A path that leads through a symbolic link or a file where the table has a directory
    // fails the run (UNSAFE_NAME), as does a path that apply keeps for itself.
    TreeState(int root, const std::string& shownRoot, const TreeTable& table);

    // Every path holds its new state: kind, a link's text, a file's or directory's mode, the new
    // files' bytes (the contents record's destination checksum), the kept files' bytes, and the
    // retimed files have their new time.
    bool isNew(const RecordHeader& contents) const;
    // Every path holds its old state: kind, a link's text, a file's time (with byContent, where
    // a time differs, the old files' bytes instead), and the retimed files are there at their
    // old time (with byContent, where the files at that time are not the recorded ones but all
    // the files that no entry names are, those, checked by their bytes when staged). A time that
    // differs gives false and the path it differs at (the root for the retimed files); anything
    // else fails the run, nothing changed.
    bool isOld(const RecordHeader& contents, bool byContent, std::string& timeDiffers);
    // Fails (CANNOT_CREATE) where a directory in which the update makes, moves or removes names
    // does not let this process do it.
    void refuseUnwritable() const;
    // The same for one directory ("." or "./a/b").
    void refuseUnwritableDirectory(const std::string& path) const;
    // The retimed files at their old time, by path.
    const std::vector<std::string>& retimedOld() const
    {
        return retimedOld_;
    }

  private:
    // What a path holds now.
    struct PathNow {
        bool throughLink = false;  // a directory on the way is a link or no directory
        bool parentMissing = false;
        bool special = false;
        PathState state;
    };
    PathNow examine(const std::string& path) const;
    void findRetimed();
    bool isRetimedSet(const std::vector<std::string>& paths) const;
    bool filesHaveCrc(bool (*pick)(const TreeEntry&), uint32_t crc) const;
    void refuseUnknownFiles(const TreeEntry& entry) const;
    [[noreturn]] void failDiffers(const TreeEntry& entry) const;
    std::string shownPath(const std::string& path) const;

    int root_;
    std::string shown_;
    const TreeTable& table_;
    std::vector<PathNow> now_;  // per entry
    std::vector<std::string> retimedOld_;
    std::vector<std::string> retimedNew_;
    std::vector<std::string> unlisted_;  // every regular file that no entry names
};

// The directory that holds the path ("." for the root's own names), and the table's entry at a
// path, if any.
std::string parentPath(const std::string& path);
const TreeEntry* entryAt(const std::vector<TreeEntry>& entries, const std::string& path);

}  // namespace zep
