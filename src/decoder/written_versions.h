// The versions that the records of a difference file write under each target name, and, for a
// check, the versions that the records checked so far would leave on disk. An apply uses them
// to know a target that a later record of the same file already brought further as up to date;
// a check, to follow a name that one record writes and a later one reads.
#pragma once
#include "common/file_layer.h"
#include "format/record_header.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zep {

// One version of a file as a record states it.
struct FileVersion {
    uint32_t size = 0;
    uint32_t crc = 0;
    uint64_t ticks = 0;  // the recorded last-write time; kInvalidTime when unreadable
};

class WrittenVersions {
  public:
    // Reads every record header of the open difference file, nothing else, from its start, and
    // leaves it at its start again: the very file the apply then reads, whatever its name
    // leads to meanwhile. Where the file cannot be read through, what was read so far stands:
    // the records beyond it fail the apply anyway.
    void collect(FileSlot& diff);
    // The destinations that records at offset or later write under name, in file order (their
    // sizes and checksums; the times are left out).
    std::vector<FileVersion> from(const std::string& name, uint64_t offset) const;

    // Whether any record read belongs to a whole tree.
    bool holdsTree() const
    {
        return holdsTree_;
    }

  private:
    bool holdsTree_ = false;
    struct Written {
        uint64_t offset;
        FileVersion version;
    };
    std::map<std::string, std::vector<Written>> byName_;
};

// The recorded destination of the header.
FileVersion destinationOf(const RecordHeader& header);
// True when a last-write time in ticks is the header's source time, at the precision the record
// kept: whole milliseconds when it kept them, whole seconds otherwise. A time in the hour that
// comes twice when daylight saving ends matches either reading of the recorded text.
bool isSourceTime(const RecordHeader& header, uint64_t ticks);

}  // namespace zep
