// The table of every status a create, apply or view can end with (the tool exits with these
// numbers), and the one way a failure travels: thrown where it is met as a Failure with its
// message, caught at the library's boundary after the run has cleaned up, and reported once.
#pragma once
#include "zep/zep.h"

#include <cstdarg>
#include <string>

namespace zep {

// The numbers are the C API's (zep/zep.h), so that the library and the tool share one table.
enum class Status : int {
    SUCCESS = ZEP_OK,
    CANNOT_OPEN = ZEP_CANNOT_OPEN,  // "[%s] not exist.\n"
    CANNOT_MAP = ZEP_CANNOT_MAP,    // "[%s] can not create mapping file.\n" (also an empty file)
    CANNOT_VIEW = ZEP_CANNOT_VIEW,  // "[%s] can not create mapping pointer.\n"
    CANNOT_CREATE = ZEP_CANNOT_CREATE,  // "[%s] can not create.\n"
    CANNOT_CLOSE = ZEP_CANNOT_CLOSE,    // "[%s] can not close.\n"
    SEEK_FAILED = ZEP_SEEK_FAILED,      // "file seek error.\n"
    NO_MEMORY = ZEP_NO_MEMORY,          // no message: nothing can be relied on to print it
    UNSAFE_NAME =
        ZEP_UNSAFE_NAME,  // "[%s] unsafe file name.\n": a stored name that leads elsewhere
    CANNOT_WRITE = ZEP_CANNOT_WRITE,      // "[%s] can not write.\n": disk full, quota, I/O error
    TOO_LARGE = ZEP_TOO_LARGE,            // "[%s] is too large.\n": sizes in a record are 32-bit
    NOT_APPENDABLE = ZEP_NOT_APPENDABLE,  // "[%s] is damaged at byte %llu; nothing appended.\n":
                                          // readers would never reach a record appended there
    CHANGED_WHILE_READ = ZEP_CHANGED_WHILE_READ,  // "[%s] changed while being read.\n"
    BUSY = ZEP_BUSY,          // "[%s] is still in use by another process; nothing appended.\n"
    INTERNAL = ZEP_INTERNAL,  // an exception reached the library's edge
    INVALID_ARGUMENT = ZEP_INVALID_ARGUMENT,  // a caller's argument the library cannot take
    CANCELLED = ZEP_CANCELLED,                // the caller's progress callback asked to stop
    NOT_ALL_APPLIED = ZEP_NOT_ALL_APPLIED,    // a record skipped (strict) or would not apply
    HEADER_BROKEN = ZEP_HEADER_BROKEN,        // "Header broken.\n"
    STREAM_BROKEN = ZEP_STREAM_BROKEN,        // ".zep broken.\n"
    SOURCE_CRC = ZEP_SOURCE_CRC,              // "source file CRC is not match(broken?).\n"
    DEST_CRC = ZEP_DEST_CRC,                  // "internal error out put CRC not match.\n"
    RENAME_FAILED = ZEP_RENAME_FAILED,        // "Rename error temp file.\n"
    USAGE = ZEP_USAGE,                        // the usage text
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

}  // namespace zep
