#include "platform/host/device_events.h"

#include <algorithm>

#include <sys/socket.h>
#include <sys/time.h>

namespace tarn::host {

void DeviceEvents::Subscribe(Connection* conn) {
    // A subscriber that stops reading must not stall the machine's broadcasts.
    timeval limit{2, 0};
    ::setsockopt(conn->Socket(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    std::lock_guard<std::mutex> guard(mutex_);
    if (std::find(subscribers_.begin(), subscribers_.end(), conn) == subscribers_.end()) subscribers_.push_back(conn);
}

void DeviceEvents::Unsubscribe(Connection* conn) {
    std::lock_guard<std::mutex> guard(mutex_);
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), conn), subscribers_.end());
}

void DeviceEvents::Broadcast(const wire::Event& event) {
    wire::Writer w;
    w.Ev(event);
    const auto& frame = w.Finish();
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        if ((*it)->Send(frame)) {
            ++it;
        } else {
            // Wake its connection thread, which then unsubscribes and cleans up.
            ::shutdown((*it)->Socket(), SHUT_RDWR);
            it = subscribers_.erase(it);
        }
    }
}

size_t DeviceEvents::SubscriberCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return subscribers_.size();
}

}  // namespace tarn::host
