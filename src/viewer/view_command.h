// The view command: lists the records of a difference file on standard output.
#pragma once

void viewDifferenceFile(const char* diffPath);
