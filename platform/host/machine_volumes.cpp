// Drive letters and what the machine answers about volumes: DOS device
// names, drive types, free space, volume information, formatting.
#include <algorithm>
#include <cstring>

#include "platform/host/irp_io.h"
#include "platform/host/machine.h"
#include "platform/host/machine_setup.h"
#include "platform/host/names.h"
#include "platform/nt/host.h"

namespace tarn::host {

namespace {

constexpr NTSTATUS kStatusUnrecognizedVolume = static_cast<NTSTATUS>(0xC000014FL);
constexpr uint32_t kDddRawTargetPath = 0x1;
constexpr uint32_t kDddRemoveDefinition = 0x2;
constexpr uint32_t kDddExactMatchOnRemove = 0x4;
constexpr uint32_t kDriveNoRootDir = 1, kDriveRemovable = 2, kDriveFixed = 3, kDriveRemote = 4, kDriveCdRom = 5;
// Stands for the machine itself as the holder of a volume lock (formatting).
const PFILE_OBJECT kMachineLockOwner = reinterpret_cast<PFILE_OBJECT>(static_cast<uintptr_t>(1));

// The immediate target of a symbolic link, or nullopt when name is no link.
std::optional<std::u16string> LinkTarget(const std::u16string& ntName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ntName.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes))) return std::nullopt;
    std::u16string buffer(1024, u'\0');
    UNICODE_STRING target;
    target.Buffer = buffer.data();
    target.Length = 0;
    target.MaximumLength = static_cast<USHORT>(buffer.size() * sizeof(char16_t));
    ULONG returned = 0;
    const NTSTATUS status = ZwQuerySymbolicLinkObject(link, &target, &returned);
    ZwClose(link);
    if (!NT_SUCCESS(status)) return std::nullopt;
    return std::u16string(target.Buffer, target.Length / sizeof(char16_t));
}

void WriteStatus(wire::Writer& reply, NTSTATUS status) { wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), 0); }

}  // namespace

PDEVICE_OBJECT Machine::DeviceForRoot(const std::string& root) {
    const auto letter = RootDriveLetter(root);
    if (!letter) return nullptr;
    const std::u16string ntName = u"\\??\\" + std::u16string(1, static_cast<char16_t>(*letter)) + u":";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ntName.c_str());
    PVOID object = nullptr;
    if (!NT_SUCCESS(NtHostReferenceObjectByName(&name, *IoDeviceObjectType, &object))) return nullptr;
    return static_cast<PDEVICE_OBJECT>(object);
}

hostfs::MountResult Machine::Recognize(PDEVICE_OBJECT volume) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(volume);
    hostfs::ReadFn read = [top](uint64_t offset, std::span<uint8_t> buffer) -> hostfs::IoStatus {
        ULONG_PTR done = 0;
        const NTSTATUS status = IoSendReadWrite(top, nullptr, IRP_MJ_READ, buffer.data(),
                                                static_cast<ULONG>(buffer.size()), static_cast<LONGLONG>(offset), &done);
        if (!NT_SUCCESS(status)) return status;
        return done == buffer.size() ? hostfs::kIoSuccess : STATUS_END_OF_FILE;
    };
    auto result = hostfs::recognizeVolume(read);
    ObDereferenceObject(top);
    return result;
}

hostfs::MountResult Machine::Mount(PDEVICE_OBJECT volume) {
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        auto it = mounts_.find(volume);
        if (it != mounts_.end()) {
            hostfs::MountResult cached;
            cached.outcome = hostfs::MountOutcome::Mounted;
            cached.volume = it->second;
            return cached;
        }
    }
    auto result = Recognize(volume);
    if (result.mounted()) {
        std::lock_guard<std::mutex> guard(fsMutex_);
        mounts_[volume] = result.volume;
    }
    return result;
}

void Machine::DropMount(PDEVICE_OBJECT volume) {
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        mounts_.erase(volume);
    }
    // Called after sectors changed behind the file system: reads changed too.
    VolumeChanged(volume);
}

void Machine::OnGetDriveType(wire::Reader& args, wire::Writer& reply) {
    std::string root;
    if (!args.Str(root)) return WriteStatus(reply, STATUS_INVALID_PARAMETER);
    PDEVICE_OBJECT device = DeviceForRoot(root);
    uint32_t type = kDriveNoRootDir;
    if (device) {
        if (device->DeviceType == FILE_DEVICE_CD_ROM) {
            type = kDriveCdRom;
        } else if (device->Characteristics & FILE_REMOTE_DEVICE) {
            type = kDriveRemote;
        } else if (device->Characteristics & FILE_REMOVABLE_MEDIA) {
            type = kDriveRemovable;
        } else {
            type = kDriveFixed;
        }
        ObDereferenceObject(device);
    }
    wire::WriteReplyHeader(reply, STATUS_SUCCESS, type);
}

// The mounted file system behind a root ("E:\\") for the volume queries;
// otherwise the reply says why there is none.
std::optional<hostfs::VolumeInfo> Machine::MountedVolumeOf(wire::Reader& args, wire::Writer& reply) {
    auto refuse = [&reply](NTSTATUS status) -> std::optional<hostfs::VolumeInfo> {
        WriteStatus(reply, status);
        return std::nullopt;
    };
    std::string root;
    if (!args.Str(root)) return refuse(STATUS_INVALID_PARAMETER);
    PDEVICE_OBJECT device = DeviceForRoot(root);
    if (!device) return refuse(STATUS_OBJECT_PATH_NOT_FOUND);
    if (LockedByOther(device, nullptr)) {
        ObDereferenceObject(device);
        return refuse(STATUS_ACCESS_DENIED);
    }
    const auto mount = Mount(device);
    ObDereferenceObject(device);
    if (mount.outcome == hostfs::MountOutcome::ReadFailed) return refuse(mount.ioStatus);
    if (!mount.mounted()) return refuse(kStatusUnrecognizedVolume);
    return mount.volume;
}

void Machine::OnGetDiskFreeSpace(wire::Reader& args, wire::Writer& reply) {
    const auto volume = MountedVolumeOf(args, reply);
    if (!volume) return;
    wire::WriteReplyHeader(reply, STATUS_SUCCESS, 0);
    reply.U64(volume->availableBytes);
    reply.U64(volume->totalBytes);
    reply.U64(volume->freeBytes);
}

void Machine::OnGetVolumeInfo(wire::Reader& args, wire::Writer& reply) {
    const auto volume = MountedVolumeOf(args, reply);
    if (!volume) return;
    wire::WriteReplyHeader(reply, STATUS_SUCCESS, 0);
    reply.Str(volume->label);
    reply.U32(volume->serial);
    reply.U32(volume->maxComponentLength);
    reply.U32(volume->fileSystemFlags);
    reply.Str(volume->fileSystemName);
}

void Machine::OnFormat(wire::Reader& args, wire::Writer& reply) {
    std::string root, fileSystem, label;
    if (!args.Str(root) || !args.Str(fileSystem) || !args.Str(label)) return WriteStatus(reply, STATUS_INVALID_PARAMETER);
    auto options = FormatOptionsFor(fileSystem, label);
    if (!options) return WriteStatus(reply, STATUS_INVALID_PARAMETER);
    PDEVICE_OBJECT device = DeviceForRoot(root);
    if (!device) return WriteStatus(reply, STATUS_OBJECT_PATH_NOT_FOUND);
    {
        // Formatting holds the volume's lock, so no handle writes meanwhile.
        std::lock_guard<std::mutex> guard(fsMutex_);
        if (locks_.count(device)) {
            ObDereferenceObject(device);
            return WriteStatus(reply, STATUS_ACCESS_DENIED);
        }
        locks_[device] = kMachineLockOwner;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    GET_LENGTH_INFORMATION length{};
    ULONG_PTR info = 0;
    NTSTATUS status = IoSendDeviceControl(top, nullptr, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length), &info);
    if (NT_SUCCESS(status)) {
        hostfs::VolumeSink sink;
        sink.sizeBytes = static_cast<uint64_t>(length.Length.QuadPart) & ~511ull;
        std::vector<uint8_t> chunk;
        sink.write = [top, &chunk](uint64_t offset, std::span<const uint8_t> data) -> hostfs::IoStatus {
            // The filter encrypts in place: it gets a buffer of our own.
            chunk.assign(data.begin(), data.end());
            ULONG_PTR done = 0;
            const NTSTATUS s = IoSendReadWrite(top, nullptr, IRP_MJ_WRITE, chunk.data(), static_cast<ULONG>(chunk.size()),
                                               static_cast<LONGLONG>(offset), &done);
            if (!NT_SUCCESS(s)) return s;
            return done == data.size() ? hostfs::kIoSuccess : STATUS_DISK_FULL;
        };
        const auto result = hostfs::formatFat(sink, *options);
        if (!result.ok()) {
            status = result.error == hostfs::FormatError::WriteFailed ? result.ioStatus : STATUS_INVALID_PARAMETER;
        }
    }
    ObDereferenceObject(top);
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        locks_.erase(device);
    }
    // A format ends with a dismount; the next query mounts the new file system.
    Arrive(device, false);
    ObDereferenceObject(device);
    WriteStatus(reply, status);
}

void Machine::OnGetLogicalDrives(wire::Writer& reply) {
    uint32_t mask = 0;
    for (const auto& name : NtHostListDirectory(u"\\GLOBAL??")) {
        if (name.size() == 2 && name[1] == u':' && name[0] >= u'A' && name[0] <= u'Z') mask |= 1u << (name[0] - u'A');
        if (name.size() == 2 && name[1] == u':' && name[0] >= u'a' && name[0] <= u'z') mask |= 1u << (name[0] - u'a');
    }
    wire::WriteReplyHeader(reply, STATUS_SUCCESS, mask);
}

void Machine::OnDefineDosDevice(wire::Reader& args, wire::Writer& reply) {
    uint32_t flags = 0;
    std::string name, target;
    if (!args.U32(flags) || !args.Str(name) || !args.Str(target)) return WriteStatus(reply, STATUS_INVALID_PARAMETER);
    const auto ntName = DosNameToNt(name);
    if (!ntName) return WriteStatus(reply, STATUS_OBJECT_NAME_INVALID);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ntName->c_str());
    std::lock_guard<std::mutex> guard(definedMutex_);
    auto mine = std::find(defined_.begin(), defined_.end(), *ntName);
    if (flags & kDddRemoveDefinition) {
        const auto current = LinkTarget(*ntName);
        if (!current) return WriteStatus(reply, STATUS_OBJECT_NAME_NOT_FOUND);
        // The drive table's letters belong to the machine; only names made
        // with DefineDosDevice can be removed with it.
        if (mine == defined_.end()) return WriteStatus(reply, STATUS_ACCESS_DENIED);
        if ((flags & kDddExactMatchOnRemove) && Widen(target) != *current) {
            return WriteStatus(reply, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        const NTSTATUS status = IoDeleteSymbolicLink(&link);
        if (NT_SUCCESS(status)) defined_.erase(mine);
        return WriteStatus(reply, status);
    }
    if (!(flags & kDddRawTargetPath)) {
        // FIXME: targets given as Win32 paths (what "subst" makes) are not supported.
        return WriteStatus(reply, STATUS_NOT_SUPPORTED);
    }
    if (target.empty() || target[0] != '\\') return WriteStatus(reply, STATUS_OBJECT_NAME_INVALID);
    const std::u16string wideTarget = Widen(target);
    UNICODE_STRING t;
    RtlInitUnicodeString(&t, wideTarget.c_str());
    const NTSTATUS status = IoCreateSymbolicLink(&link, &t);
    if (NT_SUCCESS(status)) defined_.push_back(*ntName);
    WriteStatus(reply, status);
}

void Machine::OnQueryDosDevice(wire::Reader& args, wire::Writer& reply) {
    std::string name;
    if (!args.Str(name)) return WriteStatus(reply, STATUS_INVALID_PARAMETER);
    std::vector<std::string> results;
    if (name.empty()) {
        for (const auto& n : NtHostListDirectory(u"\\GLOBAL??")) results.push_back(Narrow(n));
    } else {
        const auto ntName = DosNameToNt(name);
        if (!ntName) return WriteStatus(reply, STATUS_OBJECT_NAME_INVALID);
        const auto target = LinkTarget(*ntName);
        if (!target) return WriteStatus(reply, STATUS_OBJECT_NAME_NOT_FOUND);
        results.push_back(Narrow(*target));
    }
    wire::WriteReplyHeader(reply, STATUS_SUCCESS, results.size());
    reply.U32(static_cast<uint32_t>(results.size()));
    for (const auto& r : results) reply.Str(r);
}

}  // namespace tarn::host
