// Path splitting and the checks on the names that records store.
#include "format/file_names.h"

#include <algorithm>
#include <cstring>

namespace zep {

namespace {

constexpr size_t kMaxPiece = 255;

std::string cutPiece(const std::string& text, size_t from, size_t to)
{
    return text.substr(from, std::min(to - from, kMaxPiece));
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

bool isStorableName(const char* name)
{
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (const char* at = name; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F)
            return false;
        // A C1 control character in UTF-8 (other bytes of other encodings stay allowed).
        const auto next = static_cast<unsigned char>(at[1]);
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F)
            return false;
    }
    return true;
}

bool isTreePath(const std::string& path)
{
    // "./" first: every tree path holds a '/', which readers of single-file records refuse.
    if (path.size() < 3 || path.compare(0, 2, "./") != 0)
        return false;
    for (size_t start = 2; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        // A NUL would end the name early where it is taken as text.
        if (component.find('\0') != std::string::npos || !isStorableName(component.c_str()))
            return false;
        start = end + 1;
    }
    return true;
}

bool isStoredOtherwise(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const std::string own = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string stored = baseName(path);
    // Empty names, "." and ".." are directories, which fail as such when they are opened.
    const bool special = stored.empty() || stored == "." || stored == "..";
    return own != stored || (!special && !isStorableName(stored.c_str()));
}

}  // namespace zep
