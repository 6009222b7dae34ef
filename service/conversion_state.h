// What the service tells its clients about a conversion that keeps a
// journal; no RPC types, so the desktop program's Qt code may include it.
#pragma once

#include <cstdint>

// SvcQueryConversion's answer about an interrupted (or running) conversion
// that keeps a journal: 32 bytes, little-endian.
struct CONVERSION_STATE {
    uint32_t Encrypt;     // 1 encrypting, 0 decrypting
    uint32_t Image;       // 1 an image file, 0 a drive
    uint64_t ChunksDone;  // converted and durable, from chunk 0
    uint64_t ChunkCount;
    uint32_t Running;     // 1 while the worker converts it
    uint32_t Percent;     // ChunksDone * 100 / ChunkCount
};
static_assert(sizeof(CONVERSION_STATE) == 32, "wire size");
#define TARNSVC_CONVERSION_STATE_SIZE 32u

// SvcResumeConversion's answer when the password can't be checked (no file
// system was recognised): call again with confirmed 1 to go on.
#define TARNSVC_RESUME_UNVERIFIED 1246L  // ERROR_CONTINUE
