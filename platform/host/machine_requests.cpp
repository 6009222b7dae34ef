// Dispatch of system calls to the machine's handlers.
#include <unistd.h>

#include "platform/host/machine.h"
#include "platform/nt/caller.h"

namespace tarn::host {

namespace {

// Win32 errors travel in NTSTATUS form (facility Win32), as Windows wraps them.
uint32_t FromWin32(uint32_t error) { return error ? (0xC0070000u | (error & 0xFFFF)) : 0; }

}  // namespace

void Machine::Handle(Connection& conn, const wire::Credentials& caller, uint32_t op, wire::Reader& args,
                     wire::Writer& reply) {
    // Drivers called for this request see the client as the thread's caller,
    // so client security captures the user who asked (a mount opens its
    // image with that user's rights).
    NT_CALLER_IDENTITY identity{};
    identity.Uid = caller.uid;
    identity.Gid = caller.gid;
    for (uint32_t g : caller.groups) {
        if (identity.GroupCount == NT_CALLER_MAX_GROUPS) break;
        identity.Groups[identity.GroupCount++] = g;
    }
    tarn::nt::ScopedCaller scoped(identity);
    switch (static_cast<wire::Op>(op)) {
    case wire::Op::Open: return OnOpen(conn, args, reply);
    case wire::Op::Close: return OnClose(conn, args, reply);
    case wire::Op::Read: return OnReadWrite(conn, false, args, reply);
    case wire::Op::Write: return OnReadWrite(conn, true, args, reply);
    case wire::Op::DeviceControl: return OnDeviceControl(conn, false, args, reply);
    case wire::Op::DeviceControlShared: return OnDeviceControl(conn, true, args, reply);
    case wire::Op::MapGenerations: return OnMapGenerations(conn, args, reply);
    case wire::Op::Flush: return OnFlush(conn, args, reply);
    case wire::Op::DefineDosDevice: return OnDefineDosDevice(args, reply);
    case wire::Op::QueryDosDevice: return OnQueryDosDevice(args, reply);
    case wire::Op::GetDriveType: return OnGetDriveType(args, reply);
    case wire::Op::GetDiskFreeSpace: return OnGetDiskFreeSpace(args, reply);
    case wire::Op::GetVolumeInfo: return OnGetVolumeInfo(args, reply);
    case wire::Op::Format: return OnFormat(args, reply);
    case wire::Op::GetLogicalDrives: return OnGetLogicalDrives(reply);
    case wire::Op::Subscribe:
        events_.Subscribe(&conn);
        wire::WriteReplyHeader(reply, STATUS_SUCCESS, 0);
        return;
    case wire::Op::ReloadDrives:
        // Only the machine's owner changes its hardware.
        if (conn.PeerUid() != 0 && conn.PeerUid() != ::geteuid()) {
            wire::WriteReplyHeader(reply, static_cast<uint32_t>(STATUS_ACCESS_DENIED), 0);
            return;
        }
        wire::WriteReplyHeader(reply, static_cast<uint32_t>(ReloadDrives()), 0);
        return;
    case wire::Op::OpenService:
    case wire::Op::StartService:
    case wire::Op::ControlService:
    case wire::Op::QueryServiceStatus:
    case wire::Op::ServiceAttach:
    case wire::Op::SetServiceStatus:
    case wire::Op::ServiceControlDone:
        return OnService(conn, op, args, reply);
    default:
        wire::WriteReplyHeader(reply, static_cast<uint32_t>(STATUS_INVALID_PARAMETER), 0);
        return;
    }
}

void Machine::OnService(Connection& conn, uint32_t op, wire::Reader& args, wire::Writer& reply) {
    std::string name;
    if (static_cast<wire::Op>(op) == wire::Op::ServiceControlDone) {
        // A frame on the service's control stream: no answer.
        scm_->ControlDone(&conn);
        return;
    }
    if (!args.Str(name, 256)) {
        wire::WriteReplyHeader(reply, static_cast<uint32_t>(STATUS_INVALID_PARAMETER), 0);
        return;
    }
    wire::ServiceStatus status;
    uint32_t error = 0;
    uint64_t information = 0;
    bool withStatus = false;
    switch (static_cast<wire::Op>(op)) {
    case wire::Op::OpenService: {
        uint32_t type = 0;
        error = scm_->Open(name, type);
        information = type;
        break;
    }
    case wire::Op::StartService: error = scm_->Start(name); break;
    case wire::Op::ControlService: {
        uint32_t control = 0;
        if (!args.U32(control)) {
            wire::WriteReplyHeader(reply, static_cast<uint32_t>(STATUS_INVALID_PARAMETER), 0);
            return;
        }
        error = scm_->Control(name, control, status);
        withStatus = true;
        break;
    }
    case wire::Op::QueryServiceStatus:
        error = scm_->Query(name, status);
        withStatus = true;
        break;
    case wire::Op::ServiceAttach: error = scm_->Attach(name, &conn); break;
    case wire::Op::SetServiceStatus:
        if (!args.Status(status)) {
            wire::WriteReplyHeader(reply, static_cast<uint32_t>(STATUS_INVALID_PARAMETER), 0);
            return;
        }
        error = scm_->SetStatus(name, conn.PeerPid(), status);
        break;
    default: break;
    }
    wire::WriteReplyHeader(reply, FromWin32(error), information);
    if (withStatus) reply.Status(status);
}

void Machine::Disconnected(Connection& conn) {
    events_.Unsubscribe(&conn);
    if (scm_) scm_->Disconnected(&conn);
}

}  // namespace tarn::host
