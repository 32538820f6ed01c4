// The table of every status a create, apply or view can end with (the tool exits with these
// numbers), and the one way a failure travels: thrown where it is met as a Failure with its
// message, caught at the library's boundary after the run has cleaned up, and reported once.
#pragma once
#include <cstdarg>
#include <string>

enum class Status : int {
    SUCCESS = 0,
    CANNOT_OPEN = 1,          // "[%s] not exist.\n"
    CANNOT_MAP = 2,           // "[%s] can not create mapping file.\n" (also an empty file)
    CANNOT_VIEW = 3,          // "[%s] can not create mapping pointer.\n"
    CANNOT_CREATE = 4,        // "[%s] can not create.\n"
    CANNOT_CLOSE = 5,         // "[%s] can not close.\n"
    SEEK_FAILED = 6,          // "file seek error.\n"
    NO_MEMORY = 7,            // no message: nothing can be relied on to print it
    UNSAFE_NAME = 8,          // "[%s] unsafe file name.\n": a stored name that leads elsewhere
    CANNOT_WRITE = 9,         // "[%s] can not write.\n": disk full, quota, I/O error
    TOO_LARGE = 10,           // "[%s] is too large.\n": sizes in a record are 32-bit
    NOT_APPENDABLE = 11,      // "[%s] is damaged at byte %llu; nothing appended.\n": readers would
                              // never reach a record appended to that difference file
    CHANGED_WHILE_READ = 12,  // "[%s] changed while being read.\n": cut short while mapped
    BUSY = 13,                // "[%s] is still in use by another process; nothing appended.\n"
    HEADER_BROKEN = -2,       // "Header broken.\n"
    STREAM_BROKEN = -3,       // ".zep broken.\n"
    SOURCE_CRC = -4,          // "source file CRC is not match(broken?).\n"
    DEST_CRC = -5,            // "internal error out put CRC not match.\n"
    RENAME_FAILED = -6,       // "Rename error temp file.\n"
    USAGE = -10,              // the usage text
};

struct Failure {
    Status status;
    std::string message;  // the exact text the tool prints, line end included; may be empty
};

// The text printf would print for the format and its arguments.
std::string formatText(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// Throws the failure with its message formatted as printf would.
[[noreturn]] void fail(Status status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The one failure without a message (no memory for a header).
[[noreturn]] void failSilently(Status status);
