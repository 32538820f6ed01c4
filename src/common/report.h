// What a run tells its caller while it works: console lines and progress, handed to the
// callbacks the caller gave (any of them may be missing). Nothing here prints.
#pragma once
#include "zep/zep.h"

// The callbacks of the call now running; nullptr: nobody listens.
void reportTo(const zep_callbacks* callbacks);
const zep_callbacks* reportedTo();
// One console line (or several), formatted as printf would.
void consoleLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportProgress(int percent);
