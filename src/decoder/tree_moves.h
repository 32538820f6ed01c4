// Putting a tree's checked results in place, all or nothing. The results are built in a staging
// directory at the tree's root, with the backup directory's skeleton inside it, and flushed;
// then a journal at the root, flushed, names the update; then every move is a rename below the
// root. A stop before the journal leaves the old tree and a staging directory that the next run
// removes; a stop after it leaves moves that the next run finishes from the journal, each of
// them safe to repeat.
#pragma once
#include "format/tree_table.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zep {

constexpr char kJournalName[] = ".zep-journal";

// Which update a journal stands for: the table record's offset in its difference file and the
// header checksums of both records, and the directories it uses at the root.
struct TreeJournal {
    uint64_t tableOffset = 0;
    uint32_t tableCrc = 0;
    uint32_t contentsCrc = 0;
    std::string stage;   // ".zep-stage-XXXXXX"
    std::string backup;  // ".zep-backup-N"
};

// The staging directory of one update. Removed again, with all it holds, unless the journal was
// written.
class TreeStage {
  public:
    TreeStage(int root, const std::string& shownRoot);
    ~TreeStage();
    TreeStage(const TreeStage&) = delete;
    TreeStage& operator=(const TreeStage&) = delete;

    // A new empty file in the staging directory, open for writing, and its removal.
    int createImage(const char* name);
    void removeImage(const char* name);
    // The new version of entry index, under its index.
    void addFile(size_t index, const uint8_t* bytes, size_t length, const PathState& after);
    void addLink(size_t index, const std::string& target);
    void addDirectory(size_t index, uint32_t mode);
    // The files whose time alone changes (the table's retimed), by path; and a copy with the
    // new time of the one at position index, open at from, which has other hard links: their
    // files keep their time, as the copy takes the path.
    void addRetimed(const std::vector<std::string>& paths);
    void addRetimedCopy(size_t index, int from, uint64_t ticks);
    // The directories that the old versions of the entries will need in the backup directory.
    void prepareBackup(const std::vector<TreeEntry>& entries);
    // Flushes everything, then writes and flushes the journal: from here on the update goes on.
    void commit(TreeJournal& journal);

  private:
    std::string shown(const std::string& name) const;

    int root_;
    int stage_ = -1;
    std::string shownRoot_;
    std::string name_;
    bool committed_ = false;
};

// Reads the journal at the root: false when there is none. One cut short (a stop while it was
// written, before any move) is removed and counts as none; a file of that name that is no
// journal fails the run.
bool readJournal(int root, const std::string& shownRoot, TreeJournal& journal);
// Removes staging directories that no journal names: what a stop before the journal left.
void removeStaleStages(int root);
// Every move of the journal's update that is not done yet, then the journal and the staging
// directory removed. Failure: "[path] can not be moved into place; ...", RENAME_FAILED, journal
// kept.
void finishMoves(int root, const std::string& shownRoot, const TreeJournal& journal,
                 const TreeTable& table);

}  // namespace zep
