// The create command: appends one difference record for source -> destination, storing both
// base names. The encoder's tuning values are the ones set when it runs.
#pragma once

void createRecord(const char* sourcePath, const char* destPath, const char* diffPath);
