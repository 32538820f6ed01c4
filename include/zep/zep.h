/* libzep: record the byte-level difference between two versions of a file and rebuild the new
 * version from the old one.
 *
 * A difference file is a sequence of records. zep_create appends one record (the old and the new
 * version's names, sizes, times and CRC-32s, and the instructions that turn one into the other);
 * zep_apply rebuilds the new version of every record in a directory, checked by three CRC-32s
 * and put in place behind a numbered backup, all or nothing per record; zep_list reports the
 * records.
 *
 * Every call returns a status: 0 or one of the ZEP_ values below, the exit statuses of the zep
 * tool. It never ends the process and never writes to the console: its message, console lines
 * and progress go to the callbacks, when given. Calls on different files may run in different
 * threads at the same time. */
#ifndef ZEP_ZEP_H
#define ZEP_ZEP_H

#include "zep/zep_version.h"

#include <stddef.h>
#include <stdint.h>

/* What the shared library exports: these functions alone (it is built with every other symbol
 * hidden). */
#if defined(__GNUC__)
#define ZEP_API __attribute__((visibility("default")))
#else
#define ZEP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum zep_status {
    ZEP_OK = 0,
    ZEP_CANNOT_OPEN = 1,         /* "[name] not exist." */
    ZEP_CANNOT_MAP = 2,          /* "[name] can not create mapping file." (also an empty file) */
    ZEP_CANNOT_VIEW = 3,         /* "[name] can not create mapping pointer." */
    ZEP_CANNOT_CREATE = 4,       /* "[name] can not create.", "[name] is also an input file." */
    ZEP_CANNOT_CLOSE = 5,        /* "[name] can not close." */
    ZEP_SEEK_FAILED = 6,         /* "file seek error." */
    ZEP_NO_MEMORY = 7,           /* no message */
    ZEP_UNSAFE_NAME = 8,         /* "[name] unsafe file name." */
    ZEP_CANNOT_WRITE = 9,        /* "[name] can not write." */
    ZEP_TOO_LARGE = 10,          /* "[name] is too large.": files must be below 4 GiB */
    ZEP_NOT_APPENDABLE = 11,     /* "[name] is damaged at byte n; nothing appended." */
    ZEP_CHANGED_WHILE_READ = 12, /* "[name] changed while being read." */
    ZEP_BUSY = 13,               /* "[name] is still in use by another process; nothing
                                  * appended.": see zep_create */
    ZEP_INTERNAL = 14,           /* an exception reached the library's edge (from a callback,
                                  * or a fault of the library's own); the run was undone */
    ZEP_INVALID_ARGUMENT = 15,   /* a NULL path or function, a struct whose size member is 0,
                                  * an option outside its range */
    ZEP_CANCELLED = 16,          /* the progress callback asked to stop; the run was undone */
    ZEP_NOT_ALL_APPLIED = 17,    /* "[name] n of m records skipped." (strict apply) or "[name] n
                                  * of m records would not be applied." (check): told once every
                                  * record was handled; see zep_apply_options */
    ZEP_HEADER_BROKEN = -2,      /* "Header broken." */
    ZEP_STREAM_BROKEN = -3,      /* ".zep broken." */
    ZEP_SOURCE_CRC = -4,         /* "source file CRC is not match(broken?)." */
    ZEP_DEST_CRC = -5,           /* "internal error out put CRC not match." */
    ZEP_RENAME_FAILED = -6,      /* "Rename error temp file." */
    ZEP_USAGE = -10              /* the tool's usage text */
};

/* One create, apply or list while it runs; see zep_callbacks.run. */
typedef struct zep_run zep_run;

/* A short English description of a status ("the file does not exist or cannot be opened"),
 * "unknown status" for a value not listed above. */
ZEP_API const char* zep_status_text(int status);

/* The structs a caller fills start with their size, so that members added later are left at
 * their defaults for a caller built before them: set it to sizeof the struct (the init
 * functions do). A size of 0 (a zero-filled struct) is refused with ZEP_INVALID_ARGUMENT. */

/* What a call tells its caller. Every member but size may be NULL. Callbacks run on the
 * calling thread, synchronously, one at a time. Progress and console lines come while the call
 * holds its files (a create's difference file is locked), except a create's closing "\ndone.\n",
 * which comes once the record is committed and the file let go, as do the message of a failure
 * and run(context, NULL). Callbacks must return, and throw nothing: an exception that leaves one
 * ends the call with ZEP_INTERNAL, the run undone, and a longjmp out of one leaves the run's
 * files and locks behind. */
typedef struct zep_callbacks {
    uint32_t size; /* sizeof(zep_callbacks) */
    void* context; /* passed to every callback */
    /* The message of the failure a call ends with, once, as the tool prints it, line end
     * included ("[a.zep] can not write.\n"). */
    void (*message)(void* context, const char* text);
    /* Console lines as the tool prints them: "old > new\n", "[a] time comparison error.\n",
     * "\ndone.\n", "[d.zep] is not zep file.\n". */
    void (*console)(void* context, const char* text);
    /* How far a create or an apply is, 0 to 100; each percentage once, in order. A nonzero
     * return cancels the call: it undoes what it did (the difference file as it was, the
     * target untouched) and returns ZEP_CANCELLED. */
    int (*progress)(void* context, int percent);
    /* The run a call works in when it starts, and NULL when it is over: for a signal handler
     * that must undo what a stopped run leaves behind (zep_run_undo). */
    void (*run)(void* context, zep_run* run);
    /* What an apply does with each record, one of the ZEP_RECORD_ events, with the record's
     * names as stored (raw bytes, not escaped for a terminal). */
    void (*record)(void* context, int event, const char* old_name, const char* new_name);
} zep_callbacks;

/* The events of zep_callbacks.record: every record that an apply reaches starts; it then ends
 * applied (the new version in place behind its backup), up to date (the old version's time is
 * not the recorded one, and the target already holds the new version: nothing to do), or
 * skipped (the old version's time is not the recorded one); a failure ends the whole call
 * instead. A check (zep_apply_options.check_only) tells the same of what an apply would do,
 * APPLIED meaning "would be applied", and FAILING where an apply would fail on the record. */
enum zep_record_event {
    ZEP_RECORD_STARTED = 0,
    ZEP_RECORD_APPLIED = 1,
    ZEP_RECORD_SKIPPED_TIME = 2,
    ZEP_RECORD_UP_TO_DATE = 3,
    ZEP_RECORD_FAILING = 4
};

/* Sets size and clears every callback. */
ZEP_API void zep_callbacks_init(zep_callbacks* callbacks);

/* The tuning of a create. */
typedef struct zep_create_options {
    uint32_t size;           /* sizeof(zep_create_options) */
    int32_t search_range;    /* shifts the near search tries on each side; default 47. Any
                              * value: 0 or less tries none */
    int32_t match_threshold; /* match threshold of the near search in percent; default 65. Any
                              * value: 0 or less accepts every match, above 100 none */
    int32_t block_search;    /* 0 turns the block search off; default 1. 0 or 1 */
    int32_t whole_file;      /* 1 searches the whole old version (insertions, moves); default 0.
                              * 0 or 1 */
    int32_t compact;         /* 1 stores the record in compact form (zstd); default 0. 0 or 1.
                              * Apply and list read compact records without being told. */
} zep_create_options;

/* Sets size and the defaults. */
ZEP_API void zep_create_options_init(zep_create_options* options);

/* Appends the record that turns old_path into new_path to diff_path, which is created when
 * missing. The record stores both base names. options may be NULL (the defaults).
 * Creates into one difference file take turns through locks that readers never take. While
 * another process holds them, the call says "[name] is in use by another process; waiting.\n"
 * once through the console callback and tries again, for at most the seconds that the
 * environment variable ZEP_LOCK_WAIT gives (a whole number; 0 does not wait), by default 60;
 * then it returns ZEP_BUSY, the file unchanged. A signal handler may end the process meanwhile
 * (zep_run_undo). */
ZEP_API int zep_create(const char* old_path, const char* new_path, const char* diff_path,
                       const zep_create_options* options, const zep_callbacks* callbacks);

/* Applies every record of diff_path to the files in directory (NULL or "": the current
 * directory), which is opened once when the call starts: its files are taken there even if its
 * name is moved meanwhile. Temporary files go to $TMPDIR. While it renames a result into place
 * it holds SIGINT, SIGTERM and SIGHUP in the calling thread for the moment of that rename, so
 * that a handler calling zep_run_undo finds the backup either still to be removed or kept. */
ZEP_API int zep_apply(const char* diff_path, const char* directory, const zep_callbacks* callbacks);

/* How an apply treats the records. */
typedef struct zep_apply_options {
    uint32_t size;             /* sizeof(zep_apply_options) */
    int32_t source_by_content; /* 1 (-T) also takes an old version whose time is not the
                                * recorded one when its size and CRC-32 are; default 0. 0 or 1 */
    int32_t check_only;        /* 1 (-C) writes nothing: tells per record what an apply would
                                * do, rebuilding each result into nothing and comparing its
                                * checksums, a record that works on an earlier one's result
                                * judged against that result; ends with ZEP_NOT_ALL_APPLIED
                                * unless every record would be applied or is up to date;
                                * default 0. 0 or 1 */
    int32_t strict;            /* 1 (-E) ends with ZEP_NOT_ALL_APPLIED when a record was
                                * skipped (one that is up to date is not); default 0. 0 or 1 */
} zep_apply_options;

/* Sets size and the defaults. */
ZEP_API void zep_apply_options_init(zep_apply_options* options);

/* What an apply did (or a check would do), as far as it got (a failure ends it early): the
 * records it started, and how each of them ended. A record that a failure ends counts as
 * started only. */
typedef struct zep_apply_counts {
    uint32_t size;       /* sizeof(zep_apply_counts), set by the caller */
    uint32_t records;    /* ZEP_RECORD_STARTED */
    uint32_t applied;    /* ZEP_RECORD_APPLIED */
    uint32_t up_to_date; /* ZEP_RECORD_UP_TO_DATE */
    uint32_t skipped;    /* ZEP_RECORD_SKIPPED_TIME */
    uint32_t failing;    /* ZEP_RECORD_FAILING */
} zep_apply_counts;

/* zep_apply with options (NULL: the defaults, as zep_apply), also filling counts when it is not
 * NULL, whatever the status; members past the caller's size are left alone. A size of 0 in
 * either struct is refused with ZEP_INVALID_ARGUMENT. */
ZEP_API int zep_apply_with(const char* diff_path, const char* directory,
                           const zep_apply_options* options, const zep_callbacks* callbacks,
                           zep_apply_counts* counts);

/* Appends the two records that turn the tree at old_dir into the tree at new_dir: every regular
 * file, directory and symbolic link below them, links recorded as links and never followed.
 * Unchanged paths cost nothing; a special file (device, FIFO, socket) is refused. Options and
 * locks as zep_create. */
ZEP_API int zep_create_tree(const char* old_dir, const char* new_dir, const char* diff_path,
                            const zep_create_options* options, const zep_callbacks* callbacks);

/* Applies every tree of diff_path to the tree at directory (NULL: the current one), each all or
 * nothing: every result is built and synced beside the tree first, then a synced journal at its
 * root (".zep-journal") makes the moves into place finish even after a stop, at the next call
 * at the latest. Old versions go into one backup directory per update (".zep-backup-N").
 * Options and counts as zep_apply_with; each tree counts as one record. */
ZEP_API int zep_apply_tree(const char* diff_path, const char* directory,
                           const zep_apply_options* options, const zep_callbacks* callbacks,
                           zep_apply_counts* counts);

/* One record as zep_list reports it; the texts live until the callback returns. */
typedef struct zep_record {
    unsigned os_type;     /* 2 when written by zep; 0 MS-DOS, 1 Windows, 3 OS/2 */
    const char* old_name; /* base names as stored; new_name is old_name when only one is */
    const char* new_name;
    const char* old_time; /* local time texts as stored: "2026/01/02 03:04:05:678" */
    const char* new_time;
    uint32_t old_crc;
    uint32_t new_crc;
    uint32_t old_size;
    uint32_t new_size;
    /* A whole tree's table record (its first): what changes, one line per path ("changed
     * ./usr/bin/app\n", "added ...", "removed ...", "link added ./l -> target\n", "directory
     * added ...", "mode or time ..."); NULL for every other record. */
    const char* tree_changes;
} zep_record;

/* Calls each for every record of diff_path, in file order; a nonzero return from each stops
 * the listing (the call then returns ZEP_OK). each may be NULL: the file is only read through. */
ZEP_API int zep_list(const char* diff_path, int (*each)(void* context, const zep_record* record),
                     void* each_context, const zep_callbacks* callbacks);

/* The difference file's name that the zep tool takes when it is given none: the new version's
 * base name with ".zep" for its extension, in the current directory ("v2/app.bin" gives
 * "app.zep"). Writes it, NUL-terminated, into out when it fits in room bytes; returns its
 * length (without the NUL), 0 for a NULL path. */
ZEP_API size_t zep_diff_name(const char* new_path, char* out, size_t room);

/* A name as it may reach a terminal, a piece at a time, for callers that cannot allocate (a
 * signal handler): writes into out what stands for the character or byte at text (size bytes
 * are left there) and returns its length, at most ZEP_ESCAPE_PIECE; *consumed gets the bytes of
 * text it stands for. Nothing is left (size 0, or a NULL text or out): 0, and *consumed 0. Control
 * characters, bytes of no UTF-8 character and the backslash become \xHH or \\; characters that show
 * as nothing or turn the direction of what follows become \u{XXXX}; the rest stays. */
#define ZEP_ESCAPE_PIECE 12
ZEP_API size_t zep_escape_piece(const char* text, size_t size, char out[ZEP_ESCAPE_PIECE],
                                size_t* consumed);

/* The library's version, ZEP_VERSION_STRING when it was built: "1.13". */
ZEP_API const char* zep_version(void);

/* For a signal handler, while the run is on (async-signal-safe): cuts a difference file back as
 * a failure would and removes every temporary file of the run, so that the process may end at
 * once. A NULL run: nothing. */
ZEP_API void zep_run_undo(zep_run* run);
/* For a SIGBUS handler (async-signal-safe): the name of the file whose mapping holds address,
 * or NULL (also for a NULL run). A file cut short while it is mapped makes reading it raise
 * SIGBUS. */
ZEP_API const char* zep_run_mapped_file(const zep_run* run, const void* address);

#ifdef __cplusplus
}
#endif

#endif
