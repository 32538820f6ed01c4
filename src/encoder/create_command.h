// The create command: appends one difference record for source -> destination.
#pragma once

void createRecord(const char* sourcePath, const char* destPath, const char* diffPath);
