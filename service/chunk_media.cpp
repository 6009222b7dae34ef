#include "service/chunk_media.h"

#include <cstdlib>
#include <cstring>

#include "cipher/sector.h"
#include "service/chunk_cipher.h"
#include "service/drive_messages.h"
#include "service/file_at.h"
#include "service/fault_injection.h"
#include "service/worker_status.h"

namespace {

constexpr size_t kRawHeader = 8;
// Where the request starts in its allocation. A copy whose destination lies
// 1 to 15 bytes past its source's offset within a page runs at a tenth of
// its speed on some processors (rep movsb), and the chunk's bytes come from
// page-aligned buffers: started at the page, they would land 8 bytes past.
constexpr size_t kRawRequestAt = 64;
constexpr size_t kRawAllocation = (kRawRequestAt + kRawHeader + kChunkSize + 4095) / 4096 * 4096;

bool Seek(HANDLE h, uint64_t position) {
    LARGE_INTEGER at;
    at.QuadPart = int64_t(position);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != FALSE;
}

// The tests' seam: the conversion's write of this chunk fails.
bool InjectedFailure(const ChunkMedium& medium, uint64_t chunk, DWORD* error) {
    uint32_t injected = 0;
    if (medium.Restoring || !ChunkWriteFails(chunk, &injected)) return false;
    *error = injected;
    return true;
}

// Whether any chunk of a run has a test fault set; such runs are written
// chunk by chunk, so the fault lands where the test put it.
bool RunHasInjectedFault(const ChunkMedium& medium, uint64_t chunk, DWORD length) {
    const uint64_t end = chunk + (uint64_t(length) + kChunkSize - 1) / kChunkSize;
    for (uint64_t c = chunk; c < end; ++c) {
        uint32_t injected = 0;
        if (!medium.Restoring && (ChunkWriteFails(c, &injected) || ImageChunkWriteTears(c))) return true;
    }
    return false;
}

}  // namespace

VolumeMedium::VolumeMedium(HANDLE volume, bool encrypt, Mode mode, const SectorKeys& keys)
    : Volume(volume), Encrypt(encrypt), How(mode), Keys(keys),
      RawAllocation(static_cast<uint8_t*>(std::aligned_alloc(4096, kRawAllocation))),
      RawRequest(RawAllocation ? RawAllocation + kRawRequestAt : nullptr) {}

VolumeMedium::~VolumeMedium() {
    if (RawAllocation) SecureWipe(RawAllocation, kRawAllocation);
    std::free(RawAllocation);
}

ChunkMedium::ReadOutcome VolumeMedium::Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got,
                                            DWORD* error) {
    if (!Seek(Volume, position)) {
        Noted = GetLastError();
        SetLastMessage(MSG_PROCESS_ERROR, unsigned(Noted));
    }
    *got = 0;
    if (!ReadFile(Volume, data, length, got, nullptr) || *got == 0) {
        // A volume that ends before its reported length is a failure, not
        // a conversion that finished.
        *error = GetLastError();
        if (*error == 0) *error = ERROR_HANDLE_EOF;
        SetLastMessage(MSG_READ_ERROR, unsigned(*error));
        return ReadOutcome::Failed;
    }
    return ReadOutcome::Data;
}

DWORD VolumeMedium::Write(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) {
    DWORD error = 0;
    if (InjectedFailure(*this, chunk, &error)) return error;
    if (!Seek(Volume, position)) {
        Noted = GetLastError();
        SetLastMessage(MSG_PROCESS_ERROR, unsigned(Noted));
    }
    if (How == Mode::ThroughFilter && Encrypt) {
        DWORD written = 0;
        if (!WriteFile(Volume, data, length, &written, nullptr)) return GetLastError();
        return written == length ? 0 : ERROR_DISK_FULL;
    }
    if (RawRequest == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const int64_t offset = int64_t(position);
    std::memcpy(RawRequest, &offset, kRawHeader);  // little-endian byte offset
    std::memcpy(RawRequest + kRawHeader, data, length);
    DWORD returned = 0;
    if (!DeviceIoControl(Volume, IOCTL_CRYPT_RAW_WRITE, RawRequest, DWORD(length + kRawHeader), nullptr, 0, &returned,
                         nullptr))
        return GetLastError();
    return 0;
}

bool VolumeMedium::ReadRun(uint64_t position, uint8_t* data, DWORD length) {
    return ReadAt(Volume, position, data, length);
}

// Ordinary writes can carry a whole step; a raw write carries one chunk.
DWORD VolumeMedium::WriteRun(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) {
    if (How != Mode::ThroughFilter || !Encrypt || RunHasInjectedFault(*this, chunk, length)) return ERROR_NOT_SUPPORTED;
    return WriteAt(Volume, position, data, length);
}

// The flush goes down the volume's stack to its backing store.
DWORD VolumeMedium::Flush() { return FlushFileBuffers(Volume) ? 0 : GetLastError(); }

DWORD VolumeMedium::FlushAside() {
    if (Flusher == INVALID_HANDLE_VALUE) return Flush();
    return FlushFileBuffers(Flusher) ? 0 : GetLastError();
}

void VolumeMedium::Transform(uint64_t chunk, uint8_t* data, DWORD length) {
    if (Encrypt) {
        EncryptChunk(Keys, chunk, data, length);
    } else if (How == Mode::Raw) {
        // What the filter's read gives: unit 0 with its boot signature back.
        DecryptTransfer(&Keys.User, &Keys.Fixed, chunk * kChunkSize, data, length);
    }
    // Decrypting through the filter: the read gave the plaintext already.
}

ChunkMedium::ReadOutcome ImageMedium::Read(uint64_t position, uint8_t* data, DWORD length, DWORD* got,
                                           DWORD* error) {
    // A failed seek is noted and the loop carries on.
    if (!Seek(Source, position)) Noted = GetLastError();
    *got = 0;
    if (!ReadFile(Source, data, length, got, nullptr)) {
        *error = GetLastError();
        SetLastMessage(MSG_READ_ERROR, unsigned(*error));
        return ReadOutcome::Failed;
    }
    return *got == 0 ? ReadOutcome::End : ReadOutcome::Data;  // end of file: nothing to write
}

DWORD ImageMedium::Write(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) {
    if (!Seek(Target, position)) Noted = GetLastError();
    DWORD error = 0;
    if (InjectedFailure(*this, chunk, &error)) return error;
    DWORD written = 0;
    if (!Restoring && ImageChunkWriteTears(chunk)) {
        WriteFile(Target, data, length / 2, &written, nullptr);
        PowerCutNow();
    }
    if (!WriteFile(Target, data, length, &written, nullptr)) return GetLastError();
    return written == length ? 0 : ERROR_DISK_FULL;
}

bool ImageMedium::ReadRun(uint64_t position, uint8_t* data, DWORD length) {
    return ReadAt(Source, position, data, length);
}

DWORD ImageMedium::WriteRun(uint64_t chunk, uint64_t position, const uint8_t* data, DWORD length) {
    if (RunHasInjectedFault(*this, chunk, length)) return ERROR_NOT_SUPPORTED;
    return WriteAt(Target, position, data, length);
}

DWORD ImageMedium::Flush() { return FlushFileBuffers(Target) ? 0 : GetLastError(); }

void ImageMedium::Transform(uint64_t chunk, uint8_t* data, DWORD length) {
    if (Encrypt)
        EncryptChunk(Keys, chunk, data, length);
    else
        DecryptImageChunk(Keys, chunk, data, length);
}
