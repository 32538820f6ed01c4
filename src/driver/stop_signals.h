// How the tool ends when a signal stops it: whatever a failure would cut back or remove is undone
// first, so that a stop never leaves a partial record or an unchecked temporary file behind.
#pragma once
#include "zep/zep.h"

// Installs the process's handlers. SIGINT, SIGTERM and SIGHUP undo the run that is on, then end
// the process as the signal would (a shell sees 128 + the signal). SIGBUS inside the view of a
// mapped file (one cut short while it is read) undoes and ends with
// "[%s] changed while being read.\n", status 12. SIGPIPE and SIGXFSZ are ignored: the write
// they would have stopped fails instead and takes the usual failure path.
void handleStopSignals();
// The run the handlers undo: the library reports it through its run callback.
void watchRun(zep_run* run);
