// Seams for tests: make the conversion loops' write of one chunk fail with a
// chosen Win32 error, as a failing disk or file system would, or hold the
// worker before a chosen chunk until the test lets it go on.
#pragma once

#include <cstdint>

// chunk < 0 turns the fault off.
void InjectChunkWriteFailure(int64_t chunk, uint32_t error);
// True (and the error) when the write of this chunk is to fail.
bool ChunkWriteFails(uint64_t chunk, uint32_t* error);

// The worker waits before processing this chunk until ReleaseHeldChunk();
// chunk < 0 holds nothing.
void HoldBeforeChunk(int64_t chunk);
void ReleaseHeldChunk();
// Called by the loops before each chunk.
void WaitIfHeld(uint64_t chunk);
// A power cut in the middle of an image write: true when the write of this
// chunk is to persist only its first half, after which the caller ends the
// process at once (PowerCutNow). Set by TARN_FAULT_TEAR_IMAGE_CHUNK=chunk.
bool ImageChunkWriteTears(uint64_t chunk);
[[noreturn]] void PowerCutNow();

// Whether the worker is to be held before this chunk (the loops end a
// durable step there, so everything before it is converted when it waits).
bool ChunkIsHeld(uint64_t chunk);
