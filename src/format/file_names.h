// The names a record stores: the base names of its two files, found by the same path splitting
// that names a difference file after its destination. '/' and '\' both separate directories and
// "X:" in front is a drive, so that a name stored on any system reads back the same.
#pragma once
#include <string>

namespace zep {

// The four pieces of a path, each cut to 255 characters.
struct PathPieces {
    std::string drive;      // "C:" when the second character is ':'
    std::string directory;  // up to and including the last separator
    std::string name;       // up to the last '.' behind the directory
    std::string extension;  // from that '.' on
};
PathPieces splitPath(const std::string& path);
// The file name and extension, without drive or directory.
std::string baseName(const std::string& path);
// The destination's file name with ".zep" in place of its extension, in the current directory.
std::string defaultDiffPath(const std::string& destPath);

// A name that a record may store: a plain file name in the current directory, without
// separators or control characters that would lead elsewhere or reach a terminal.
bool isStorableName(const char* name);
// A path that a record of a whole tree may store: "./", then storable names joined by single
// '/' (no empty, "." or ".." component, no trailing '/', no NUL). Never absolute, never above
// the tree's root.
bool isTreePath(const std::string& path);
// True when the file at path would be stored under another name than its own, or under one
// that apply refuses: apply would then read or write another file than the one meant.
bool isStoredOtherwise(const std::string& path);

}  // namespace zep
