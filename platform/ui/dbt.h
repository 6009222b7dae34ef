// Device broadcasts for windows. The records, event numbers and the machine's
// RegisterDeviceNotificationA are the Win32 layer's; this layer adds the
// routing of each event to the windows that want it.
#pragma once

#include "platform/ui/winuser.h"
#include "platform/win32/include/dbt.h"

namespace tarn::ui {
// Registers a window for device-interface events whose class matches the
// filter (a DEV_BROADCAST_DEVICEINTERFACE_A, flags DEVICE_NOTIFY_WINDOW_HANDLE).
// Volume events reach every top-level window without it, as on Windows.
HDEVNOTIFY RegisterWindowDeviceNotification(HWND recipient, LPVOID notificationFilter, DWORD flags);
BOOL UnregisterWindowDeviceNotification(HDEVNOTIFY handle);

// Entry point for whatever watches the machine's devices: may be called from
// any thread; the record is copied and delivered as WM_DEVICECHANGE on the
// GUI thread (volume records to every top-level window, interface records to
// the windows registered for their class).
void DeliverDeviceChange(UINT event, const DEV_BROADCAST_HDR* record);
}  // namespace tarn::ui
