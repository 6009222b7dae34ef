// The two media of the conversion loop: a locked volume and an image file.
#pragma once

#include "cipher/keys.h"
#include "service/chunk_loop.h"

// A volume opened and locked by the caller (the handle stays the caller's).
//   Through the filter (a first run): encrypting reads plaintext and writes
//   ciphertext with ordinary writes while the filter has no key; decrypting
//   reads through the loaded key and writes with the raw write.
//   Raw (a resume or a restore): the filter holds no key, so reads give the
//   stored bytes; the service transforms them with the password and every
//   write is a raw write.
class VolumeMedium final : public ChunkMedium {
public:
    enum class Mode { ThroughFilter, Raw };
    VolumeMedium(HANDLE volume, bool encrypt, Mode mode, const SectorKeys& keys);
    ~VolumeMedium() override;

    ReadOutcome Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got, DWORD* error) override;
    DWORD Write(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) override;
    DWORD Flush() override;
    void Transform(uint64_t chunk, uint8_t* data, DWORD length) override;
    bool ReadRun(uint64_t position, uint8_t* data, DWORD length) override;
    DWORD WriteRun(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) override;
    DWORD FlushAside() override;

    // A second handle on the volume, opened before the lock: its flush does
    // not wait behind the writes of the first. Without it the flush waits.
    HANDLE Flusher = INVALID_HANDLE_VALUE;

private:
    HANDLE Volume;
    bool Encrypt;
    Mode How;
    const SectorKeys& Keys;
    uint8_t* RawAllocation;
    uint8_t* RawRequest;  // 8-byte offset and one chunk, inside RawAllocation
};

// Image files: source and target handles (the same one in place).
class ImageMedium final : public ChunkMedium {
public:
    ImageMedium(HANDLE source, HANDLE target, bool encrypt, const SectorKeys& keys)
        : Source(source), Target(target), Encrypt(encrypt), Keys(keys) {}

    ReadOutcome Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got, DWORD* error) override;
    DWORD Write(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) override;
    DWORD Flush() override;
    void Transform(uint64_t chunk, uint8_t* data, DWORD length) override;
    bool ReadRun(uint64_t position, uint8_t* data, DWORD length) override;
    DWORD WriteRun(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) override;

private:
    HANDLE Source;
    HANDLE Target;
    bool Encrypt;
    const SectorKeys& Keys;
};
