// Drive stacks: the volume device of each drive with the filter above it, its
// names, media changes and arrival.
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "platform/host/irp_io.h"
#include "platform/host/machine.h"
#include "platform/host/machine_setup.h"
#include "platform/host/names.h"

namespace tarn::host {

namespace {

constexpr const char16_t* kVolumeInterfaceGuid = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

VolumeKind KindOf(DriveKind k) {
    switch (k) {
    case DriveKind::Fixed: return VolumeKind::Fixed;
    case DriveKind::Removable: return VolumeKind::Removable;
    case DriveKind::CdRom: return VolumeKind::CdRom;
    case DriveKind::Remote: return VolumeKind::Remote;
    }
    return VolumeKind::Fixed;
}

std::u16string DosLink(char letter) { return u"\\DosDevices\\" + std::u16string(1, static_cast<char16_t>(letter)) + u":"; }

NTSTATUS Link(const std::u16string& name, const std::u16string& target) {
    UNICODE_STRING n, t;
    RtlInitUnicodeString(&n, name.c_str());
    RtlInitUnicodeString(&t, target.c_str());
    return IoCreateSymbolicLink(&n, &t);
}

void Unlink(const std::u16string& name) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name.c_str());
    IoDeleteSymbolicLink(&n);
}

}  // namespace

Status Machine::OpenMedia(const DriveEntry& entry, VolumeMedia& media) {
    media.fd = -1;
    media.length = 0;
    media.readOnly = entry.readOnly || entry.kind == DriveKind::CdRom;
    if (!entry.HasMedia()) return Ok();
    const std::string path = ResolveBacking(options_.dir, entry.backing);
    auto size = BackingSize(path);
    if (!size) return Error{size.error()};
    int fd = ::open(path.c_str(), (media.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0 && !media.readOnly && errno == EACCES) {
        // A backing file we may only read makes a write-protected drive.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        media.readOnly = true;
    }
    if (fd < 0) return Error{"cannot open " + path};
    media.fd = fd;
    media.length = *size - *size % 512;
    MapMedia(media);
    ++media.changeCount;
    return Ok();
}

NTSTATUS Machine::AddDrive(const DriveEntry& entry, bool announce) {
    if (drives_.count(entry.letter)) return STATUS_OBJECT_NAME_COLLISION;
    media_.push_back(std::make_unique<VolumeMedia>());
    VolumeMedia* media = media_.back().get();
    if (auto s = OpenMedia(entry, *media); !s) {
        std::fprintf(stderr, "tarnhost: drive %c: %s; it stays empty\n", entry.letter, s.error().c_str());
    }
    const bool cd = entry.kind == DriveKind::CdRom;
    const ULONG number = cd ? nextCdNumber_++ : nextVolumeNumber_++;
    Drive d;
    d.entry = entry;
    d.media = media;
    d.deviceName = (cd ? u"\\Device\\CdRom" : u"\\Device\\HarddiskVolume") + Widen(std::to_string(number));
    d.interfaceName = u"STORAGE#Volume#" + d.deviceName.substr(8) + u"#" + kVolumeInterfaceGuid;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, d.deviceName.c_str());
    NTSTATUS status = VolumeCreateDevice(diskDriver_, &name, KindOf(entry.kind), number, media, &d.volume);
    if (!NT_SUCCESS(status)) return status;

    // The filter sits above volumes and CD/DVD drives, not above network drives.
    if (filterDriver_ && entry.kind != DriveKind::Remote) {
        status = filterDriver_->DriverExtension->AddDevice(filterDriver_, d.volume);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "tarnhost: drive %c: the filter did not attach (status %08X)\n", entry.letter,
                         static_cast<unsigned>(status));
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(d.volume);
    status = IoSendSimple(top, nullptr, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    ObDereferenceObject(top);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "tarnhost: drive %c: start failed (status %08X)\n", entry.letter, static_cast<unsigned>(status));
    }
    Link(DosLink(entry.letter), d.deviceName);
    Link(u"\\GLOBAL??\\" + d.interfaceName, d.deviceName);
    const PDEVICE_OBJECT volume = d.volume;
    const std::u16string interfaceName = d.interfaceName;
    drives_.emplace(entry.letter, std::move(d));
    Arrive(volume, cd);
    if (announce) Broadcast(kDbtDeviceArrival, entry.letter, false, interfaceName, true);
    return STATUS_SUCCESS;
}

void Machine::RemoveDrive(char letter, bool announce) {
    auto it = drives_.find(letter);
    if (it == drives_.end()) return;
    Drive d = std::move(it->second);
    drives_.erase(it);
    Unlink(DosLink(letter));
    Unlink(u"\\GLOBAL??\\" + d.interfaceName);
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        locks_.erase(d.volume);
        mounts_.erase(d.volume);
    }
    // Removal runs down the whole stack: the filter detaches and deletes its
    // device, the disk driver deletes the volume. Open handles keep the
    // objects' memory until they close; their requests fail from now on.
    VolumeAboutToChange(d.volume);
    ObReferenceObject(d.volume);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(d.volume);
    IoSendSimple(top, nullptr, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    ObDereferenceObject(top);
    ObDereferenceObject(d.volume);
    {
        std::unique_lock<std::shared_mutex> guard(d.media->lock);
        CloseMedia(*d.media);
    }
    VolumeChanged(d.volume);
    if (announce) Broadcast(kDbtDeviceRemoveComplete, letter, false, d.interfaceName, true);
}

NTSTATUS Machine::ChangeMedia(Drive& drive, const DriveEntry& entry) {
    const bool hadMedia = drive.media->fd >= 0;
    VolumeAboutToChange(drive.volume);
    {
        std::unique_lock<std::shared_mutex> guard(drive.media->lock);
        CloseMedia(*drive.media);
        if (auto s = OpenMedia(entry, *drive.media); !s) {
            std::fprintf(stderr, "tarnhost: drive %c: %s; it stays empty\n", entry.letter, s.error().c_str());
        }
        ++drive.media->changeCount;
    }
    drive.entry = entry;
    // Every media change, removal included, drops the old file system and
    // lets the filter look at unit 0 again before anyone is told, so an
    // emptied drive no longer answers with its last medium's state.
    Arrive(drive.volume, true);
    if (hadMedia) Broadcast(kDbtDeviceRemoveComplete, entry.letter, true, drive.interfaceName, false);
    if (drive.media->fd >= 0) Broadcast(kDbtDeviceArrival, entry.letter, true, drive.interfaceName, false);
    return STATUS_SUCCESS;
}

void Machine::Arrive(PDEVICE_OBJECT volume, bool cdProbe) {
    DropMount(volume);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(volume);
    if (cdProbe) {
        // What the CD-ROM class asks after a media change; the filter looks at
        // the new disc's unit 0 when it sees it.
        DISK_GEOMETRY geometry{};
        ULONG_PTR info = 0;
        IoSendDeviceControl(top, nullptr, IOCTL_CDROM_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof(geometry), &info);
    }
    // The mount manager's first read of unit 0: the filter finds its marker here.
    alignas(16) UCHAR unit0[512];
    ULONG_PTR info = 0;
    IoSendReadWrite(top, nullptr, IRP_MJ_READ, unit0, sizeof(unit0), 0, &info);
    ObDereferenceObject(top);
    // The filter may have found its marker on that read.
    VolumeChanged(volume);
}

void Machine::Broadcast(uint32_t event, char letter, bool media, const std::u16string& interfaceName,
                        bool withInterface) {
    wire::Event e;
    e.event = event;
    e.deviceType = kDbtDevtypVolume;
    e.unitMask = 1u << (letter - 'A');
    e.flags = media ? kDbtfMedia : 0;
    events_.Broadcast(e);
    if (withInterface) {
        wire::Event i;
        i.event = event;
        i.deviceType = kDbtDevtypDeviceInterface;
        i.name = "\\\\?\\" + Narrow(interfaceName);
        events_.Broadcast(i);
    }
}

NTSTATUS Machine::ReloadDrives() {
    auto table = DriveTable::Load(options_.dir + "/" + DriveTable::kFileName);
    if (!table) {
        std::fprintf(stderr, "tarnhost: %s\n", table.error().c_str());
        return STATUS_UNSUCCESSFUL;
    }
    std::lock_guard<std::mutex> guard(drivesMutex_);
    std::vector<char> gone;
    for (auto& [letter, d] : drives_) {
        if (!table->Find(letter)) gone.push_back(letter);
    }
    for (char l : gone) RemoveDrive(l, true);
    for (const auto& e : table->Entries()) {
        auto it = drives_.find(e.letter);
        if (it == drives_.end()) {
            AddDrive(e, true);
            continue;
        }
        Drive& d = it->second;
        if (d.entry.kind != e.kind || d.entry.readOnly != e.readOnly) {
            RemoveDrive(e.letter, true);
            AddDrive(e, true);
        } else if (d.entry.backing != e.backing) {
            if (e.kind == DriveKind::Removable) {
                // A new medium in a removable disk is a new volume: fresh stack,
                // fresh filter state.
                const bool hadMedia = d.entry.HasMedia();
                const std::u16string oldInterface = d.interfaceName;
                RemoveDrive(e.letter, false);
                if (hadMedia) Broadcast(kDbtDeviceRemoveComplete, e.letter, true, oldInterface, true);
                AddDrive(e, false);
                if (e.HasMedia() && drives_.count(e.letter)) {
                    Broadcast(kDbtDeviceArrival, e.letter, true, drives_[e.letter].interfaceName, true);
                }
            } else {
                ChangeMedia(d, e);
            }
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace tarn::host
