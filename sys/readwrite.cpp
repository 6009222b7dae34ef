// The encrypted read and write paths: decrypt reads and encrypt writes of an
// unlocked device in the caller's buffer, refuse writes to a locked one, and
// watch reads of unit 0 for the marker.
#include <cstring>

#include "cipher/sector.h"
#include "sys/filter.h"
#include "sys/guards.h"
#include "sys/lower_io.h"

namespace {

bool IsUnlocked(const FILTER_EXTENSION* Extension)
{
    return FlagIsSet(Extension->Encrypted) && FlagIsSet(Extension->KeyLoaded);
}

bool HasDirectIo(PDEVICE_OBJECT DeviceObject)
{
    return (DeviceObject->Flags & DO_DIRECT_IO) != 0;
}

bool IsWholeUnits(LONGLONG Offset, ULONG Length)
{
    return Offset >= 0 && Offset % FILTER_UNIT_SIZE == 0 && Length % FILTER_UNIT_SIZE == 0;
}

// Post-read step, CryptLock held. Decides by the state as it is now, not as
// it was when the path was chosen.
void AfterRead(FILTER_EXTENSION* Extension, PUCHAR Data, LONGLONG Offset, ULONG Length)
{
    if (Extension->Encrypted) {
        if (Extension->KeyLoaded) {
            DecryptTransfer(&Extension->UserKey, &Extension->FixedKey, static_cast<uint64_t>(Offset), Data,
                            Length);
        }
        // Locked: the caller gets the ciphertext.
        return;
    }
    // A plain device's unit 0: look for the marker on a copy. The caller gets
    // the stored bytes either way; decryption starts with the next read.
    if (Offset == 0 && Length >= FILTER_UNIT_SIZE && UnitZeroHasMarker(&Extension->FixedKey, Data)) {
        SetFlag(Extension->Encrypted, true);
    }
}

enum class WriteAction { PassThrough, Refuse, Encrypt };

WriteAction ChooseWriteAction(const FILTER_EXTENSION* Extension, PDEVICE_OBJECT DeviceObject)
{
    const bool encrypted = FlagIsSet(Extension->Encrypted);
    if (!FlagIsSet(Extension->KeyLoaded)) {
        return encrypted ? WriteAction::Refuse : WriteAction::PassThrough;
    }
    if (!encrypted || !HasDirectIo(DeviceObject)) {
        return WriteAction::PassThrough;
    }
    return WriteAction::Encrypt;
}

}  // namespace

// Contract: holds the remove lock for the whole request. Reads that may need
// the transform (an unlocked device, or unit 0 of any device) come back to us
// and are completed here with CryptLock held across the lower driver's work;
// all others are completed by the lower driver.
NTSTATUS FilterRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    const ULONG length = stack->Parameters.Read.Length;
    const bool watched = (IsUnlocked(extension) || offset == 0) && HasDirectIo(DeviceObject) && length != 0;
    if (!watched) {
        return ForwardRequest(extension, Irp);
    }

    // A buffer we could not reach afterwards must not cost a device read.
    PUCHAR data = MapRequestBuffer(Irp);
    if (data == nullptr) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    CryptLockGuard cryptLock(&extension->CryptLock);
    const NTSTATUS status = ForwardAndWait(extension, Irp);
    if (NT_SUCCESS(status)) {
        AfterRead(extension, data, offset, length);
    }
    cryptLock.Release();
    return CompleteWithLowerStatus(Irp);
}

// Contract: holds the remove lock for the whole request. Writes to an unlocked
// device are encrypted in the caller's buffer, sent down and waited for with
// CryptLock held, and the caller's plaintext is put back before the request
// is completed here; writes to a locked device are refused; all others are
// completed by the lower driver.
NTSTATUS FilterWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }

    switch (ChooseWriteAction(extension, DeviceObject)) {
    case WriteAction::Refuse:
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
    case WriteAction::PassThrough:
        return ForwardRequest(extension, Irp);
    case WriteAction::Encrypt:
        break;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const LONGLONG offset = stack->Parameters.Write.ByteOffset.QuadPart;
    const ULONG length = stack->Parameters.Write.Length;
    if (length == 0) {
        return ForwardRequest(extension, Irp);
    }
    // Only whole units can be encrypted; anything else would put plaintext or
    // misaligned ciphertext on an encrypted device.
    if (!IsWholeUnits(offset, length)) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    PoolBuffer plaintext(length);
    if (plaintext.Data() == nullptr) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    PUCHAR data = MapRequestBuffer(Irp);
    if (data == nullptr) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    CryptLockGuard cryptLock(&extension->CryptLock);
    // The path was chosen without the lock; a key change since then must not
    // let us encrypt with a cleared key.
    switch (ChooseWriteAction(extension, DeviceObject)) {
    case WriteAction::Refuse:
        cryptLock.Release();
        return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
    case WriteAction::PassThrough:
        cryptLock.Release();
        return ForwardRequest(extension, Irp);
    case WriteAction::Encrypt:
        break;
    }

    std::memcpy(plaintext.Data(), data, length);
    EncryptTransfer(&extension->UserKey, &extension->FixedKey, static_cast<uint64_t>(offset), data, length);
    ForwardAndWait(extension, Irp);
    // Whatever the write's status, the caller gets its plaintext back before
    // the request completes.
    std::memcpy(data, plaintext.Data(), length);
    cryptLock.Release();
    return CompleteWithLowerStatus(Irp);
}
