// Device notifications: one listener thread per process holds a subscription
// on the machine while any registration exists and hands each event to the
// window layer's sink.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dbt.h"
#include "platform/win32/host_connection.h"
#include "winbase.h"
#include "winerror.h"

namespace tarn::win32 {

namespace {

// {53f5630d-b6bf-11d0-94f2-00a0c91efb8b}
constexpr GUID kVolumeInterface = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

struct Registration {
    HANDLE recipient = nullptr;
    bool interfaces = false;
    GUID classGuid{};
};

struct Notifications {
    std::mutex mutex;  // guards everything below
    std::map<uintptr_t, Registration> registrations;
    uintptr_t nextId = 1;
    PDEVICE_NOTIFY_SINK sink = nullptr;
    std::thread listener;
    HostConnection* conn = nullptr;  // the listener's, while it has one
    bool stopping = false;
};

Notifications& State() {
    static auto* n = new Notifications;
    return *n;
}

void Deliver(const wire::Event& e) {
    Notifications& n = State();
    std::vector<std::pair<HANDLE, bool>> targets;  // recipient, wants this interface event
    PDEVICE_NOTIFY_SINK sink;
    {
        std::lock_guard<std::mutex> guard(n.mutex);
        sink = n.sink;
        std::set<HANDLE> seen;
        for (auto& [id, r] : n.registrations) {
            if (e.deviceType == DBT_DEVTYP_VOLUME) {
                if (seen.insert(r.recipient).second) targets.emplace_back(r.recipient, true);
            } else if (r.interfaces && std::memcmp(&r.classGuid, &kVolumeInterface, sizeof(GUID)) == 0) {
                targets.emplace_back(r.recipient, true);
            }
        }
    }
    if (!sink) return;
    if (e.deviceType == DBT_DEVTYP_VOLUME) {
        DEV_BROADCAST_VOLUME v{};
        v.dbcv_size = sizeof(v);
        v.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        v.dbcv_unitmask = e.unitMask;
        v.dbcv_flags = static_cast<WORD>(e.flags);
        for (auto& [recipient, wanted] : targets) sink(recipient, WM_DEVICECHANGE, e.event, reinterpret_cast<LONG_PTR>(&v));
        return;
    }
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + e.name.size() + 1;
    std::vector<std::byte> storage(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)));
    auto* d = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
    d->dbcc_size = static_cast<DWORD>(size);
    d->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    d->dbcc_classguid = kVolumeInterface;
    std::memcpy(d->dbcc_name, e.name.c_str(), e.name.size() + 1);
    for (auto& [recipient, wanted] : targets) sink(recipient, WM_DEVICECHANGE, e.event, reinterpret_cast<LONG_PTR>(d));
}

void Listen() {
    Notifications& n = State();
    for (;;) {
        DWORD error = ERROR_SUCCESS;
        auto conn = HostConnection::Open(0, error);
        if (conn) {
            HostReply reply;
            if (conn->Call(wire::Op::Subscribe, {}, reply) != ERROR_SUCCESS || reply.status != 0) conn.reset();
        }
        {
            std::lock_guard<std::mutex> guard(n.mutex);
            if (n.stopping) return;
            n.conn = conn.get();
        }
        std::vector<uint8_t> frame;
        while (conn && conn->ReceiveRaw(frame)) {
            wire::Reader r(frame.data(), frame.size());
            wire::Event e;
            if (r.Ev(e)) Deliver(e);
        }
        {
            std::lock_guard<std::mutex> guard(n.mutex);
            n.conn = nullptr;
            if (n.stopping) return;
        }
        // The machine went away (a restart): subscribe again when it is back.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

}  // namespace
}  // namespace tarn::win32

using namespace tarn::win32;
namespace wire = tarn::wire;

extern "C" HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
    if (!NotificationFilter || (Flags & ~DWORD(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
    Registration r;
    r.recipient = hRecipient;
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        if (header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) {
            SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
        r.interfaces = true;
        r.classGuid = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(NotificationFilter)->dbcc_classguid;
        if (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) r.classGuid = kVolumeInterface;
    } else if (header->dbch_devicetype != DBT_DEVTYP_HANDLE) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    Notifications& n = State();
    std::lock_guard<std::mutex> guard(n.mutex);
    const uintptr_t id = n.nextId++;
    n.registrations[id] = r;
    if (!n.listener.joinable()) {
        n.stopping = false;
        n.listener = std::thread(Listen);
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HDEVNOTIFY>(id);
}

extern "C" BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
    Notifications& n = State();
    std::thread listener;
    {
        std::lock_guard<std::mutex> guard(n.mutex);
        if (!n.registrations.erase(reinterpret_cast<uintptr_t>(Handle))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (n.registrations.empty() && n.listener.joinable()) {
            n.stopping = true;
            if (n.conn) n.conn->Shutdown();
            listener = std::move(n.listener);
        }
    }
    // Joined outside the lock: the listener takes it on its way out.
    if (listener.joinable()) listener.join();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" VOID WINAPI SetDeviceNotificationSink(PDEVICE_NOTIFY_SINK sink) {
    Notifications& n = State();
    std::lock_guard<std::mutex> guard(n.mutex);
    n.sink = sink;
}
