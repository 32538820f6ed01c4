/* A program that embeds libzep: it records the difference between two versions of a file,
 * lists the record and applies it to a copy of the old version in another directory, all
 * through the C API, and checks that the copy became the new version.
 * Usage: embed OLD NEW WORKDIR (WORKDIR: an empty directory to work in) */
#define _POSIX_C_SOURCE 200809L
#include <zep/zep.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static void print(void* context, const char* text)
{
    (void)context;
    fputs(text, stderr);
}

static int show(void* context, const zep_record* record)
{
    ++*(int*)context;
    printf("%s (%lu bytes, crc %08lx) -> %s (%lu bytes, crc %08lx)\n", record->old_name,
           (unsigned long)record->old_size, (unsigned long)record->old_crc, record->new_name,
           (unsigned long)record->new_size, (unsigned long)record->new_crc);
    return 0;
}

/* Copies a file with its last-write time: apply insists on the time the record holds. */
static int copy(const char* from, const char* to)
{
    FILE* in = fopen(from, "rb");
    FILE* out = fopen(to, "wb");
    char buffer[65536];
    size_t got;
    struct stat info;
    struct timespec times[2];
    if (in == NULL || out == NULL)
        return -1;
    while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
        fwrite(buffer, 1, got, out);
    fclose(in);
    if (fclose(out) != 0 || stat(from, &info) != 0)
        return -1;
    times[0] = info.st_atim;
    times[1] = info.st_mtim;
    return utimensat(AT_FDCWD, to, times, 0);
}

static int same(const char* one, const char* other)
{
    FILE* a = fopen(one, "rb");
    FILE* b = fopen(other, "rb");
    int equal = a != NULL && b != NULL;
    while (equal) {
        const int x = fgetc(a);
        const int y = fgetc(b);
        equal = x == y;
        if (x == EOF || y == EOF)
            break;
    }
    if (a != NULL)
        fclose(a);
    if (b != NULL)
        fclose(b);
    return equal;
}

int main(int argc, char** argv)
{
    char diff[4096], target[4096], result[4096];
    const char* old_path;
    const char* new_path;
    const char* base;
    zep_callbacks callbacks;
    zep_create_options options;
    int status, records = 0;

    if (argc != 4) {
        fprintf(stderr, "usage: embed OLD NEW WORKDIR\n");
        return 2;
    }
    old_path = argv[1];
    new_path = argv[2];
    zep_callbacks_init(&callbacks);
    callbacks.message = print;
    callbacks.console = print;

    printf("libzep %s\n", zep_version());
    snprintf(diff, sizeof diff, "%s/update.zep", argv[3]);
    zep_create_options_init(&options);
    options.whole_file = 1;
    status = zep_create(old_path, new_path, diff, &options, &callbacks);
    if (status != ZEP_OK)
        return 1;

    status = zep_list(diff, show, &records, &callbacks);
    if (status != ZEP_OK || records != 1)
        return 1;

    /* The record names the old file by its base name: apply finds it in the directory. */
    base = strrchr(old_path, '/') != NULL ? strrchr(old_path, '/') + 1 : old_path;
    snprintf(target, sizeof target, "%s/%s", argv[3], base);
    if (copy(old_path, target) != 0)
        return 1;
    status = zep_apply(diff, argv[3], &callbacks);
    if (status != ZEP_OK)
        return 1;
    base = strrchr(new_path, '/') != NULL ? strrchr(new_path, '/') + 1 : new_path;
    snprintf(result, sizeof result, "%s/%s", argv[3], base);
    if (!same(result, new_path)) {
        fprintf(stderr, "%s differs from %s\n", result, new_path);
        return 1;
    }
    printf("applied: %s is the new version\n", result);
    return 0;
}
