// The one process-wide worker status (Progress, Finished, Result,
// LastMessage), written by the conversion worker and read by the status
// procedures on RPC threads, and the claim that lets one worker run at a time.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kLastMessageCapacity = 512;

int32_t WorkerProgress();
int32_t WorkerFinished();
int32_t WorkerResult();
void SetWorkerProgress(int32_t percent);
void SetWorkerResult(int32_t result);

// printf-style; the text is cut to the capacity. Any operation may set it;
// it is never cleared.
void SetLastMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Copies the text and its terminator into buf when the text is shorter than
// bufSize; otherwise buf stays as it is. Returns whether it copied.
bool CopyLastMessage(char* buf, int32_t bufSize);

// A start claims the worker slot, and with it sets Finished to 0 and Result
// and Progress to 0; false when a worker still runs (its status is then left
// as it is). The worker's end releases the slot and sets Finished to 1 in one
// step, so a client that sees Finished = 1 may start the next one at once.
bool ClaimWorker();
void FinishWorker();
// Gives a claim back when the worker could not be started.
void AbandonWorkerClaim();
// Whether a worker runs now.
bool WorkerRunning();

// Pause: asks the running worker to stop at its next durable chunk boundary;
// false when no worker runs. A claim clears the request.
bool RequestPause();
bool PauseRequested();
