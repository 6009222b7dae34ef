// Reads from the mapped image. The page cache holds the image's bytes
// already; reading them with ZwReadFile copies them once into the caller's
// buffer and the decryption then passes over that buffer again. From a view,
// an unlocked medium decrypts straight from the file's pages into the
// caller's buffer: one pass instead of two.
#include "cipher/backend.h"
#include "platform/nt/section.h"
#include "vdisk/extension.h"

namespace {

struct ViewTransfer {
    const UCHAR* Source;
    PUCHAR Target;
    ULONG Length;
    const KEY_SCHEDULE* UserKey;  // NULL: the bytes as the file holds them
};

// Runs under NtHostGuardViewAccess: nothing here may need undoing if a
// fault ends it half-way (the caller's buffer is rewritten by the fallback).
VOID TransferFromView(PVOID Context)
{
    auto* transfer = static_cast<ViewTransfer*>(Context);
    if (transfer->UserKey == nullptr) {
        RtlCopyMemory(transfer->Target, transfer->Source, transfer->Length);
    } else {
        // Away from unit 0 a transfer is one ECB run under the user key, as
        // DecryptTransfer does it in place.
        AesDecryptBlocks(AesCurrentPath(), transfer->UserKey, transfer->Source, transfer->Target,
                         transfer->Length / 16);
    }
}

}  // namespace

VOID ImageViewOpen(VDISK_EXTENSION* Extension, HANDLE File)
{
    Extension->ImageView = nullptr;
    Extension->ImageViewSize = 0;
    HANDLE section = nullptr;
    if (!NT_SUCCESS(ZwCreateSection(&section, SECTION_MAP_READ, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, File))) {
        return;  // an empty image, or a file that cannot be mapped: reads copy
    }
    PVOID view = nullptr;
    SIZE_T size = 0;
    const NTSTATUS status = ZwMapViewOfSection(section, ZwCurrentProcess(), &view, 0, 0, nullptr, &size, ViewUnmap, 0,
                                               PAGE_READONLY);
    ZwClose(section);  // the view keeps the pages
    if (NT_SUCCESS(status)) {
        Extension->ImageView = view;
        Extension->ImageViewSize = size;
    }
}

VOID ImageViewClose(VDISK_EXTENSION* Extension)
{
    if (Extension->ImageView != nullptr) {
        ZwUnmapViewOfSection(ZwCurrentProcess(), Extension->ImageView);
        Extension->ImageView = nullptr;
        Extension->ImageViewSize = 0;
    }
}

NTSTATUS ImageViewRead(VDISK_EXTENSION* Extension, PUCHAR Buffer, LONGLONG Offset, ULONG Length,
                       PBOOLEAN Decrypted)
{
    *Decrypted = FALSE;
    if (Extension->ImageView == nullptr || Offset < 0 || ULONGLONG(Offset) > Extension->ImageViewSize ||
        Length > Extension->ImageViewSize - SIZE_T(Offset)) {
        return STATUS_IN_PAGE_ERROR;  // the caller reads the file
    }
    ViewTransfer transfer{static_cast<const UCHAR*>(Extension->ImageView) + Offset, Buffer, Length, nullptr};
    {
        // Unit 0 keeps the two-pass path: its marker block needs the fixed
        // key and the marker decision needs its stored bytes.
        FastMutexGuard lock(&Extension->CryptLock);
        if (FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded) && Offset != 0 &&
            VdiskUnitAligned(Offset, Length)) {
            transfer.UserKey = &Extension->UserKey;
            const NTSTATUS status = NtHostGuardViewAccess(TransferFromView, &transfer);
            *Decrypted = NT_SUCCESS(status);
            return status;
        }
    }
    return NtHostGuardViewAccess(TransferFromView, &transfer);
}
