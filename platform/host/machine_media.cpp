// Media of devices outside the drive table (the virtual disks of a driver
// service): they gain and lose media through their own control codes, so the
// machine asks the device after such a request, as a class driver notices a
// media change, then mounts or drops the file system and announces it.
#include "platform/host/irp_io.h"
#include "platform/host/machine.h"
#include "platform/nt/host.h"

namespace tarn::host {

uint32_t Machine::UnitMaskOf(PDEVICE_OBJECT device) {
    uint32_t mask = 0;
    for (const auto& name : NtHostListDirectory(u"\\GLOBAL??")) {
        if (name.size() != 2 || name[1] != u':') continue;
        char16_t c = name[0];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        if (c < u'A' || c > u'Z') continue;
        const std::u16string full = u"\\??\\" + name;
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, full.c_str());
        PVOID object = nullptr;
        if (!NT_SUCCESS(NtHostReferenceObjectByName(&n, *IoDeviceObjectType, &object))) continue;
        if (object == device) mask |= 1u << (c - u'A');
        ObDereferenceObject(object);
    }
    return mask;
}

void Machine::BroadcastVolume(uint32_t event, uint32_t unitMask) {
    if (!unitMask) return;  // no letter leads there: nobody could use the volume
    wire::Event e;
    e.event = event;
    e.deviceType = kDbtDevtypVolume;
    e.unitMask = unitMask;
    e.flags = 0;
    events_.Broadcast(e);
}

void Machine::NoticeMediaChange(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    ULONG_PTR info = 0;
    const bool present =
        NT_SUCCESS(IoSendDeviceControl(top, nullptr, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, &info));
    ObDereferenceObject(top);
    bool was = false;
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        auto it = mediaPresent_.find(device);
        was = it != mediaPresent_.end() && it->second;
        if (present) {
            mediaPresent_[device] = true;
        } else if (it != mediaPresent_.end()) {
            mediaPresent_.erase(it);
        }
    }
    if (present == was) return;
    if (present) {
        // A new medium: the first read of unit 0, then the recognizer mounts it.
        Arrive(device, device->DeviceType == FILE_DEVICE_CD_ROM);
        Mount(device);
        BroadcastVolume(kDbtDeviceArrival, UnitMaskOf(device));
    } else {
        DropMount(device);
        VolumeChanged(device);
        BroadcastVolume(kDbtDeviceRemoveComplete, UnitMaskOf(device));
    }
}

void Machine::ForgetDriverMedia(PDRIVER_OBJECT driver) {
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
        bool was = false;
        {
            std::lock_guard<std::mutex> guard(fsMutex_);
            was = mediaPresent_.erase(device) > 0;
            mounts_.erase(device);
            // The device goes with the driver: its address may be reused.
            locks_.erase(device);
        }
        VolumeChanged(device);
        if (was) BroadcastVolume(kDbtDeviceRemoveComplete, UnitMaskOf(device));
    }
}

}  // namespace tarn::host
