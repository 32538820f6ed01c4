// The apply command: rebuilds the destination of every record in a difference file.
#pragma once

void applyDifferenceFile(const char* diffPath);
