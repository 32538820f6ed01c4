// The table of every exit status the tool can end with, and the one place where a fatal failure
// is reported: release every open file, print the message to stderr, end the process.
#pragma once

enum class ExitCode : int {
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
    HEADER_BROKEN = -2,       // "Header broken.\n"
    STREAM_BROKEN = -3,       // ".zep broken.\n"
    SOURCE_CRC = -4,          // "source file CRC is not match(broken?).\n"
    DEST_CRC = -5,            // "internal error out put CRC not match.\n"
    RENAME_FAILED = -6,       // "Rename error temp file.\n"
    USAGE = -10,              // the usage text
};

// A harness that runs commands inside its own process (the fuzz targets) takes over the end of
// the process: the handler runs after the files are released and the message is printed, and
// must not return (it throws). Without one the process exits with the code.
using FatalHandler = void (*)(ExitCode code);
void setFatalHandler(FatalHandler handler);

// Releases every FileSlot, prints the message to stderr and ends the process.
[[noreturn]] void fatalExit(ExitCode code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The same for the one status that ends without a message (no memory for a header).
[[noreturn]] void fatalExitSilently(ExitCode code);
