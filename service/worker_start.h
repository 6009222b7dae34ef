// Starting the conversion worker (drive or image): claim the one worker slot,
// run the routine on a new thread and wait until it has taken its copy of the
// arguments, so the caller's strings may go at once.
#pragma once

#include "service/win32.h"

// The part of every worker request the start needs.
struct WorkerStart {
    HANDLE Started = nullptr;  // manual-reset event the worker signals
};

// The caller holds the worker claim (ClaimWorker); a start that fails gives
// it back. Returns 0 once the worker runs, or the error of the event or the
// thread.
long StartWorker(LPTHREAD_START_ROUTINE routine, WorkerStart* request);

// The worker's first act after copying its arguments.
inline void WorkerArgumentsTaken(WorkerStart* request) { SetEvent(request->Started); }
