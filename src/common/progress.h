// The progress line "NN%\r" on stderr, shared by create and apply. It is printed only when the
// percentage differs from the one printed last, so a long run writes it at most 101 times.
#pragma once
#include <cstdint>

// Starts a new line of progress over total = source size + destination size bytes (not 0).
void startProgress(uint64_t total);
// Shows how far a run is, given the source and destination bytes that remain.
void showProgress(uint32_t sourceRemaining, uint32_t destRemaining);
// The same as showProgress at each of count steps, the first with the given remaining bytes,
// each later one stride bytes further on in total; without a call per step.
void showProgressSteps(uint32_t sourceRemaining, uint32_t destRemaining, uint64_t count,
                       uint64_t stride);
// How many more bytes, in total, a run that has just shown its progress may move on before
// showProgress could print again (0 when it may print at once).
uint64_t progressQuietFor(uint32_t sourceRemaining, uint32_t destRemaining);
// While set, nothing is printed; for a run whose output nobody is to see (a trial encoding).
void silenceProgress(bool silent);
