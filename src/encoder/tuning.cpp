// Process-wide tuning values with their defaults.
#include "encoder/tuning.h"

int32_t searchRange = 47;
int32_t matchThreshold = 65;
int32_t deepSearch = 1;
int32_t wholeFileSearch = 0;

void resetTuning()
{
    searchRange = 47;
    matchThreshold = 65;
    deepSearch = 1;
    wholeFileSearch = 0;
}
