// One running machine: the drivers and their devices, the drive stacks built
// from the drive table, the file-system layer above them, the service control
// manager and the system-call server that user-mode processes reach.
//
// Locking: drivesMutex_ guards drives_ (building and tearing down stacks);
// fsMutex_ guards locks_ (volume locks by file object). Neither is held while
// a request runs in a driver, except drivesMutex_ around whole media changes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/device_events.h"
#include "platform/host/drive_table.h"
#include "platform/host/expected.h"
#include "platform/host/fs/recognizer.h"
#include "platform/host/service_manager.h"
#include "platform/host/syscall_server.h"
#include "platform/host/volume_generations.h"
#include "platform/host/volume/volume.h"

namespace tarn::host {

class OpenFile;

struct MachineOptions {
    std::string dir;             // machine directory
    std::string filterModule;    // tarn.so; empty: look in the usual places
    bool requireFilter = false;  // fail when the filter cannot be loaded
};

class Machine : public RequestHandler {
public:
    static Expected<std::unique_ptr<Machine>> Start(const MachineOptions& options);
    ~Machine() override;

    // Stops services, closes every connection, removes the drive stacks and
    // unloads the drivers. Called once; the destructor calls it too.
    void Shutdown();

    void Handle(Connection& conn, const wire::Credentials& caller, uint32_t op, wire::Reader& args,
                wire::Writer& reply) override;
    void Disconnected(Connection& conn) override;

    // Re-reads the drive table and applies the differences.
    NTSTATUS ReloadDrives();

    // File objects (used by OpenFile).
    void CloseFile(OpenFile& file);

    bool FilterLoaded() const { return filterDriver_ != nullptr; }
    // Starts a service as the control manager does at boot for auto-start
    // services; returns 0 or the Win32 error.
    uint32_t StartAutoService(const std::string& name) { return scm_ ? scm_->Start(name) : 1060u; }

    // For the drives' block view: a volume lock held by any handle, and
    // sectors written past the file-system layer.
    bool VolumeLocked(PDEVICE_OBJECT volume) { return LockedByOther(volume, nullptr); }
    void VolumeWritten(PDEVICE_OBJECT volume) { DropMount(volume); }
    // What a read of the volume returns may have changed: read-ahead taken
    // before now is stale. Call once the change is complete.
    void VolumeChanged(PDEVICE_OBJECT volume) { generations_.Bump(volume); }
    void VolumeAboutToChange(PDEVICE_OBJECT volume) { VolumeGenerations::Announce(volume); }
    // The block view's writes to a volume, held off while a control request
    // that needs write access (a key, a raw write) runs; null: none to hold.
    using ViewWriteHold = std::function<std::shared_ptr<void>(PDEVICE_OBJECT volume)>;
    void SetViewWriteHold(ViewWriteHold hold);

private:
    struct Drive {
        DriveEntry entry;
        VolumeMedia* media = nullptr;   // owned by media_, lives as long as the machine
        PDEVICE_OBJECT volume = nullptr;  // bottom of the stack (named device)
        std::u16string deviceName;       // "\Device\HarddiskVolumeN"
        std::u16string interfaceName;    // "STORAGE#Volume#HarddiskVolumeN#{guid}"
    };

    explicit Machine(MachineOptions options);
    Status LoadDrivers();
    Status LoadDriveTable();

    // Drive stacks (drivesMutex_ held).
    NTSTATUS AddDrive(const DriveEntry& entry, bool announce);
    void RemoveDrive(char letter, bool announce);
    NTSTATUS ChangeMedia(Drive& drive, const DriveEntry& entry);
    Status OpenMedia(const DriveEntry& entry, VolumeMedia& media);
    // After a volume or medium arrives, and after a dismount: the first read
    // of unit 0 through the top of the stack, then the recognizer.
    void Arrive(PDEVICE_OBJECT volume, bool cdProbe);
    // A volume event for the letter (DBTF_MEDIA when media), and with
    // withInterface the volume interface's event as well.
    void Broadcast(uint32_t event, char letter, bool media, const std::u16string& interfaceName, bool withInterface);

    // The file-system layer.
    NTSTATUS OpenDevice(Connection& conn, const std::string& path, uint32_t access, uint32_t share, uint64_t& handle);
    NTSTATUS FileSystemControl(OpenFile& file, uint32_t code, ULONG_PTR& information);
    bool LockedByOther(PDEVICE_OBJECT volume, PFILE_OBJECT fileObject);
    void ForgetShare(PDEVICE_OBJECT volume, PFILE_OBJECT fileObject);
    hostfs::MountResult Recognize(PDEVICE_OBJECT volume);
    // The mounted file system of a volume, recognizing it when not mounted.
    hostfs::MountResult Mount(PDEVICE_OBJECT volume);
    void DropMount(PDEVICE_OBJECT volume);
    // The block view's hold on the volume's writes (see SetViewWriteHold).
    std::shared_ptr<void> HoldViewWrites(PDEVICE_OBJECT volume);
    // The device a drive letter names, referenced (ObDereferenceObject), or null.
    PDEVICE_OBJECT DeviceForRoot(const std::string& root);

    // Request handlers; each reads its arguments and writes the whole reply.
    void OnOpen(Connection& conn, wire::Reader& args, wire::Writer& reply);
    void OnClose(Connection& conn, wire::Reader& args, wire::Writer& reply);
    void OnReadWrite(Connection& conn, bool write, wire::Reader& args, wire::Writer& reply);
    void OnFlush(Connection& conn, wire::Reader& args, wire::Writer& reply);
    void OnPrefetchedRead(Connection& conn, OpenFile& file, uint64_t offset, uint32_t length, wire::Writer& reply);
    void OnDeviceControl(Connection& conn, bool inShared, wire::Reader& args, wire::Writer& reply);
    void OnMapGenerations(Connection& conn, wire::Reader& args, wire::Writer& reply);
    void OnDefineDosDevice(wire::Reader& args, wire::Writer& reply);
    void OnQueryDosDevice(wire::Reader& args, wire::Writer& reply);
    void OnGetDriveType(wire::Reader& args, wire::Writer& reply);
    std::optional<hostfs::VolumeInfo> MountedVolumeOf(wire::Reader& args, wire::Writer& reply);
    void OnGetDiskFreeSpace(wire::Reader& args, wire::Writer& reply);
    void OnGetVolumeInfo(wire::Reader& args, wire::Writer& reply);
    void OnFormat(wire::Reader& args, wire::Writer& reply);
    void OnGetLogicalDrives(wire::Writer& reply);
    void OnService(Connection& conn, uint32_t op, wire::Reader& args, wire::Writer& reply);

    std::optional<ServiceConfig> LookupService(const std::string& name);
    uint32_t LoadDriverService(const ServiceConfig& config);
    uint32_t UnloadDriverService(const ServiceConfig& config);

    // Devices outside the drive table (the virtual disks) get and lose media
    // through their own control codes; the machine asks the device after such
    // a request and mounts, drops and announces as a media change.
    void NoticeMediaChange(PDEVICE_OBJECT device);
    // Before a driver goes: its devices' media are gone for the machine.
    void ForgetDriverMedia(PDRIVER_OBJECT driver);
    // Drive letters whose names lead to the device, as a unit mask.
    uint32_t UnitMaskOf(PDEVICE_OBJECT device);
    void BroadcastVolume(uint32_t event, uint32_t unitMask);

    MachineOptions options_;
    PDRIVER_OBJECT diskDriver_ = nullptr;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    void* filterModule_ = nullptr;
    PDRIVER_OBJECT tcpDriver_ = nullptr;  // the TCP transport, for network disks
    struct LoadedDriver {
        PDRIVER_OBJECT driver = nullptr;
        void* module = nullptr;  // from dlopen; stays mapped after an unload
    };
    std::map<std::string, LoadedDriver> driverServices_;  // by upper-case service name (drivesMutex_)

    std::mutex drivesMutex_;
    std::map<char, Drive> drives_;
    std::vector<std::unique_ptr<VolumeMedia>> media_;
    ULONG nextVolumeNumber_ = 1;
    ULONG nextCdNumber_ = 0;

    std::mutex viewHoldMutex_;  // guards viewHold_, copied out and called outside
    std::shared_ptr<const ViewWriteHold> viewHold_;
    std::mutex fsMutex_;
    std::map<PDEVICE_OBJECT, PFILE_OBJECT> locks_;  // volume -> file object holding its lock
    struct ShareEntry {
        PFILE_OBJECT fileObject;
        uint32_t access;  // 1 read, 2 write
        uint32_t share;   // FILE_SHARE_READ 1, FILE_SHARE_WRITE 2
    };
    std::map<PDEVICE_OBJECT, std::vector<ShareEntry>> shares_;  // open handles per volume
    // The recognizer's mounts: a successful recognition is kept until the
    // volume is dismounted or written through the machine; a failed one is
    // not remembered, so the next query tries again.
    std::map<PDEVICE_OBJECT, hostfs::VolumeInfo> mounts_;
    // Drivers being unloaded: their devices take no new opens.
    std::vector<PDRIVER_OBJECT> unloading_;
    // Media state of devices outside the drive table, as last seen.
    std::map<PDEVICE_OBJECT, bool> mediaPresent_;

    std::mutex definedMutex_;
    std::vector<std::u16string> defined_;  // links made by DefineDosDevice (removable again)

    VolumeGenerations generations_;
    DeviceEvents events_;
    std::unique_ptr<ServiceManager> scm_;
    std::unique_ptr<SyscallServer> server_;
    bool shutDown_ = false;
};

// A handle of a user-mode process on a device: a file object in the machine.
class OpenFile : public OpenObject {
public:
    OpenFile(Machine& machine, PFILE_OBJECT fileObject, PDEVICE_OBJECT volume, PDEVICE_OBJECT top, uint32_t access,
             uint32_t generationSlot)
        : machine_(machine), fileObject_(fileObject), volume_(volume), top_(top), access_(access),
          generationSlot_(generationSlot) {}
    ~OpenFile() override { machine_.CloseFile(*this); }

    PFILE_OBJECT FileObject() const { return fileObject_; }
    PDEVICE_OBJECT Volume() const { return volume_; }  // the device the name named
    PDEVICE_OBJECT Top() const { return top_; }        // where requests go
    bool CanRead() const { return access_ & 1; }
    bool CanWrite() const { return access_ & 2; }
    uint32_t GenerationSlot() const { return generationSlot_; }

    // The next window, read after the last prefetching read was answered.
    // Any other request on the handle drops it.
    struct Prefetched {
        bool valid = false;
        uint64_t offset = 0;
        uint32_t length = 0;
        uint32_t at = 0;  // where in the shared buffer
        uint64_t generation = 0;
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
    };
    Prefetched& Prefetch() { return prefetch_; }

private:
    Machine& machine_;
    PFILE_OBJECT fileObject_;
    PDEVICE_OBJECT volume_;
    PDEVICE_OBJECT top_;
    uint32_t access_;
    uint32_t generationSlot_;
    Prefetched prefetch_;
};

}  // namespace tarn::host
