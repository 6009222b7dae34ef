#include "bench/vdisk/in_process_disk.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "bench/vdisk/bench_image.h"
#include "platform/nt/host.h"
#include "cipher/keys.h"
#include "sys/crypt_ioctl.h"
#include "tests/support/irp_sender.h"
#include "vdisk/extension.h"
#include "vdisk/vdisk.h"

namespace vdisk_bench {

InProcessDisk::InProcessDisk(const std::filesystem::path& image)
{
    if (!NT_SUCCESS(NtHostLoadDriver(u"\\Driver\\VTarn", DriverEntry, nullptr, &driver_))) {
        throw std::runtime_error("cannot load the driver");
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Ombrel\\Ombrel0");
    PVOID object = nullptr;
    if (!NT_SUCCESS(NtHostReferenceObjectByName(&name, nullptr, &object))) {
        throw std::runtime_error("no device");
    }
    disk_ = static_cast<PDEVICE_OBJECT>(object);
    ObDereferenceObject(object);

    VDISK_MOUNT_RECORD record{};
    const std::string path = "\\??\\" + image.string();
    for (size_t i = 0; i < path.size() && i + 1 < VDISK_NAME_CHARS; ++i) record.FileName[i] = char16_t(path[i]);
    record.DriveLetter = 'B';
    const std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&record),
                                     reinterpret_cast<uint8_t*>(&record) + sizeof(record));
    uint8_t key[kKeyBufferSize];
    BuildKeyBuffer(kPassword, key);
    const bool ready =
        NT_SUCCESS(tarn::test::SendControl(disk_, IOCTL_VDISK_MOUNT, bytes).status) &&
        NT_SUCCESS(
            tarn::test::SendControl(disk_, IOCTL_CRYPT_SET_KEY, std::vector<uint8_t>(key, key + CRYPT_KEY_LENGTH))
                .status) &&
        VdiskExtension(disk_)->Encrypted;
    SecureWipe(key, sizeof(key));
    if (!ready) throw std::runtime_error("cannot mount and unlock the image in process");
}

InProcessDisk::~InProcessDisk()
{
    tarn::test::SendControl(disk_, IOCTL_VDISK_UNMOUNT, {});
    NtHostUnloadDriver(driver_);
}

bool InProcessDisk::Read(uint64_t offset, void* buffer, uint32_t length) const
{
    return NT_SUCCESS(tarn::test::SendRead(disk_, int64_t(offset), buffer, length).status);
}

}  // namespace vdisk_bench
