// Device arrival and removal broadcasts: every connection that subscribed gets
// each event as one frame, in the order the machine raised them.
#pragma once

#include <mutex>
#include <vector>

#include "platform/host/syscall_server.h"
#include "platform/host/wire/wire.h"

namespace tarn::host {

constexpr uint32_t kDbtDeviceArrival = 0x8000;
constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDbtDevtypVolume = 2;
constexpr uint32_t kDbtDevtypDeviceInterface = 5;
constexpr uint32_t kDbtfMedia = 1;

class DeviceEvents {
public:
    void Subscribe(Connection* conn);
    void Unsubscribe(Connection* conn);
    // A subscriber whose socket is broken is dropped; the others still get it.
    void Broadcast(const wire::Event& event);
    size_t SubscriberCount();

private:
    std::mutex mutex_;  // guards subscribers_ and orders broadcasts
    std::vector<Connection*> subscribers_;
};

}  // namespace tarn::host
